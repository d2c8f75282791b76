// The CSV import over any bytes: decoding (UTF-8 with or without a mark, CP932, invalid bytes) and
// the split into the table. The decoding must agree with a plain reference decoder on the outcome,
// the text, the lines and the failure, also when the bytes come in small chunks; every cell must be
// the trimmed piece of its line that a plain split gives, and the table's shape must follow the
// header line.
#include "FuzzCheck.h"
#include "platform/formats/TextFile.h"
#include "recipients/Importers.h"

#include <QStringDecoder>
#include <QStringList>

#include <iconv.h>

#include <cstddef>
#include <cstdint>

namespace
{

qsizetype lineOfOffset(const QByteArray &bytes, qsizetype offset)
{
    return bytes.first(offset).count('\n') + 1;
}

// The offset of the first byte that breaks UTF-8 (or is NUL), or -1.
qsizetype firstInvalidUtf8(const QByteArray &bytes, qsizetype from)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = from; i < n;) {
        const unsigned char c = p[i];
        int len = 1;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c == 0 || (c >= 0x80 && c < 0xC2) || c > 0xF4)
            return i;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2;
        if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        }
        if (c >= 0xF0) {
            len = 4;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        }
        if (len > 1 && (i + len > n || p[i + 1] < lo || p[i + 1] > hi))
            return i;
        for (int k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return i;
        i += len;
    }
    return -1;
}

// The decoding written plainly: whole-buffer checks, glibc's iconv for CP932, Qt for UTF-8.
Result<TextLines> referenceDecode(const QByteArray &bytes, const QString &path)
{
    TextLines t;
    const bool bom = bytes.startsWith("\xEF\xBB\xBF");
    const qsizetype bad = firstInvalidUtf8(bytes, bom ? 3 : 0);
    bool nonAscii = false;
    for (const char c : bytes)
        nonAscii |= static_cast<unsigned char>(c) >= 0x80;
    if (bom) {
        if (bad >= 0)
            return Failure::undecodableBytes(path, lineOfOffset(bytes, bad));
        t.encoding = TextLines::Encoding::Utf8;
        QStringDecoder keepMarks(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
        t.text = keepMarks.decode(QByteArrayView(bytes).sliced(3));
    } else if (bad < 0 && !nonAscii) {
        t.encoding = TextLines::Encoding::Ascii;
        t.text = QString::fromLatin1(bytes);
    } else if (bad < 0 && validUtf8IsUtf8(bytes)) {
        t.encoding = TextLines::Encoding::Utf8;
        t.text = QString::fromUtf8(bytes);
    } else {
        if (bytes.contains('\0'))
            return Failure::undecodableBytes(path, lineOfOffset(bytes, bytes.indexOf('\0')));
        const iconv_t cd = iconv_open("UTF-16LE", "CP932");
        QString out(bytes.size(), Qt::Uninitialized);
        char *in = const_cast<char *>(bytes.constData());
        size_t inLeft = size_t(bytes.size());
        char *outp = reinterpret_cast<char *>(out.data());
        size_t outLeft = size_t(out.size()) * 2;
        const size_t r = iconv(cd, &in, &inLeft, &outp, &outLeft);
        iconv_close(cd);
        if (r == size_t(-1))
            return Failure::undecodableBytes(path, lineOfOffset(bytes, in - bytes.constData()));
        out.resize(reinterpret_cast<QChar *>(outp) - out.constData());
        t.encoding = TextLines::Encoding::Cp932;
        t.text = out;
    }
    qsizetype start = 0;
    for (qsizetype i = 0; i < t.text.size(); ++i) {
        if (t.text[i] == u'\n') {
            const qsizetype end = (i > start && t.text[i - 1] == u'\r') ? i - 1 : i;
            t.lines.push_back({start, end - start});
            start = i + 1;
        }
    }
    if (start < t.text.size())
        t.lines.push_back({start, t.text.size() - start});
    return t;
}

bool sameDecoding(const Result<TextLines> &a, const Result<TextLines> &b)
{
    if (!a || !b)
        return !a && !b && a.failure().description == b.failure().description;
    if (a->encoding != b->encoding || a->text != b->text || a->count() != b->count())
        return false;
    for (qsizetype i = 0; i < a->count(); ++i)
        if (a->line(i) != b->line(i))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = QStringLiteral("fuzz.csv");
    Result<TextLines> read = decodeText(bytes, path);
    FUZZ_CHECK(sameDecoding(read, referenceDecode(bytes, path)));
    // Chunk sizes put the ends of the pieces of a file in every place of a character or a line end.
    for (const qsizetype chunk : {16, 17, 18, 19, 35})
        FUZZ_CHECK(sameDecoding(read, decodeText(bytes, path, TextLines::Cut::Lines, chunk)));
    const Result<TextLines> uncut = decodeText(bytes, path, TextLines::Cut::None);
    FUZZ_CHECK(uncut.ok() == read.ok() && (!uncut || (uncut->text == read->text && uncut->lines.empty())));
    if (!read)
        return 0;
    TextLines &lines = read.value();
    // A second byte-order mark after the first is text of the first line.
    if (size >= 6 && bytes.startsWith("\xEF\xBB\xBF\xEF\xBB\xBF"))
        FUZZ_CHECK(lines.text.startsWith(QChar(0xFEFF)));
    const TextLines copy = lines;
    Result<RecipientTable> table = csvTable(lines, path);
    // The first line that is empty or short of fields fails the import, an empty file too.
    QString failure = copy.count() == 0 ? Failure::emptyFile(path).description : QString();
    const QStringList header =
        copy.count() == 0 || copy.line(0).isEmpty() ? QStringList() : copy.line(0).toString().split(u',');
    for (qsizetype r = 0; r < copy.count() && failure.isEmpty(); ++r) {
        const qsizetype pieces = copy.line(r).count(u',') + 1;
        if (!header.isEmpty() && copy.line(r).isEmpty())
            failure = Failure::extraEmptyLine(r + 1, header.size()).description;
        else if (pieces < header.size())
            failure = Failure::tooFewFields(r + 1, header.size(), pieces).description;
    }
    FUZZ_CHECK(table ? failure.isEmpty() : table.failure().description == failure);
    if (!table)
        return 0;
    const RecipientTable &t = table.value();
    FUZZ_CHECK(t.lastRow() == copy.count() - 1);
    FUZZ_CHECK(t.lastColumn() == header.size());
    for (int r = 0; r <= t.lastRow(); ++r) {
        const QStringList pieces = copy.line(r).toString().split(u',');
        FUZZ_CHECK(t.cellView(r, 0).isEmpty());
        for (int c = 1; c <= t.lastColumn(); ++c) {
            FUZZ_CHECK(c <= pieces.size());
            QStringView expected(pieces[c - 1]);
            while (expected.startsWith(u' '))
                expected = expected.sliced(1);
            while (expected.endsWith(u' '))
                expected.chop(1);
            FUZZ_CHECK(t.cellView(r, c) == expected);
        }
    }
    return 0;
}
