#include "send/journal/SendJournal.h"

#include "platform/mail/MailAddress.h"
#include "platform/mail/MailServer.h"
#include "send/journal/JournalHead.h"
#include "send/journal/JournalRecord.h"
#include "send/journal/JournalReport.h"
#include "send/journal/TableLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The folder's entry of a new file is durable only once the folder itself is synced.
int syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

void appendNumber(QByteArray &out, int n)
{
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof digits, n);
    out.append(digits, r.ptr - digits);
}

QString folderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

QByteArrayView stateWord(RunJournal::RowState state)
{
    switch (state) {
    case RunJournal::RowState::Accepted: return JournalHead::Accepted;
    case RunJournal::RowState::Refused: return JournalHead::Refused;
    case RunJournal::RowState::Retry: return JournalHead::Retry;
    case RunJournal::RowState::MayHaveArrived: break;
    }
    return JournalHead::MayHaveArrived;
}

} // namespace

QByteArray newMailToken()
{
    static constexpr char Letters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    QByteArray token = "vm";
    QRandomGenerator *random = QRandomGenerator::system();
    for (int i = 0; i < 26; ++i)
        token += Letters[random->bounded(36)];
    return token;
}

QByteArray envelopeIdOf(const QByteArray &token, int row)
{
    return token.isEmpty() ? QByteArray() : token + '.' + QByteArray::number(row);
}

QByteArray messageIdOf(const QByteArray &token, int row, const QString &senderAddress)
{
    return token.isEmpty() ? QByteArray() : envelopeIdOf(token, row) + '@' + mailDomainOf(senderAddress);
}

std::optional<Failure> SendJournal::recordFindings(const QString &path, const std::vector<Finding> &findings)
{
    if (findings.empty())
        return std::nullopt;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? Failure::fileNotFound(path) : Failure::journalWrite(path, errno);
    const auto failed = [fd, &path](int err) {
        ::close(fd);
        return std::optional<Failure>(Failure::journalWrite(path, err));
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Failure::journalInUse(path);
    }
    Result<JournalReport> report = readJournal(path);
    if (!report) {
        ::close(fd);
        return report.failure();
    }
    // A record behind a torn one would join its line and be lost with it; the torn one never counted.
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return failed(errno);
    if (report->appendAt < qint64(st.st_size) && ::ftruncate(fd, report->appendAt) != 0)
        return failed(errno);
    QByteArray out;
    for (const Finding &f : findings) {
        // Only what fits the row: a notice for a mail the server accepted, a Sent copy for one whose
        // outcome is unknown. Anything else would read back as damage.
        if (f.row < 1 || f.row > report->identity.rows)
            continue;
        const JournalReport::Row now = report->rows[size_t(f.row)].state;
        if (f.kind == Finding::Kind::Bounced
                ? now != JournalReport::Row::Accepted && now != JournalReport::Row::Bounced
                : now != JournalReport::Row::MayHaveArrived)
            continue;
        const qsizetype start = out.size();
        out.append(JournalHead::Finding);
        out.append('\t');
        appendNumber(out, f.row);
        out.append('\t');
        out.append(f.kind == Finding::Kind::Bounced ? JournalHead::Bounced : JournalHead::FoundInSent);
        JournalRecord::addField(out, start, f.reason);
        JournalRecord::seal(out, start);
    }
    if (!writeAll(fd, out.constData(), out.size()) || ::fdatasync(fd) != 0)
        return failed(errno);
    ::close(fd);
    return std::nullopt;
}

QString RunIdentity::sourceText() const
{
    if (source.compare(u"OUTLOOK", Qt::CaseInsensitive) == 0)
        return QStringLiteral("アドレス帳");
    if (source.compare(u"ODBC", Qt::CaseInsensitive) == 0)
        return QStringLiteral("データソース「%1」の「%2」").arg(odbcDataSource, odbcTableOrSql);
    return source;
}

