#pragma once

#include "Failure.h"

#include <QString>
#include <QStringView>

#include <vector>

// A text file read whole, decoded, and cut into lines without their line ends.
// Line ends are CR LF or LF; a final line end does not start another line.
struct TextLines {
    enum class Encoding { Ascii, Cp932, Utf8 };
    struct Span {
        qsizetype start = 0;
        qsizetype length = 0;
    };

    Encoding encoding = Encoding::Ascii;
    QString text;
    std::vector<Span> lines;

    qsizetype count() const { return static_cast<qsizetype>(lines.size()); }
    QStringView line(qsizetype i) const { return QStringView(text).mid(lines[i].start, lines[i].length); }
};

// True when a regular file of exactly this name exists.
bool fileExists(const QString &path);

// The bytes of a regular file, with the failures the operator is told about (missing, not a file,
// no permission, read error).
Result<QByteArray> readFileBytes(const QString &path);

// Reads a text file in the operator's code page. Files in UTF-8 are recognised by a byte-order
// mark, or by being valid UTF-8 with non-ASCII characters; everything else is CP932
// (Shift_JIS with the vendor extensions). Bytes that are not text in the chosen encoding, NUL
// among them, fail with the number of the line that holds them.
Result<TextLines> readTextFile(const QString &path);

// Decoding alone, for bytes already in memory; path only names the file in failures.
Result<TextLines> decodeText(const QByteArray &bytes, const QString &path);
