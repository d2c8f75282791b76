#include "platform/mail/MimeParts.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mime
{

// Created once: the options never change between messages.
GMimeFormatOptions *wireFormat()
{
    static GMimeFormatOptions *options = [] {
        GMimeFormatOptions *o = g_mime_format_options_new();
        g_mime_format_options_set_newline_format(o, GMIME_NEWLINE_FORMAT_DOS);
        g_mime_format_options_set_param_encoding_method(o, GMIME_PARAM_ENCODING_METHOD_RFC2231);
        return o;
    }();
    return options;
}

// The sender seldom changes within a run; its domain is converted once.
static QByteArray asciiDomain(const QString &address)
{
    thread_local QString lastDomain;
    thread_local QByteArray lastAce;
    const QString domain = address.mid(address.lastIndexOf(u'@') + 1);
    if (domain != lastDomain) {
        lastAce = QUrl::toAce(domain);
        if (lastAce.isEmpty())
            lastAce = "localhost";
        lastDomain = domain;
    }
    return lastAce;
}

// Unique without asking the system for randomness per message: a random number drawn once per
// process, the time, and a counter.
QByteArray newMessageId(const QString &senderAddress)
{
    static const QByteArray processPart = QByteArray::number(QRandomGenerator::system()->generate64(), 36) +
                                          '.' + QByteArray::number(QCoreApplication::applicationPid(), 36);
    static QAtomicInteger<quint64> counter;
    return QByteArray::number(QDateTime::currentMSecsSinceEpoch(), 36) + '.' +
           QByteArray::number(++counter, 36) + '.' + processPart + '@' + asciiDomain(senderAddress);
}

GTimeZone *localZone()
{
    static GTimeZone *const zone = g_time_zone_new_local();
    return zone;
}

GDateTime *localTime(qint64 second)
{
    GDateTime *utc = g_date_time_new_from_unix_utc(second);
    GDateTime *local = g_date_time_to_timezone(utc, localZone());
    g_date_time_unref(utc);
    return local;
}

TextBody prepareUtf8(const QByteArray &utf8)
{
    QByteArray lf(utf8.size(), Qt::Uninitialized);
    char *out = lf.data();
    qsizetype eightBit = 0, lineStart = 0, longestLine = 0, lines = 0;
    bool controls = false;
    const char *p = utf8.constData();
    const char *const end = p + utf8.size();
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n') { // CR LF, a lone CR and a lone LF all end a line
            if (c == '\r' && p + 1 < end && p[1] == '\n')
                ++p;
            longestLine = std::max(longestLine, (out - lf.data()) - lineStart);
            *out++ = '\n';
            ++lines;
            lineStart = out - lf.data();
            continue;
        }
        if (c >= 0x80)
            ++eightBit;
        else if ((c < 0x20 && c != '\t') || c == 0x7f)
            controls = true;
        *out++ = char(c);
    }
    longestLine = std::max(longestLine, (out - lf.data()) - lineStart);
    lf.truncate(out - lf.data());
    if (eightBit == 0 && !controls && longestLine <= 998)
        return {lf, GMIME_CONTENT_ENCODING_7BIT};
    if (!controls && eightBit * 6 < lf.size())
        return {lf, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE};
    // Base64 carries the canonical CR LF form of the text.
    QByteArray crlf(lf.size() + lines, Qt::Uninitialized);
    char *o = crlf.data();
    for (const char c : std::as_const(lf)) {
        if (c == '\n')
            *o++ = '\r';
        *o++ = c;
    }
    return {crlf, GMIME_CONTENT_ENCODING_BASE64};
}

namespace
{

// LF line ends in place of CR LF.
QByteArray withoutCr(QByteArray crlf)
{
    char *out = crlf.data();
    const char *p = out;
    const char *const end = p + crlf.size();
    for (; p < end; ++p)
        if (!(*p == '\r' && p + 1 < end && p[1] == '\n'))
            *out++ = *p;
    crlf.truncate(out - crlf.data());
    return crlf;
}

} // namespace

