#include "send/journal/FileStamp.h"

#include <QCryptographicHash>
#include <QFile>

std::optional<FileStamp> stampOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError)
        return std::nullopt;
    return FileStamp{path, file.size(), hash.result()};
}
