#include "platform/ReplaceFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

QString errnoReason(int err)
{
    switch (err) {
    case ENOSPC:
    case EDQUOT: return QStringLiteral("ディスクの空き容量が足りません");
    case EACCES:
    case EPERM: return QStringLiteral("書き込む権限がありません");
    case EROFS: return QStringLiteral("読み取り専用の場所です");
    case ENOENT:
    case ENOTDIR: return QStringLiteral("保存先のフォルダーがありません");
    case EFBIG: return QStringLiteral("ファイルが大きすぎます");
    case ENAMETOOLONG: return QStringLiteral("ファイル名が長すぎます");
    case EIO: return QStringLiteral("入出力エラー");
    default: return QString::fromLocal8Bit(std::strerror(err));
    }
}

Failure failureOf(const QString &path, int err)
{
    return Failure::writeError(path, errnoReason(err));
}

// Large files go out in pieces of this size: on some systems one write of many megabytes takes
// ten times as long as the same bytes in pieces (135 MB: 0.6 s at once, 0.05 s in pieces).
constexpr qsizetype WritePiece = 256 * 1024;

bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min(size, WritePiece)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The process's umask, read without changing it (umask(2) can only set it, and another thread
// creating a file meanwhile would get the wrong one).
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mode_t(mask & 0777);
            }
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace

Result<bool> replaceFile(const QString &path, const QByteArray &bytes)
{
    const QFileInfo given(path);
    // A link is followed, so the file it names is replaced rather than the link itself.
    const QFileInfo info(given.isSymLink() ? given.symLinkTarget() : given.absoluteFilePath());
    if (!QFileInfo(info.absolutePath()).isDir())
        return Failure::writeError(path, errnoReason(ENOENT));
    struct stat old {
    };
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const bool exists = ::stat(target.constData(), &old) == 0;
    if (exists) {
        if (S_ISDIR(old.st_mode))
            return Failure::writeError(path, QStringLiteral("同じ名前のフォルダーがあります"));
        if (!S_ISREG(old.st_mode))
            return Failure::writeError(path, QStringLiteral("通常のファイルではありません"));
        if ((old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return Failure::writeError(path, QStringLiteral("読み取り専用のファイルです"));
        // The rename needs only the folder's permission: whether this user may write the file
        // itself is asked separately, or another user's file would be replaced.
        if (::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
            return failureOf(path, errno);
    }
    const mode_t finalMode = exists ? (old.st_mode & 07777) : (0666 & ~currentUmask());

    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = QFile::encodeName(QStringLiteral("%1/.%2.%3.tmp")
                                     .arg(info.absolutePath(), info.fileName())
                                     .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        // Private until written; it gets its final mode before the rename.
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failureOf(path, errno);
    }
    if (fd < 0)
        return failureOf(path, EEXIST);

    int err = 0;
    if (!writeAll(fd, bytes.constData(), bytes.size()))
        err = errno;
    if (!err && ::fchmod(fd, finalMode) != 0)
        err = errno;
    // On disk before the rename, so that no crash can leave a short file under the old name.
    if (!err && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && !err)
        err = errno;
    if (!err && ::rename(temp.constData(), target.constData()) != 0)
        err = errno;
    if (err) {
        ::unlink(temp.constData());
        return failureOf(path, err);
    }
    return true;
}