// One pass from UTF-16 to the CR LF form, with what the choice of encoding needs; the same bytes
// as prepareUtf8(body.toUtf8()).
TextBody prepareBody(const QString &body)
{
    const char16_t *const text = reinterpret_cast<const char16_t *>(body.utf16());
    const qsizetype n = body.size();
    QByteArray crlf(n * 3, Qt::Uninitialized); // no UTF-16 unit takes more than three bytes
    char *o = crlf.data();
    const char *lineStart = o;
    qsizetype eightBit = 0, longestLine = 0, lines = 0;
    bool controls = false;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i];
        if (c >= 0x800 && !QChar::isSurrogate(c)) { // first: what Japanese text is made of
            o[0] = char(0xe0 | (c >> 12));
            o[1] = char(0x80 | ((c >> 6) & 0x3f));
            o[2] = char(0x80 | (c & 0x3f));
            o += 3;
            eightBit += 3;
        } else if (c < 0x80) {
            if (c == u'\r' || c == u'\n') { // CR LF, a lone CR and a lone LF all end a line
                if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
                    ++i;
                longestLine = std::max<qsizetype>(longestLine, o - lineStart);
                *o++ = '\r';
                *o++ = '\n';
                ++lines;
                lineStart = o;
                continue;
            }
            if ((c < 0x20 && c != u'\t') || c == 0x7f)
                controls = true;
            *o++ = char(c);
        } else if (c < 0x800) {
            *o++ = char(0xc0 | (c >> 6));
            *o++ = char(0x80 | (c & 0x3f));
            eightBit += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(text[i + 1])) {
            const char32_t u = QChar::surrogateToUcs4(c, text[++i]);
            *o++ = char(0xf0 | (u >> 18));
            *o++ = char(0x80 | ((u >> 12) & 0x3f));
            *o++ = char(0x80 | ((u >> 6) & 0x3f));
            *o++ = char(0x80 | (u & 0x3f));
            eightBit += 4;
        } else {
            return prepareUtf8(body.toUtf8()); // what Qt's converter writes for a lone surrogate
        }
    }
    longestLine = std::max<qsizetype>(longestLine, o - lineStart);
    crlf.truncate(o - crlf.data());
    const qsizetype lfSize = crlf.size() - lines;
    if (eightBit == 0 && !controls && longestLine <= 998)
        return {withoutCr(std::move(crlf)), GMIME_CONTENT_ENCODING_7BIT};
    if (!controls && eightBit * 6 < lfSize)
        return {withoutCr(std::move(crlf)), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE};
    return {crlf, GMIME_CONTENT_ENCODING_BASE64};
}

// GMime writes ASCII header text as it is, so text that already looks like an RFC 2047 encoded
// word would be decoded by the reader into something else. Such text is encoded as a whole.
bool looksEncoded(const QString &text)
{
    return text.contains(QLatin1String("=?")) || text.contains(QLatin1String("?="));
}

// The text as UTF-8 "Q" encoded words of at most 75 characters each, cut between characters,
// separated by `separator`. Q rather than B: GMime 3.2's own reader drops the rest of a run of
// encoded words after one that ends in base64 padding.
QByteArray encodedWords(const QString &text, const QByteArray &separator)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out, word;
    const auto flush = [&] {
        if (word.isEmpty())
            return;
        if (!out.isEmpty())
            out += separator;
        out += "=?UTF-8?Q?" + word + "?=";
        word.clear();
    };
    static const char hex[] = "0123456789ABCDEF";
    for (qsizetype i = 0; i < utf8.size();) {
        // one character: its lead byte and continuation bytes stay in one word
        qsizetype end = i + 1;
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xc0) == 0x80)
            ++end;
        QByteArray encoded;
        for (; i < end; ++i) {
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::strchr("!*+-/", c))
                encoded += char(c);
            else if (c == ' ')
                encoded += '_';
            else
                encoded += QByteArray("=") + hex[c >> 4] + hex[c & 15];
        }
        if (word.size() + encoded.size() > 63) // 75 less "=?UTF-8?Q?" and "?="
            flush();
        word += encoded;
    }
    flush();
    return out;
}

