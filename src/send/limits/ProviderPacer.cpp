#include "send/limits/ProviderPacer.h"

#include "platform/Text.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr qint64 Day = 86400;
constexpr qint64 MailsPerWrite = 256;

qint64 ceilSeconds(qint64 ms)
{
    const qint64 s = ms / 1000;
    return ms % 1000 > 0 ? s + 1 : s;
}

qint64 floorSeconds(qint64 ms)
{
    const qint64 s = ms / 1000;
    return ms % 1000 < 0 ? s - 1 : s;
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The record tells when the operator's account sent mail: the folder is the owner's alone.
bool makePrivateFolder(const QString &folder)
{
    const QByteArray native = QFile::encodeName(folder);
    struct stat st {
    };
    if (::stat(native.constData(), &st) != 0) {
        const QString parent = QFileInfo(folder).path();
        if (parent != folder && !makePrivateFolder(parent))
            return false;
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        return ::stat(native.constData(), &st) == 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

QByteArray lineOf(qint64 second, qint64 count)
{
    return QByteArray::number(second) + ' ' + QByteArray::number(count) + '\n';
}

bool lockFile(int fd, int operation)
{
    while (::flock(fd, operation) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Held while the record is read, appended to or replaced: the lock file beside it is never
// replaced, so every process of the account locks the same file.
class Exclusive
{
  public:
    explicit Exclusive(int fd) : m_fd(fd), m_held(fd >= 0 && lockFile(fd, LOCK_EX)) {}
    ~Exclusive()
    {
        if (m_held)
            ::flock(m_fd, LOCK_UN);
    }
    Exclusive(const Exclusive &) = delete;
    Exclusive &operator=(const Exclusive &) = delete;
    bool held() const { return m_held; }

  private:
    int m_fd;
    bool m_held;
};

bool readAll(int fd, QByteArray *text)
{
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text->append(buffer, n);
        at += n;
    }
}

// A record whose last line was cut short (a crash, a full disk) gets a line end before the next
// line, which would otherwise be glued to it and lost.
bool endsMidLine(int fd)
{
    struct stat st {
    };
    if (::fstat(fd, &st) != 0 || st.st_size == 0)
        return false;
    char last = '\n';
    return ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

int openRecord(const QByteArray &native)
{
    return ::open(native.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

} // namespace

QString ProviderPacer::defaultFolder()
{
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base =
        QDir::isAbsolutePath(state) ? state : QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/velmora");
}

QString ProviderPacer::fileNameFor(const SendAccount &account)
{
    // Host names and mail addresses are compared without case; two spellings of one account must
    // share one record.
    const QString key =
        QStringList{trimSpaces(account.host), trimSpaces(account.user), trimSpaces(account.sender)}
            .join(u'\n')
            .toLower();
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("sent-%1.log").arg(QString::fromLatin1(hash.left(32)));
}

ProviderPacer::ProviderPacer(const SendLimits &limits, QString path)
    : m_limits(limits), m_path(std::move(path))
{
}

Result<std::unique_ptr<ProviderPacer>> ProviderPacer::open(const SendLimits &limits,
                                                           const SendAccount &account, const QDateTime &now,
                                                           const QString &folder)
{
    const QString path = folder + u'/' + fileNameFor(account);
    if (!makePrivateFolder(folder))
        return Failure::sendCountRecord(path, errnoText());
    ::chmod(QFile::encodeName(folder).constData(), 0700);

    std::unique_ptr<ProviderPacer> pacer(new ProviderPacer(limits, path));
    pacer->m_lockFd = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(),
                             O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (pacer->m_lockFd < 0)
        return Failure::sendCountRecord(path, errnoText());
    const Exclusive lock(pacer->m_lockFd);
    if (!lock.held())
        return Failure::sendCountRecord(path, errnoText());
    // Every pacer holds its record with a shared lock for as long as it appends to it.
    pacer->m_fd = openRecord(QFile::encodeName(path));
    if (pacer->m_fd < 0 || !lockFile(pacer->m_fd, LOCK_SH))
        return Failure::sendCountRecord(path, errnoText());
    ::fchmod(pacer->m_fd, 0600);
    QByteArray text;
    if (!readAll(pacer->m_fd, &text))
        return Failure::sendCountRecord(path, errnoText());

    // Lines "second count"; a line cut short by a crash or damaged otherwise is left out, and so is
    // a time far in the future that no clock set back could explain.
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const qint64 nowSecond = ceilSeconds(nowMs);
    std::map<qint64, qint64> seconds;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        bool secondOk = false, countOk = false;
        const qint64 second = fields.size() == 2 ? fields[0].toLongLong(&secondOk) : 0;
        const qint64 count = fields.size() == 2 ? fields[1].toLongLong(&countOk) : 0;
        if (secondOk && countOk && second > 0 && second <= nowSecond + Day && count > 0 &&
            count <= std::numeric_limits<int>::max())
            seconds[second] += count;
    }
    // Mails after now were sent while the clock was ahead: the latest one counts as sent now.
    const qint64 shift =
        !seconds.empty() && seconds.rbegin()->first > nowSecond ? nowSecond - seconds.rbegin()->first : 0;

    qint64 cumulative = 0;
    for (const auto &[second, count] : seconds) {
        cumulative += count;
        pacer->m_seconds.push_back({second + shift, count, cumulative});
    }
    pacer->dropOlderThanADay(nowMs);
    pacer->m_lastWriteMs = nowMs;
    if (std::optional<Failure> failure = pacer->rewriteLocked())
        return *failure;
    return pacer;
}

ProviderPacer::~ProviderPacer()
{
    flush();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::optional<Failure> ProviderPacer::rewrite()
{
    const Exclusive lock(m_lockFd);
    if (!lock.held())
        return Failure::sendCountRecord(m_path, errnoText());
    return rewriteLocked();
}

std::optional<Failure> ProviderPacer::rewriteLocked()
{
    // Another process that holds the record keeps appending to it: replacing the file would leave
    // its counts in one nobody reads. The record then stays as it is and grows by appends; the
    // next pacer alone with it trims it. (A failed conversion gives the shared lock up: take it
    // again, which cannot wait, since exclusive locks are only asked for under the lock file.)
    if (!lockFile(m_fd, LOCK_EX | LOCK_NB)) {
        if (errno != EWOULDBLOCK || !lockFile(m_fd, LOCK_SH))
            return Failure::sendCountRecord(m_path, errnoText());
        return flushLocked();
    }
    // Written beside the record and renamed over it: a crash leaves the old record or the new one.
    QByteArray text;
    for (const Second &s : m_seconds)
        text += lineOf(s.at, s.count);
    const QString temporary = m_path + QStringLiteral(".%1.tmp").arg(::getpid());
    const QByteArray nativeTemporary = QFile::encodeName(temporary);
    const int fd =
        ::open(nativeTemporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    std::optional<Failure> failure;
    if (fd < 0) {
        failure = Failure::sendCountRecord(m_path, errnoText());
    } else {
        const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
        const QString reason = errnoText();
        ::close(fd);
        if (!written || ::rename(nativeTemporary.constData(), QFile::encodeName(m_path).constData()) != 0) {
            failure = Failure::sendCountRecord(m_path, written ? errnoText() : reason);
            ::unlink(nativeTemporary.constData());
        }
    }
    if (failure) {
        lockFile(m_fd, LOCK_SH);
        return failure;
    }
    // The new record is held before the old one is let go, both under the lock file.
    const int next = openRecord(QFile::encodeName(m_path));
    if (next < 0 || !lockFile(next, LOCK_SH)) {
        failure = Failure::sendCountRecord(m_path, errnoText());
        if (next >= 0)
            ::close(next);
        lockFile(m_fd, LOCK_SH);
        return failure;
    }
    ::close(m_fd);
    m_fd = next;
    m_unwritten.clear();
    m_unwrittenMails = 0;
    return std::nullopt;
}

std::optional<Failure> ProviderPacer::flush()
{
    if (m_unwritten.empty())
        return std::nullopt;
    const Exclusive lock(m_lockFd);
    if (!lock.held()) {
        m_writeFailure = Failure::sendCountRecord(m_path, errnoText());
        return m_writeFailure;
    }
    return flushLocked();
}

std::optional<Failure> ProviderPacer::flushLocked()
{
    if (m_unwritten.empty())
        return std::nullopt;
    QByteArray text = endsMidLine(m_fd) ? QByteArray("\n") : QByteArray();
    for (const auto &[second, count] : m_unwritten)
        text += lineOf(second, count);
    if (m_fd < 0 || !writeAll(m_fd, text)) {
        m_writeFailure = Failure::sendCountRecord(m_path, errnoText());
        return m_writeFailure;
    }
    m_unwritten.clear();
    m_unwrittenMails = 0;
    m_writeFailure.reset();
    return std::nullopt;
}

void ProviderPacer::dropOlderThanADay(qint64 nowMs)
{
    const qint64 oldest = floorSeconds(nowMs) - Day;
    while (!m_seconds.empty() && m_seconds.front().at <= oldest)
        m_seconds.pop_front();
}

void ProviderPacer::followWallClockBack(qint64 nowMs)
{
    // The clock was set back (by more than a second's jitter): the times kept move back with it,
    // the latest mail counting as sent now, or a per-minute wait would last as long as the jump.
    const qint64 nowSecond = ceilSeconds(nowMs);
    if (m_seconds.empty() || nowSecond >= m_seconds.back().at - 1)
        return;
    const qint64 shift = nowSecond - m_seconds.back().at;
    for (Second &s : m_seconds)
        s.at += shift;
    m_writeFailure = rewrite();
    m_lastWriteMs = nowMs;
}

qint64 ProviderPacer::countBefore(std::deque<Second>::const_iterator it) const
{
    if (it == m_seconds.end())
        return m_seconds.empty() ? 0 : m_seconds.back().cumulative;
    return it->cumulative - it->count;
}

SendPacer::Allowance ProviderPacer::allowance(const QDateTime &now)
{
    const qint64 nowMs = now.toMSecsSinceEpoch();
    followWallClockBack(nowMs);
    dropOlderThanADay(nowMs);

    struct Window {
        int limit;
        qint64 seconds;
        bool daily;
    };
    const Window windows[] = {
        {m_limits.perMinute, 60, false}, {m_limits.perHour, 3600, false}, {m_limits.perDay, Day, true}};
    const qint64 total = countBefore(m_seconds.end());
    Allowance a;
    bool held = false;
    qint64 latestMs = std::numeric_limits<qint64>::min();
    for (const Window &w : windows) {
        if (w.limit <= 0)
            continue;
        // A mail of second s counts while now is before s + window.
        const qint64 outside = floorSeconds(nowMs) - w.seconds;
        const auto first = std::upper_bound(m_seconds.cbegin(), m_seconds.cend(), outside,
                                            [](qint64 v, const Second &s) { return v < s.at; });
        const qint64 before = countBefore(first);
        const qint64 inside = total - before;
        if (inside < w.limit) {
            a.now = int(std::min<qint64>(a.now, w.limit - inside));
            continue;
        }
        // One more may go once the oldest (inside - limit + 1) mails have left the window.
        const qint64 leaving = before + inside - w.limit + 1;
        const auto freeing = std::lower_bound(first, m_seconds.cend(), leaving,
                                              [](const Second &s, qint64 v) { return s.cumulative < v; });
        const qint64 freeMs = (freeing->at + w.seconds) * 1000;
        held = true;
        if (freeMs > latestMs || (freeMs == latestMs && w.daily)) {
            latestMs = freeMs;
            a.daily = w.daily;
        }
    }
    if (held) {
        a.now = 0;
        a.nextAt = QDateTime::fromMSecsSinceEpoch(latestMs);
        // The run is about to wait: what went out so far is worth keeping now.
        flush();
        m_lastWriteMs = nowMs;
    }
    return a;
}

void ProviderPacer::sent(const QDateTime &at, int recipients)
{
    const qint64 atMs = at.toMSecsSinceEpoch();
    const int n = qMax(1, recipients);
    dropOlderThanADay(atMs);
    qint64 second = ceilSeconds(atMs);
    // Kept in order: a time before the latest (the clock set back a little) counts with the latest.
    if (!m_seconds.empty() && second <= m_seconds.back().at) {
        second = m_seconds.back().at;
        m_seconds.back().count += n;
        m_seconds.back().cumulative += n;
    } else {
        m_seconds.push_back({second, n, countBefore(m_seconds.end()) + n});
    }
    if (!m_unwritten.empty() && m_unwritten.back().first == second)
        m_unwritten.back().second += n;
    else
        m_unwritten.emplace_back(second, n);
    m_unwrittenMails += n;
    if (m_unwrittenMails >= MailsPerWrite || qAbs(atMs - m_lastWriteMs) >= 1000) {
        flush();
        m_lastWriteMs = atMs;
    }
}
