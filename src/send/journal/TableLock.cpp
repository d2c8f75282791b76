#include "send/journal/TableLock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QString Prefix = QStringLiteral("table-"), Suffix = QStringLiteral(".lock");

QByteArray lockPath(const QString &folder, const QByteArray &digest)
{
    return QFile::encodeName(QDir(folder).filePath(Prefix + QString::fromLatin1(digest.toHex()) + Suffix));
}

// The lock of the file at `path` on an open descriptor of it, or -1 with errno set (EWOULDBLOCK:
// another holds it). A file removed or replaced between the open and the lock is opened again, so
// that two holders never lock two different files of one name.
int lockFile(const QByteArray &path, bool create)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
        if (fd < 0)
            return -1;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            errno = err;
            return -1;
        }
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        ::close(fd);
        if (!create) {
            errno = ENOENT;
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

} // namespace

Result<TableLock> TableLock::take(const QString &folder, const QByteArray &digest, const QString &source)
{
    const QByteArray path = lockPath(folder, digest);
    const int fd = lockFile(path, true);
    if (fd >= 0)
        return TableLock(fd);
    if (errno == EWOULDBLOCK)
        return Failure::tableBeingSent(source);
    return Failure::journalWrite(QFile::decodeName(path), errno);
}

bool TableLock::held(const QString &folder, const QByteArray &digest)
{
    const int fd = ::open(lockPath(folder, digest).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

int TableLock::removeUnused(const QString &folder, const QDateTime &limit)
{
    int removed = 0;
    const QDir dir(folder);
    for (const QString &name : dir.entryList({Prefix + u'*' + Suffix}, QDir::Files)) {
        const QString path = dir.filePath(name);
        if (QFileInfo(path).lastModified() >= limit)
            continue;
        // Removed while locked here, so that nobody holds a lock on a file no longer named.
        const QByteArray encoded = QFile::encodeName(path);
        const int fd = lockFile(encoded, false);
        if (fd < 0)
            continue;
        if (::unlink(encoded.constData()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}

TableLock &TableLock::operator=(TableLock &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

TableLock::~TableLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
