#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What an attachment was when it went out: its path, its size and a SHA-256 of its bytes, so that a
// continuation can tell a file changed since, and the journal shows what each person got.
struct FileStamp {
    QString path;
    qint64 size = 0;
    QByteArray sha256; // 32 bytes
    bool operator==(const FileStamp &) const = default;
};

// The file's stamp as it is now; nothing when it cannot be read whole.
std::optional<FileStamp> stampOf(const QString &path);
