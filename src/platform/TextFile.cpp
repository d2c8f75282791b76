#include "TextFile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <iconv.h>

#include <cerrno>
#include <cstring>

bool fileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

namespace
{

qsizetype lineOfOffset(const char *data, qsizetype offset)
{
    qsizetype line = 1;
    for (qsizetype i = 0; i < offset; ++i)
        if (data[i] == '\n')
            ++line;
    return line;
}

// Returns the offset of the first byte that breaks UTF-8 (or is NUL), or -1 when all is valid.
qsizetype firstInvalidUtf8(const unsigned char *p, qsizetype n, bool *sawNonAscii)
{
    *sawNonAscii = false;
    qsizetype i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c == 0)
                return i;
            ++i;
            continue;
        }
        *sawNonAscii = true;
        int len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0; // no overlong forms
            if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;
        } else {
            return i;
        }
        if (i + len > n)
            return i;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return i;
        for (int k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF)
                return i;
        i += len;
    }
    return -1;
}

// Valid UTF-8 to text, keeping a U+FEFF at the start: QString::fromUtf8 drops it as a byte-order
// mark, but after our own mark was skipped it is a character of the first cell.
QString decodeUtf8KeepingMarks(const char *data, qsizetype size)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(data, size));
}

struct IconvHandle {
    iconv_t cd;
    IconvHandle() : cd(iconv_open("UTF-16LE", "CP932")) {}
    ~IconvHandle()
    {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

Result<QString> decodeCp932(const QByteArray &bytes, const QString &path)
{
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        return Failure::undecodableBytes(path, lineOfOffset(bytes.constData(), nul));
    IconvHandle conv;
    if (conv.cd == reinterpret_cast<iconv_t>(-1))
        return Failure::readError(path, QStringLiteral("CP932 の変換表が使えません"));
    // Every CP932 character is one or two bytes and one UTF-16 unit.
    QString out(bytes.size(), Qt::Uninitialized);
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char *outp = reinterpret_cast<char *>(out.data());
    size_t outLeft = static_cast<size_t>(out.size()) * 2;
    if (iconv(conv.cd, &in, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) {
        const qsizetype at = in - bytes.constData();
        return Failure::undecodableBytes(path, lineOfOffset(bytes.constData(), at));
    }
    out.resize((reinterpret_cast<QChar *>(outp) - out.constData()));
    return out;
}

bool isAsciiAlnum(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

} // namespace

bool validUtf8IsUtf8(QByteArrayView bytes)
{
    for (const char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        if (c >= 0x80 && (c < 0xA1 || c > 0xDF))
            return true;
    }
    const QString text = QString::fromUtf8(bytes);
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c.unicode() < 0x80)
            continue;
        if (c.unicode() < 0xC0 || c.unicode() > 0x24F || !c.isLetter())
            return false;
        const bool before = i > 0 && isAsciiAlnum(text[i - 1].unicode());
        const bool after = i + 1 < n && isAsciiAlnum(text[i + 1].unicode());
        if (!before && !after)
            return false;
    }
    return true;
}

Result<TextLines> decodeText(const QByteArray &bytes, const QString &path)
{
    TextLines t;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    qsizetype n = bytes.size();
    const bool bom = n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
    bool nonAscii = false;
    const qsizetype bad = firstInvalidUtf8(p + (bom ? 3 : 0), n - (bom ? 3 : 0), &nonAscii);
    if (bom) {
        if (bad >= 0)
            return Failure::undecodableBytes(path, lineOfOffset(bytes.constData(), bad + 3));
        t.encoding = TextLines::Encoding::Utf8;
        t.text = decodeUtf8KeepingMarks(bytes.constData() + 3, n - 3);
    } else if (bad < 0 && !nonAscii) {
        t.encoding = TextLines::Encoding::Ascii;
        t.text = QString::fromLatin1(bytes);
    } else if (bad < 0 && validUtf8IsUtf8(bytes)) {
        t.encoding = TextLines::Encoding::Utf8;
        t.text = QString::fromUtf8(bytes);
    } else {
        Result<QString> decoded = decodeCp932(bytes, path);
        if (!decoded)
            return decoded.failure();
        t.encoding = TextLines::Encoding::Cp932;
        t.text = std::move(decoded.value());
    }

    const QChar *s = t.text.constData();
    const qsizetype len = t.text.size();
    t.lines.reserve(static_cast<size_t>(len / 64 + 1));
    qsizetype start = 0;
    for (qsizetype i = 0; i < len; ++i) {
        if (s[i] == u'\n') {
            const qsizetype end = (i > start && s[i - 1] == u'\r') ? i - 1 : i;
            t.lines.push_back({start, end - start});
            start = i + 1;
        }
    }
    if (start < len)
        t.lines.push_back({start, len - start});
    return t;
}

Result<QByteArray> readFileBytes(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Failure::fileNotFound(path);
    if (!info.isFile())
        return Failure::readError(path, QStringLiteral("ファイルではありません"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.error() == QFileDevice::PermissionsError || !info.isReadable())
            return Failure::permissionDenied(path);
        return Failure::readError(path, file.errorString());
    }
    QByteArray bytes;
    try {
        bytes = file.readAll();
    } catch (const std::bad_alloc &) {
        return Failure::outOfMemory();
    }
    if (file.error() != QFileDevice::NoError)
        return Failure::readError(path, file.errorString());
    return bytes;
}

Result<TextLines> readTextFile(const QString &path)
{
    Result<QByteArray> bytes = readFileBytes(path);
    if (!bytes)
        return bytes.failure();
    return decodeText(bytes.value(), path);
}