QString journalFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative value is to be ignored, as for every XDG base folder.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/velmora");
}

QString currentBootId()
{
    QFile f(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.readAll().trimmed());
}

std::optional<Failure> preparePrivateFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(folder));
    // Missing parents are made private too, as the XDG base folders are to be.
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0700);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return Failure::journalFolder(folder, errno);
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return Failure::journalFolder(folder, errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return Failure::journalFolderNotOwn(folder);
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.constData(), 0700) != 0)
        return Failure::journalFolder(folder, errno);
    return std::nullopt;
}

Result<std::unique_ptr<SendJournal>> SendJournal::create(RunIdentity identity, const QString &folder,
                                                         const QString &bootId)
{
    if (std::optional<Failure> f = preparePrivateFolder(folder))
        return *f;
    if (!identity.startedAt.isValid())
        identity.startedAt = QDateTime::currentDateTimeUtc();
    identity.server = mailServerWithoutPassword(identity.server);
    std::sort(identity.chosenRows.begin(), identity.chosenRows.end());
    identity.chosenRows.erase(std::unique(identity.chosenRows.begin(), identity.chosenRows.end()),
                              identity.chosenRows.end());
    // Held for as long as the run is open: another Velmora sending the same table is refused.
    Result<TableLock> lock = TableLock::take(folder, identity.tableDigest, identity.sourceText());
    if (!lock)
        return lock.failure();
    const QByteArray head = JournalHead::write(identity, bootId);

    const QString stem = QDir(folder).filePath(
        QStringLiteral("run-%1-%2")
            .arg(identity.startedAt.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")))
            .arg(QCoreApplication::applicationPid()));
    for (int n = 1;; ++n) {
        const QString path = stem + (n > 1 ? QStringLiteral("-%1").arg(n) : QString()) + JournalHead::Suffix;
        const QByteArray name = QFile::encodeName(path);
        const QByteArray temporary = name + QFile::encodeName(JournalHead::TemporarySuffix);
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST && n < 100)
                continue;
            return Failure::journalFolder(folder, errno);
        }
        // Locked before it has its name, so it is never seen unlocked while its run is open. A
        // file system without locks only loses that sign; the run goes on.
        ::flock(fd, LOCK_EX | LOCK_NB);
        // The head is whole and durable before the file has its name, so a journal never lacks it.
        int err = 0;
        if (::fchmod(fd, 0600) != 0 || !writeAll(fd, head.constData(), head.size()) || ::fdatasync(fd) != 0 ||
            ::link(temporary.constData(), name.constData()) != 0)
            err = errno;
        ::unlink(temporary.constData());
        if (err == 0)
            err = syncFolder(folder);
        if (err != 0) {
            ::close(fd);
            if (err == EEXIST && n < 100)
                continue;
            return Failure::journalWrite(path, err);
        }
        auto journal = std::unique_ptr<SendJournal>(new SendJournal(fd, path, identity.rows));
        journal->m_tableLock = std::make_unique<TableLock>(std::move(lock.value()));
        return journal;
    }
}

Result<std::unique_ptr<SendJournal>> SendJournal::reopen(const QString &path, const QString &bootId,
                                                         JournalReport *listed)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Failure::fileNotFound(path);
        return Failure::journalWrite(path, errno);
    }
    // Held until the continuation ends, as the writer of a new journal holds it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return Failure::journalInUse(path);
    }
    // Unchanged since it was listed: the same bytes, read in the same boot, say the same.
    const bool unchanged = listed && listed->path == path && listed->readFrom.size >= 0 &&
                           listed->readFrom == journalFileState(fd) &&
                           listed->sameBoot == (!listed->bootId.isEmpty() && listed->bootId == bootId);
    Result<JournalReport> report =
        unchanged ? Result<JournalReport>(std::move(*listed)) : readJournal(path, bootId);
    if (!report) {
        ::close(fd);
        return report.failure();
    }
    if (!report->unfinished()) {
        ::close(fd);
        return Failure::journalFinished(path);
    }
    // A run of the same table open in another Velmora (a new one, or another continuation).
    Result<TableLock> lock =
        TableLock::take(folderOf(path), report->identity.tableDigest, report->identity.sourceText());
    if (!lock) {
        ::close(fd);
        return lock.failure();
    }
    auto journal = std::unique_ptr<SendJournal>(
        new SendJournal(fd, path, std::make_unique<JournalReport>(std::move(report.value())), bootId));
    journal->m_tableLock = std::make_unique<TableLock>(std::move(lock.value()));
    return journal;
}

