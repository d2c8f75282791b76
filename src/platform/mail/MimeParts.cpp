#include "platform/mail/MimeParts.h"

#include "platform/mail/MailText.h"

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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

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
// separated by `separator`.
static QByteArray quotedWords(const QString &text, const QByteArray &separator)
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

// "B" where it takes fewer words, as for Japanese text: some readers (Python's address parser)
// keep the space between two words of a display name that RFC 2047 says to ignore. But "Q" when
// a "B" word other than the last would end in base64 padding: GMime 3.2's own reader drops the
// rest of a run of encoded words after such a word.
QByteArray encodedWords(const QString &text, const QByteArray &separator)
{
    const QByteArray quoted = quotedWords(text, separator);
    const QByteArray base64 = base64Words(text, separator);
    const QList<QByteArray> words = base64.split(' ');
    const bool padded = std::any_of(words.begin(), words.end() - 1, [](const QByteArray &w) {
        return w.endsWith("=?=") || w.endsWith("=?=\n");
    });
    if (padded || base64.count("=?") >= quoted.count("=?"))
        return quoted;
    return base64;
}

// A display name that GMime would write partly as plain words is encoded whole: plain words that
// look encoded, and specials that it leaves unquoted beside encoded words, do not read back as
// written. Any special will do, as the name is then encoded, not quoted. So is a name with "=":
// GMime's "Q" words leave a last "=" as it is, which readers then drop. And so is any name
// outside ASCII: GMime's own encoded words grow past RFC 2047's 75 characters.
bool encodeName(const QString &name)
{
    if (needsEncodedWords(name))
        return true;
    for (const QChar c : name)
        if (QStringView(u"()<>[]:;@\\,.\"=").contains(c))
            return true;
    return false;
}

// A file name parameter in the RFC 2231 form, continued over several lines when long, each
// section holding whole characters (some readers decode the sections one by one); readers take
// it literally.
static QByteArray extendedParameter(const char *name, const QByteArray &utf8)
{
    QList<QByteArray> characters; // each character's bytes, percent-encoded where needed
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        QByteArray encoded;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::strchr("!#$&+-.^_`|~", c))
            encoded += char(c);
        else
            encoded += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        if ((c & 0xc0) == 0x80 && !characters.isEmpty())
            characters.back() += encoded;
        else
            characters += encoded;
    }
    const QByteArray whole = characters.join();
    if (whole.size() <= 60)
        return QByteArray(name) + "*=UTF-8''" + whole;
    QByteArray out, section;
    int number = 0;
    const auto flush = [&] {
        if (!out.isEmpty())
            out += ";\n ";
        out += QByteArray(name) + '*' + QByteArray::number(number) + '*' + '=' +
               (number == 0 ? "UTF-8''" : "") + section;
        ++number;
        section.clear();
    };
    for (const QByteArray &character : std::as_const(characters)) {
        if (!section.isEmpty() && section.size() + character.size() > 60)
            flush();
        section += character;
    }
    flush();
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
static GMimeStream *openAttachment(const QString &path, QString *error, const QString &what)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = QStringLiteral("%1「%2」を開けません（%3）。")
                     .arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("%1「%2」は通常のファイルではありません。").arg(what, path);
        return nullptr;
    }
    return g_mime_stream_fs_new(fd);
}

GMimeObject *makeAttachment(const QString &path, QString *error, const QByteArray &contentId)
{
    GMimeStream *file = openAttachment(path, error,
                                       contentId.isEmpty() ? QStringLiteral("添付ファイル")
                                                           : QStringLiteral("HTML の画像ファイル"));
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
    if (!contentId.isEmpty()) {
        g_mime_object_set_disposition(GMIME_OBJECT(part), GMIME_DISPOSITION_INLINE);
        g_mime_object_set_content_id(GMIME_OBJECT(part), contentId.constData());
    }
    g_mime_part_set_filename(part, fileName.toUtf8().constData());
    // GMime's own encoding of a name outside ASCII is one encoded word of any length in
    // Content-Type and RFC 2231 sections cut inside characters; a name that looks encoded it
    // writes as it is. Such names are written here: RFC 2231 for readers that take it, an RFC 2047
    // name= for those that show only that (Outlook shows "ATT00001" without it).
    if (needsEncodedWords(fileName)) {
        GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(part));
        const QByteArray utf8 = fileName.toUtf8();
        g_mime_header_set_raw_value(
            g_mime_header_list_get_header(headers, "Content-Type"),
            (' ' + major + '/' + minor + ";\n name=\"" + base64Words(fileName, "\n ") + "\"\n").constData());
        g_mime_header_set_raw_value(g_mime_header_list_get_header(headers, "Content-Disposition"),
                                    (QByteArray(contentId.isEmpty() ? " attachment" : " inline") + ";\n " +
                                     extendedParameter("filename", utf8) + '\n')
                                        .constData());
    }
    return GMIME_OBJECT(part);
}

