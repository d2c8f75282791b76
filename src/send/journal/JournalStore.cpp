#include "send/journal/JournalStore.h"

#include "send/journal/JournalHead.h"
#include "send/journal/TableLock.h"

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

const QString Abandoned = QStringLiteral(".abandoned");

// A journal's writer holds a lock on it for as long as its run is open.
bool inUse(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

} // namespace

JournalStore::JournalStore(QString folder, QString bootId)
    : m_folder(std::move(folder)), m_bootId(std::move(bootId))
{
}

QStringList JournalStore::names(const QString &pattern) const
{
    // The start time in the name sorts the newest first.
    return QDir(m_folder).entryList({pattern}, QDir::Files, QDir::Name | QDir::Reversed);
}

std::vector<JournalStore::Entry> JournalStore::unfinished() const
{
    std::vector<Entry> list;
    for (const QString &name : names(JournalHead::Prefix + u'*' + JournalHead::Suffix)) {
        const QString path = QDir(m_folder).filePath(name);
        if (inUse(path))
            continue;
        Result<JournalReport> report = readJournal(path, m_bootId);
        if (!report || report->unfinished())
            list.push_back({path, std::move(report)});
    }
    return list;
}

std::optional<JournalStore::Entry> JournalStore::latestOfTable(const QByteArray &digest) const
{
    // A head holds the run's subject and body: it fits in the first few megabytes.
    constexpr qint64 HeadBytes = 8 << 20;
    for (const QString &name : names(JournalHead::Prefix + u'*' + JournalHead::Suffix)) {
        const QString path = QDir(m_folder).filePath(name);
        QFile file(path);
        if (inUse(path) || !file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray start = file.read(HeadBytes);
        const Result<JournalHead::Head> head = JournalHead::read(start, path);
        if (!head || head->identity.tableDigest != digest)
            continue;
        return Entry{path, readJournal(path, m_bootId)};
    }
    return std::nullopt;
}

std::optional<Failure> JournalStore::abandon(const QString &path) const
{
    const QFileInfo info(path);
    if (!info.fileName().startsWith(JournalHead::Prefix) || !info.fileName().endsWith(JournalHead::Suffix) ||
        QDir::cleanPath(info.absolutePath()) != QDir::cleanPath(QFileInfo(m_folder).absoluteFilePath()))
        return Failure::notAJournal(path);
    if (inUse(path))
        return Failure::journalInUse(path);
    const QString target = path.chopped(JournalHead::Suffix.size()) + Abandoned;
    const QByteArray from = QFile::encodeName(path), to = QFile::encodeName(target);
    if (::rename(from.constData(), to.constData()) != 0)
        return Failure::journalWrite(path, errno);
    // Its age now counts from the operator's decision.
    ::utimensat(AT_FDCWD, to.constData(), nullptr, 0);
    return std::nullopt;
}

int JournalStore::removeOld(const QDateTime &now, int days) const
{
    const QDateTime limit = now.addDays(-days);
    const QDir dir(m_folder);
    int removed = 0;
    auto removeIf = [&](const QString &pattern, auto &&condition) {
        for (const QString &name : names(pattern)) {
            const QString path = dir.filePath(name);
            if (QFileInfo(path).lastModified() < limit && !inUse(path) && condition(path) &&
                QFile::remove(path))
                ++removed;
        }
    };
    removeIf(JournalHead::Prefix + u'*' + JournalHead::Suffix, [&](const QString &path) {
        const Result<JournalReport> report = readJournal(path, m_bootId);
        return report && !report->unfinished();
    });
    removeIf(JournalHead::Prefix + u'*' + Abandoned, [](const QString &) { return true; });
    // Never linked to a journal's name, so no row was sent with it.
    removeIf(JournalHead::Prefix + u'*' + JournalHead::Suffix + JournalHead::TemporarySuffix,
             [](const QString &) { return true; });
    return removed + TableLock::removeUnused(m_folder, limit);
}