std::optional<Failure> SendJournal::resume()
{
    if (!m_report || !writable())
        return m_failure;
    struct stat st;
    if (::fstat(m_fd, &st) != 0) {
        fail(errno);
        return m_failure;
    }
    // A record appended behind a torn one would join its line and be lost with it.
    qint64 end = qint64(st.st_size);
    if (m_report->appendAt < end) {
        if (::ftruncate(m_fd, m_report->appendAt) != 0) {
            fail(errno);
            return m_failure;
        }
        end = m_report->appendAt;
    }
    char last = '\n';
    if (end > 0) {
        const ssize_t n = ::pread(m_fd, &last, 1, end - 1);
        if (n != 1) {
            fail(n < 0 ? errno : EIO);
            return m_failure;
        }
    }
    // After damaged records the last line may lack its end: the record starts a line of its own.
    if (last != '\n')
        m_record.append('\n');
    const qsizetype start = m_record.size();
    JournalRecord::addField(m_record, start, JournalHead::Resumed);
    JournalRecord::addField(m_record, start, m_bootId);
    JournalRecord::seal(m_record, start);
    // Durable before any mail, with everything the continuation was decided on.
    if (flush() && ::fdatasync(m_fd) != 0)
        fail(errno);
    return m_failure;
}

// Syncs the file after each declared group, away from the sending thread; several groups
// declared meanwhile share one sync.
class SendJournal::Syncer
{
  public:
    explicit Syncer(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~Syncer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    // Group n has been written.
    void request(quint32 n)
    {
        {
            std::lock_guard lock(m_mutex);
            m_requested = n;
        }
        m_wake.notify_one();
    }
    // Waits until group n is durable. The errno of a failed sync, else 0.
    int waitFor(quint32 n)
    {
        if (m_synced.load(std::memory_order_acquire) >= n)
            return 0;
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_synced.load() >= n || m_error.load() != 0; });
        return m_synced.load() >= n ? 0 : m_error.load();
    }
    int error() const { return m_error.load(std::memory_order_relaxed); }

  private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock,
                        [&] { return m_stop || (m_requested > m_synced.load() && m_error.load() == 0); });
            if (m_stop)
                return;
            const quint32 target = m_requested;
            lock.unlock();
            const int err = ::fdatasync(m_fd) == 0 ? 0 : errno;
            lock.lock();
            if (err != 0)
                m_error.store(err);
            else
                m_synced.store(target, std::memory_order_release);
            m_done.notify_all();
        }
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    quint32 m_requested = 0;
    std::atomic<quint32> m_synced = 0;
    std::atomic<int> m_error = 0;
    bool m_stop = false;
    std::thread m_thread; // last: starts once the rest is made
};

SendJournal::SendJournal(int fd, QString path, int rows) : m_fd(fd), m_path(std::move(path)), m_rows(rows)
{
}

SendJournal::SendJournal(int fd, QString path, std::unique_ptr<JournalReport> report, QString bootId)
    : SendJournal(fd, std::move(path), report->identity.rows)
{
    m_report = std::move(report);
    m_bootId = std::move(bootId);
}