// A display name that GMime would write partly as plain words is encoded whole: plain words that
// look encoded, and specials that it leaves unquoted beside encoded words, do not read back as
// written. Any special will do, as the name is then encoded, not quoted. So is a name with "=":
// GMime's "Q" words leave a last "=" as it is, which readers then drop.
bool encodeName(const QString &name)
{
    if (looksEncoded(name))
        return true;
    for (const QChar c : name)
        if (QStringView(u"()<>[]:;@\\,.\"=").contains(c))
            return true;
    return false;
}

// A file name parameter in the RFC 2231 form, continued over several lines when long; readers
// take it literally.
static QByteArray extendedParameter(const char *name, const QByteArray &utf8)
{
    QByteArray encoded;
    for (const char ch : utf8) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("!#$&+-.^_`|~", c))
            encoded += char(c);
        else
            encoded += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
    }
    if (encoded.size() <= 60)
        return QByteArray(name) + "*=UTF-8''" + encoded;
    QByteArray out;
    int section = 0;
    for (qsizetype from = 0; from < encoded.size(); ++section) {
        qsizetype to = std::min<qsizetype>(from + 60, encoded.size());
        if (to < encoded.size() && encoded[to - 1] == '%')
            to -= 1;
        else if (to < encoded.size() && to >= 2 && encoded[to - 2] == '%')
            to -= 2;
        if (!out.isEmpty())
            out += ";\n ";
        out += QByteArray(name) + '*' + QByteArray::number(section) + '*' + '=' +
               (section == 0 ? "UTF-8''" : "") + encoded.mid(from, to - from);
        from = to;
    }
    return out;
}

// File names are shown to the recipient; control characters in them could break the header.
static QString safeFileName(const QString &path)
{
    QString name = QFileInfo(path).fileName();
    for (QChar &c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'_';
    return name;
}

// Opens an attachment for reading. Only a regular file will do: a FIFO would block the send
// forever and a directory cannot be read. The descriptor is closed with the returned stream.
static GMimeStream *openAttachment(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = QStringLiteral("添付ファイル「%1」を開けません（%2）。")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("添付ファイル「%1」は通常のファイルではありません。").arg(path);
        return nullptr;
    }
    return g_mime_stream_fs_new(fd);
}

GMimeObject *makeAttachment(const QString &path, QString *error)
{
    GMimeStream *file = openAttachment(path, error);
    if (!file)
        return nullptr;
    GRef<GMimeStream> stream(file);
    static const QMimeDatabase mimeDatabase;
    const QMimeType type = mimeDatabase.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    QByteArray name = type.isValid() ? type.name().toLatin1() : QByteArray();
    qsizetype slash = name.indexOf('/');
    if (slash <= 0) {
        name = "application/octet-stream";
        slash = name.indexOf('/');
    }
    const QByteArray major = name.left(slash);
    const QByteArray minor = name.mid(slash + 1);
    GMimePart *part = g_mime_part_new_with_type(major.constData(), minor.constData());
    GRef<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, wrapper.get());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    const QString fileName = safeFileName(path);
    g_mime_part_set_filename(part, fileName.toUtf8().constData());
    if (looksEncoded(fileName)) {
        GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(part));
        const QByteArray utf8 = fileName.toUtf8();
        g_mime_header_set_raw_value(
            g_mime_header_list_get_header(headers, "Content-Type"),
            (' ' + major + '/' + minor + ";\n " + extendedParameter("name", utf8) + '\n').constData());
        g_mime_header_set_raw_value(
            g_mime_header_list_get_header(headers, "Content-Disposition"),
            (" attachment;\n " + extendedParameter("filename", utf8) + '\n').constData());
    }
    return GMIME_OBJECT(part);
}

} // namespace mime
