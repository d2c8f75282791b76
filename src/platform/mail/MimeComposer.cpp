#include "MimeComposer.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QUrl>

// GLib names a structure member "signals", which Qt defines as a keyword macro.
#undef signals
#include <gmime/gmime.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <memory>
#include <mutex>
#include <vector>

namespace
{

template <class T> struct GObjectDeleter {
    void operator()(T *p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <class T> using GRef = std::unique_ptr<T, GObjectDeleter<T>>;

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
QByteArray asciiDomain(const QString &address)
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

// The body's lines end in LF only (GMime writes CR LF on the wire); the choice of transfer
// encoding keeps the wire 7-bit with lines under the SMTP limit.
struct TextBody {
    QByteArray content;
    GMimeContentEncoding encoding;
};

TextBody prepareBody(const QString &body)
{
    const QByteArray utf8 = body.toUtf8();
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

void setTextContent(GMimeTextPart *part, const QString &text)
{
    const TextBody body = prepareBody(text);
    GRef<GMimeStream> stream(
        g_mime_stream_mem_new_with_buffer(body.content.constData(), body.content.size()));
    GRef<GMimeDataWrapper> wrapper(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(part), wrapper.get());
    g_mime_part_set_content_encoding(GMIME_PART(part), body.encoding);
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
// written. Any special will do, as the name is then encoded, not quoted.
bool encodeName(const QString &name)
{
    if (looksEncoded(name))
        return true;
    for (const QChar c : name)
        if (QStringView(u"()<>[]:;@\\,.\"").contains(c))
            return true;
    return false;
}

// A file name parameter in the RFC 2231 form, continued over several lines when long; readers
// take it literally.
QByteArray extendedParameter(const char *name, const QByteArray &utf8)
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
QString safeFileName(const QString &path)
{
    QString name = QFileInfo(path).fileName();
    for (QChar &c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'_';
    return name;
}

// Opens an attachment for reading. Only a regular file will do: a FIFO would block the send
// forever and a directory cannot be read. The descriptor is closed with the returned stream.
GMimeStream *openAttachment(const QString &path, QString *error)
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

} // namespace

void initMimeLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

MimeComposer::MimeComposer()
{
    initMimeLibrary();
    m_sink = g_mime_stream_mem_new();
    startOver();
}

MimeComposer::~MimeComposer()
{
    g_object_unref(m_sink);
    g_object_unref(m_text);
    g_object_unref(m_message);
}

void MimeComposer::startOver()
{
    if (m_text)
        g_object_unref(m_text);
    if (m_message)
        g_object_unref(m_message);
    m_message = g_mime_message_new(FALSE);
    m_text = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_charset(m_text, "UTF-8");
    m_fresh = true;
    m_senderName.clear();
    m_senderAddress.clear();
    m_recipient.clear();
    m_subject.clear();
    m_dateSecond = -1;
    m_html = false;
}

BuiltMessage MimeComposer::compose(const MessageFields &f)
{
    BuiltMessage out = composeKept(f);
    // A message that failed half-way may have left anything behind in the kept one.
    if (!out.error.isEmpty())
        startOver();
    // The attachments' files are closed with their parts; only the text part is kept.
    if (g_mime_message_get_mime_part(m_message) != GMIME_OBJECT(m_text))
        g_mime_message_set_mime_part(m_message, GMIME_OBJECT(m_text));
    return out;
}

BuiltMessage MimeComposer::composeKept(const MessageFields &f)
{
    BuiltMessage out;
    // Every attachment is opened before the kept message is touched.
    std::vector<GRef<GMimeObject>> attachments;
    attachments.reserve(size_t(f.attachments.size()));
    for (const QString &path : f.attachments) {
        attachments.emplace_back(makeAttachment(path, &out.error));
        if (!attachments.back())
            return out;
    }

    // Asking GLib for the local zone on every message would read /etc/localtime each time.
    static GTimeZone *const localZone = g_time_zone_new_local();
    GDateTime *now = g_date_time_new_now(localZone);
    if (const qint64 second = g_date_time_to_unix(now); second != m_dateSecond) {
        g_mime_message_set_date(m_message, now);
        m_dateSecond = second;
    }
    g_date_time_unref(now);

    // Changing the kept mailbox updates its header in place, so the header order stays put.
    if (m_fresh || f.senderName != m_senderName || f.senderAddress != m_senderAddress) {
        const QByteArray name =
            encodeName(f.senderName) ? encodedWords(f.senderName, " ") : f.senderName.toUtf8();
        if (m_fresh) {
            g_mime_message_add_mailbox(m_message, GMIME_ADDRESS_TYPE_FROM,
                                       name.isEmpty() ? nullptr : name.constData(),
                                       f.senderAddress.toUtf8().constData());
        } else {
            InternetAddress *from = internet_address_list_get_address(g_mime_message_get_from(m_message), 0);
            internet_address_set_name(from, name.isEmpty() ? nullptr : name.constData());
            internet_address_mailbox_set_addr(INTERNET_ADDRESS_MAILBOX(from),
                                              f.senderAddress.toUtf8().constData());
        }
        m_senderName = f.senderName;
        m_senderAddress = f.senderAddress;
    }
    if (m_fresh) {
        g_mime_message_add_mailbox(m_message, GMIME_ADDRESS_TYPE_TO, nullptr,
                                   f.recipientAddress.toUtf8().constData());
    } else if (f.recipientAddress != m_recipient) {
        InternetAddress *to = internet_address_list_get_address(g_mime_message_get_to(m_message), 0);
        internet_address_mailbox_set_addr(INTERNET_ADDRESS_MAILBOX(to),
                                          f.recipientAddress.toUtf8().constData());
    }
    m_recipient = f.recipientAddress;
    if (m_fresh || f.subject != m_subject) {
        g_mime_message_set_subject(m_message, f.subject.toUtf8().constData(), "UTF-8");
        if (looksEncoded(f.subject)) {
            GMimeHeader *header = g_mime_header_list_get_header(
                g_mime_object_get_header_list(GMIME_OBJECT(m_message)), "Subject");
            g_mime_header_set_raw_value(header, (' ' + encodedWords(f.subject, "\n ") + '\n').constData());
        }
        m_subject = f.subject;
    }
    m_fresh = false;
    g_mime_message_set_message_id(m_message, newMessageId(f.senderAddress).constData());

    if (f.html != m_html) {
        g_mime_content_type_set_media_subtype(g_mime_object_get_content_type(GMIME_OBJECT(m_text)),
                                              f.html ? "html" : "plain");
        m_html = f.html;
    }
    setTextContent(m_text, f.body);
    if (attachments.empty()) {
        if (g_mime_message_get_mime_part(m_message) != GMIME_OBJECT(m_text))
            g_mime_message_set_mime_part(m_message, GMIME_OBJECT(m_text));
    } else {
        GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(m_text));
        for (const GRef<GMimeObject> &attachment : attachments)
            g_mime_multipart_add(mixed.get(), attachment.get());
        g_mime_message_set_mime_part(m_message, GMIME_OBJECT(mixed.get()));
    }

    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(m_sink));
    g_byte_array_set_size(bytes, 0);
    g_mime_stream_reset(m_sink);
    if (g_mime_object_write_to_stream(GMIME_OBJECT(m_message), wireFormat(), m_sink) < 0) {
        out.error = QStringLiteral("メールを作成できませんでした（添付ファイルを読み込めません）。");
        return out;
    }
    out.bytes = QByteArray(reinterpret_cast<const char *>(bytes->data), qsizetype(bytes->len));
    if (bytes->len > 1024 * 1024) { // let a large message's buffer go
        g_object_unref(m_sink);
        m_sink = g_mime_stream_mem_new();
    }
    return out;
}

BuiltMessage buildMimeMessage(const MessageFields &f)
{
    return MimeComposer().compose(f);
}
