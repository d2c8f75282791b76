#include "send/mailbox/SentCopies.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// A spooled mail: its size and its acceptance time (seconds since 1970), 8 bytes each, then the bytes.
constexpr qsizetype RecordHead = 16;
// An append that fails is tried again on a new session this many times before copying stops.
constexpr int Attempts = 3;

bool readExactly(int fd, char *data, qsizetype size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

Failure spoolFailure(const QString &path, int err)
{
    return Failure{0, QStringLiteral("送信済みフォルダーへのコピーを一時ファイル %1 に書き込めません（%2）。")
                          .arg(path, QString::fromLocal8Bit(std::strerror(err)))};
}

} // namespace

SentCopies::SentCopies(MailboxServer server, ImapSettings settings, MailLogin login, QString spoolFolder,
                       QObject *parent)
    : QObject(parent), m_server(std::move(server)), m_settings(std::move(settings)), m_login(std::move(login))
{
    m_spoolPath = spoolFolder + QStringLiteral("/sent-%1-%2.spool")
                                    .arg(QString::number(::getpid()),
                                         QString::number(QRandomGenerator::global()->generate64(), 36));
    m_spool = ::open(QFile::encodeName(m_spoolPath).constData(),
                     O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (m_spool < 0)
        m_spoolFailure = spoolFailure(m_spoolPath, errno);
    m_thread = std::thread([this] { work(); });
}

SentCopies::~SentCopies()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_spool >= 0) {
        ::close(m_spool);
        QFile::remove(m_spoolPath);
    }
}

void SentCopies::keep(const QByteArray &message)
{
    std::lock_guard lock(m_mutex);
    if (m_spool < 0 || m_spoolFailure || m_progress.failure)
        return;
    char head[RecordHead];
    const qint64 size = message.size(), second = QDateTime::currentSecsSinceEpoch();
    std::memcpy(head, &size, 8);
    std::memcpy(head + 8, &second, 8);
    // One write of head and mail: a record is either whole in the spool or not there.
    QByteArray record;
    record.reserve(RecordHead + message.size());
    record.append(head, RecordHead);
    record.append(message);
    qsizetype done = 0;
    while (done < record.size()) {
        const ssize_t n = ::write(m_spool, record.constData() + done, size_t(record.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_spoolFailure = spoolFailure(m_spoolPath, n < 0 ? errno : ENOSPC);
            break;
        }
        done += n;
    }
    if (!m_spoolFailure)
        ++m_progress.kept;
    m_wake.notify_all();
}

void SentCopies::noMore()
{
    {
        std::lock_guard lock(m_mutex);
        m_noMore = true;
    }
    m_wake.notify_all();
}

SentCopies::Progress SentCopies::progress() const
{
    std::lock_guard lock(m_mutex);
    Progress p = m_progress;
    if (!p.failure && m_spoolFailure)
        p.failure = m_spoolFailure;
    return p;
}

QString SentCopies::outcomeText() const
{
    const Progress p = progress();
    if (!p.failure)
        return QStringLiteral("送信済みフォルダーに %1 通コピーしました。").arg(p.copied);
    return QStringLiteral("送信済みフォルダーには %1 通のうち %2 "
                          "通だけコピーしました（メールの送信には影響ありません）。\n%3")
        .arg(p.kept)
        .arg(p.copied)
        .arg(p.failure->description);
}

std::optional<Failure> SentCopies::appendNext(ImapMailbox &box, const QString &folder, qint64 &offset)
{
    char head[RecordHead];
    if (!readExactly(m_spool, head, RecordHead, offset))
        return spoolFailure(m_spoolPath, errno ? errno : EIO);
    qint64 size = 0, second = 0;
    std::memcpy(&size, head, 8);
    std::memcpy(&second, head + 8, 8);
    QByteArray message(qsizetype(size), Qt::Uninitialized);
    if (size < 0 || !readExactly(m_spool, message.data(), message.size(), offset + RecordHead))
        return spoolFailure(m_spoolPath, errno ? errno : EIO);
    if (std::optional<Failure> failed = box.append(folder, message, QDateTime::fromSecsSinceEpoch(second)))
        return failed;
    offset += RecordHead + size;
    return std::nullopt;
}

void SentCopies::work()
{
    std::optional<ImapMailbox> box;
    QString folder;
    qint64 offset = 0;
    int failures = 0;
    const auto stop = [this](std::optional<Failure> why) {
        {
            std::lock_guard lock(m_mutex);
            if (why && !m_progress.failure)
                m_progress.failure = std::move(why);
            m_progress.done = true;
        }
        emit finished();
    };
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            // The copies wait for the end of the run: on a machine of two cores, a thread appending
            // beside the sending one (and the mailbox's server, when it is local) took a fifth of
            // the run's rate. Spooled, they cost the run one write each.
            m_wake.wait(lock, [this] { return m_quit || m_noMore || m_spoolFailure; });
            if (m_quit)
                break;
            if (m_progress.copied >= m_progress.kept) {
                if (m_spoolFailure || m_noMore) {
                    std::optional<Failure> why = m_spoolFailure;
                    lock.unlock();
                    if (box)
                        box->close();
                    stop(std::move(why));
                    return;
                }
                continue;
            }
        }
        // A session is opened when the first copy is there, and again after a failure.
        std::optional<Failure> failed;
        if (!box) {
            box.emplace(m_server, m_settings, m_login);
            failed = box->open();
            if (!failed) {
                Result<QString> sent = box->sentFolder();
                if (sent)
                    folder = sent.value();
                else
                    failed = sent.failure();
            }
        }
        if (!failed)
            failed = appendNext(*box, folder, offset);
        if (failed) {
            box.reset();
            if (++failures >= Attempts) {
                stop(std::move(failed));
                return;
            }
            continue;
        }
        failures = 0;
        std::lock_guard lock(m_mutex);
        ++m_progress.copied;
    }
    if (box)
        box->close();
}