SendJournal::~SendJournal()
{
    m_syncer.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SendJournal::writable()
{
    if (m_fd < 0 || m_failure)
        return false;
    if (const int err = m_syncer ? m_syncer->error() : 0) {
        fail(err);
        return false;
    }
    return true;
}

void SendJournal::declare(const std::vector<int> &rows)
{
    if (rows.empty() || !writable())
        return;
    // A reader refuses a record that names more rows than a group holds.
    for (size_t at = 0; at < rows.size(); at += size_t(MostDeclared)) {
        const qsizetype start = m_record.size();
        m_record.append(JournalHead::Declare);
        m_record.append('\t');
        const auto from = rows.begin() + qsizetype(at);
        JournalRecord::appendRows(
            m_record, std::vector<int>(from, from + qMin<qsizetype>(MostDeclared, rows.end() - from)));
        JournalRecord::seal(m_record, start);
    }
    if (!flush())
        return;
    ++m_groups;
    for (const int row : rows) {
        if (row < 1 || row > m_rows)
            continue;
        if (size_t(row) >= m_groupOf.size())
            m_groupOf.resize(size_t(row) + 1, 0);
        m_groupOf[size_t(row)] = m_groups;
    }
    if (!m_syncer)
        m_syncer = std::make_unique<Syncer>(m_fd);
    m_syncer->request(m_groups);
}

void SendJournal::attached(int row, const FileStamp &stamp)
{
    if (!writable())
        return;
    m_record.append(JournalHead::Attached);
    m_record.append('\t');
    appendNumber(m_record, row);
    JournalRecord::addField(m_record, 0, stamp.path);
    m_record.append('\t');
    m_record.append(QByteArray::number(stamp.size));
    m_record.append('\t');
    m_record.append(stamp.sha256.toHex());
    JournalRecord::seal(m_record, 0);
    flush();
}

void SendJournal::started(int row)
{
    if (!writable())
        return;
    // The end of the row's data may reach the server once this returns: its group must be on disk.
    const quint32 group = row >= 1 && size_t(row) < m_groupOf.size() ? m_groupOf[size_t(row)] : 0;
    if (group > 0) {
        if (const int err = m_syncer->waitFor(group)) {
            fail(err);
            return;
        }
    }
    m_record.append(JournalHead::Started);
    m_record.append('\t');
    appendNumber(m_record, row);
    JournalRecord::seal(m_record, 0);
    flush();
}

void SendJournal::outcome(int row, RowState state, const QString &reason)
{
    if (!writable())
        return;
    m_record.append(JournalHead::Outcome);
    m_record.append('\t');
    appendNumber(m_record, row);
    m_record.append('\t');
    m_record.append(stateWord(state));
    JournalRecord::addField(m_record, 0, reason);
    JournalRecord::seal(m_record, 0);
    flush();
}

void SendJournal::closed(bool finished)
{
    const bool ok = writable();
    m_syncer.reset();
    // Everything before the close is durable before the close is written: a closed record on disk
    // then proves that a row only declared before it was never started, after any restart.
    if (ok && ::fdatasync(m_fd) != 0)
        fail(errno);
    if (ok && !m_failure) {
        m_record.append(JournalHead::Closed);
        JournalRecord::addField(m_record, 0, finished ? JournalHead::Finished : JournalHead::Stopped);
        JournalRecord::seal(m_record, 0);
        // Synced, so that a finished run is not offered for continuing after a power loss.
        if (flush() && ::fdatasync(m_fd) != 0)
            fail(errno);
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_tableLock.reset();
}

bool SendJournal::flush()
{
    const bool written = writeAll(m_fd, m_record.constData(), m_record.size());
    const int err = errno;
    m_record.clear();
    if (!written)
        fail(err);
    return written;
}

void SendJournal::fail(int err)
{
    // A record after one that did not reach the file whole would be read as lost: nothing more
    // is written. The file stays open, and locked, until the run is closed: it is still this run's.
    m_failure = Failure::journalWrite(m_path, err);
}
