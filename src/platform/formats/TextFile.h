#pragma once

#include "platform/Failure.h"

#include <QString>
#include <QStringView>

#include <vector>

// A text file read whole, decoded, and cut into lines without their line ends.
// Line ends are CR LF or LF; a final line end does not start another line.
struct TextLines {
    enum class Encoding { Ascii, Cp932, Utf8 };
    // Whether a reading cuts the text into lines; callers that cut it themselves save the memory.
    enum class Cut { Lines, None };
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
// mark, or by being valid UTF-8 with non-ASCII characters that read as plausible text (see
// validUtf8IsUtf8); everything else is CP932 (Shift_JIS with the vendor extensions). Bytes that
// are not text in the chosen encoding, NUL among them, fail with the number of the line that holds
// them. The file is read chunkBytes at a time (a default size when 0).
Result<TextLines> readTextFile(const QString &path, TextLines::Cut cut = TextLines::Cut::Lines,
                               qsizetype chunkBytes = 0);

// Whether bytes already known to be valid UTF-8 are UTF-8 rather than CP932. CP932 half-width
// katakana pairs are valid UTF-8 too ("ﾅｶ" is the UTF-8 of "Ŷ"), so when every non-ASCII byte lies
// in 0xA1-0xDF (CP932 would read ASCII and half-width katakana only) the UTF-8 reading is taken
// only when each of its non-ASCII characters is a Latin letter (U+00C0-U+024F) directly beside an
// ASCII letter or digit, as in "Müller" or "José".
bool validUtf8IsUtf8(QByteArrayView bytes);

// The encoding decodeText reads bytes in, found without keeping their text: for a writer that
// must know its bytes load again as it wrote them. Bytes that are no text in any encoding come out
// as Cp932, the reading that then refuses them.
TextLines::Encoding readingOf(QByteArrayView bytes);

// Decoding alone, for bytes already in memory; path only names the file in failures. chunkBytes,
// when given, cuts the bytes into the pieces a file would be read in.
Result<TextLines> decodeText(const QByteArray &bytes, const QString &path,
                             TextLines::Cut cut = TextLines::Cut::Lines, qsizetype chunkBytes = 0);