void setMailboxes(InternetAddressList *list, const QStringList &addresses)
{
    internet_address_list_clear(list);
    for (const QString &address : addresses) {
        InternetAddress *mailbox = internet_address_mailbox_new(nullptr, address.toUtf8().constData());
        internet_address_list_add(list, mailbox);
        g_object_unref(mailbox);
    }
}

void setTextContent(GMimeTextPart *part, const TextBody &body)
{
    GRef<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(body.content.constData(), body.content.size()));
    GRef<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(part), wrapper.get());
    g_mime_part_set_content_encoding(GMIME_PART(part), body.encoding);
}

GMimeObject *makeTextPart(const char *subtype, const char *charset, const TextBody &body)
{
    GMimeTextPart *part = g_mime_text_part_new_with_subtype(subtype);
    g_mime_text_part_set_charset(part, charset);
    setTextContent(part, body);
    return GMIME_OBJECT(part);
}

QByteArray innerBoundary(const QByteArray &boundary, char level)
{
    return boundary.left(2) + level + boundary.mid(2);
}

GMimeObject *makeHtmlBody(const QString &html, const QString &plainText, const QString &imageFolder,
                          const QByteArray &boundarySeed, const QByteArray &idPart,
                          const QString &senderAddress, QString *error)
{
    // The images first: nothing is built when one cannot be read.
    const QList<HtmlImageSource> sources = localImageSourcesOf(html, imageFolder);
    QStringList paths;
    std::vector<GRef<GMimeObject>> images;
    QList<QByteArray> ids;
    for (const HtmlImageSource &source : sources) {
        if (paths.contains(source.path))
            continue;
        const QByteArray id = idPart.isEmpty() ? newMessageId(senderAddress)
                                               : QByteArray::number(paths.size() + 1) + '.' + idPart;
        GMimeObject *image = makeAttachment(source.path, error, id);
        if (!image)
            return nullptr;
        paths += source.path;
        ids += id;
        images.emplace_back(image);
    }
    QString shown = html;
    for (qsizetype i = sources.size() - 1; i >= 0; --i) // from the end, so the positions hold
        shown.replace(sources[i].from, sources[i].length,
                      QStringLiteral("cid:") + QString::fromLatin1(ids[paths.indexOf(sources[i].path)]));

    GRef<GMimeObject> text(
        makeTextPart("plain", "UTF-8", prepareBody(plainText.isEmpty() ? plainTextOfHtml(html) : plainText)));
    GRef<GMimeObject> htmlPart(makeTextPart("html", "UTF-8", prepareBody(shown)));
    GMimeMultipart *alternative = g_mime_multipart_new_with_subtype("alternative");
    if (!boundarySeed.isEmpty())
        g_mime_multipart_set_boundary(alternative, innerBoundary(boundarySeed, 'A').constData());
    g_mime_multipart_add(alternative, text.get());
    if (images.empty()) {
        g_mime_multipart_add(alternative, htmlPart.get());
        return GMIME_OBJECT(alternative);
    }
    GRef<GMimeMultipart> related(g_mime_multipart_new_with_subtype("related"));
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(related.get()), "type", "text/html");
    if (!boundarySeed.isEmpty())
        g_mime_multipart_set_boundary(related.get(), innerBoundary(boundarySeed, 'R').constData());
    g_mime_multipart_add(related.get(), htmlPart.get());
    for (const GRef<GMimeObject> &image : images)
        g_mime_multipart_add(related.get(), image.get());
    g_mime_multipart_add(alternative, GMIME_OBJECT(related.get()));
    return GMIME_OBJECT(alternative);
}

std::optional<TextBody> prepareIso2022Jp(const QString &body)
{
    const std::optional<QByteArray> jis = toIso2022Jp(body);
    if (!jis)
        return std::nullopt;
    QByteArray lf(jis->size(), Qt::Uninitialized);
    char *out = lf.data();
    qsizetype lineStart = 0;
    for (const char *p = jis->constData(), *end = p + jis->size(); p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && p + 1 < end && p[1] == '\n')
                ++p;
            if ((out - lf.data()) - lineStart > 998)
                return std::nullopt;
            *out++ = '\n';
            lineStart = out - lf.data();
            continue;
        }
        if ((c < 0x20 && c != '\t' && c != 0x1b) || c == 0x7f)
            return std::nullopt; // what 7bit cannot carry
        *out++ = char(c);
    }
    if ((out - lf.data()) - lineStart > 998)
        return std::nullopt;
    lf.truncate(out - lf.data());
    return TextBody{lf, GMIME_CONTENT_ENCODING_7BIT};
}

bool needsEncodedWords(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return true;
    return looksEncoded(text);
}

// Each word holds whole characters, in ASCII again at its end.
QByteArray iso2022JpWords(const QString &text, const QByteArray &separator)
{
    const std::optional<QByteArray> jis = toIso2022Jp(text);
    if (!jis)
        return encodedWords(text, separator);
    // The characters as ISO-2022-JP writes them, one ASCII byte or one JIS X 0208 pair each.
    struct Unit {
        QByteArray bytes;
        bool jis;
    };
    QList<Unit> units;
    bool inJis = false;
    for (qsizetype i = 0; i < jis->size();) {
        if (jis->at(i) == '\x1b') {
            inJis = jis->mid(i, 3) == "\x1b$B";
            i += 3;
        } else {
            const int size = inJis ? 2 : 1;
            units.append({jis->mid(i, size), inJis});
            i += size;
        }
    }
    // The bytes of one word of units [from, to).
    const auto wordOf = [&units](qsizetype from, qsizetype to) {
        QByteArray word;
        bool wordJis = false;
        for (qsizetype i = from; i < to; ++i) {
            if (units[i].jis != wordJis)
                word += units[i].jis ? "\x1b$B" : "\x1b(B";
            wordJis = units[i].jis;
            word += units[i].bytes;
        }
        if (wordJis)
            word += "\x1b(B";
        return word;
    };
    QByteArray out;
    for (qsizetype from = 0; from < units.size();) {
        // 75 less "=?ISO-2022-JP?B?" and "?=": 57 base64 characters, 42 bytes
        qsizetype to = from + 1;
        while (to < units.size() && wordOf(from, to + 1).size() <= 42)
            ++to;
        // As with UTF-8: no base64 padding but in the last word, where the units allow it.
        if (to < units.size())
            for (qsizetype t = to; t > from && t > to - 3; --t)
                if (wordOf(from, t).size() % 3 == 0) {
                    to = t;
                    break;
                }
        if (!out.isEmpty())
            out += separator;
        out += "=?ISO-2022-JP?B?" + wordOf(from, to).toBase64() + "?=";
        from = to;
    }
    return out;
}

// Words whose bytes are a multiple of three where the characters allow it: GMime 3.2's reader
// drops what follows a word that ends in base64 padding.
QByteArray base64Words(const QString &text, const QByteArray &separator)
{
    const QByteArray utf8 = text.toUtf8();
    QList<qsizetype> starts; // where each character begins
    for (qsizetype i = 0; i < utf8.size(); ++i)
        if ((static_cast<unsigned char>(utf8[i]) & 0xc0) != 0x80)
            starts += i;
    starts += utf8.size();
    QByteArray out;
    qsizetype from = 0; // index into starts
    while (from + 1 < starts.size()) {
        // 75 less "=?UTF-8?B?" and "?=": 63 base64 characters, 45 bytes
        qsizetype to = from + 1;
        while (to + 1 < starts.size() && starts[to + 1] - starts[from] <= 45)
            ++to;
        if (to + 1 < starts.size())
            for (qsizetype t = to; t > from; --t)
                if ((starts[t] - starts[from]) % 3 == 0) {
                    to = t;
                    break;
                }
        if (!out.isEmpty())
            out += separator;
        out += "=?UTF-8?B?" + utf8.mid(starts[from], starts[to] - starts[from]).toBase64() + "?=";
        from = to;
    }
    return out;
}

QByteArray displayName(const QString &name, bool iso2022jp)
{
    if (!encodeName(name))
        return name.toUtf8();
    return iso2022jp ? iso2022JpWords(name, " ") : encodedWords(name, " ");
}

QByteArray subjectValue(const QString &subject, bool iso2022jp)
{
    return ' ' + (iso2022jp ? iso2022JpWords(subject, "\n ") : encodedWords(subject, "\n ")) + '\n';
}

} // namespace mime
