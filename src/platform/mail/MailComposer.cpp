#include "platform/mail/MailComposer.h"

#include "platform/mail/MailSession.h"
#include "platform/mail/MailText.h"
#include "platform/mail/MimeParts.h"

#include <QRandomGenerator>

#include <cstring>

using namespace mime;

namespace
{

// Appends `text` with every LF written as CR LF, as GMime's DOS line ends do.
void appendCrlf(QByteArray &out, const char *text, qsizetype size)
{
    const qsizetype at = out.size();
    out.resize(at + 2 * size);
    char *o = out.data() + at;
    const char *p = text;
    const char *const end = text + size;
    while (p < end) {
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        const char *const stop = lf ? lf : end;
        std::memcpy(o, p, size_t(stop - p));
        o += stop - p;
        if (!lf)
            break;
        *o++ = '\r';
        *o++ = '\n';
        p = lf + 1;
    }
    out.truncate(o - out.constData());
}

void appendCrlf(QByteArray &out, const QByteArray &text)
{
    appendCrlf(out, text.constData(), text.size());
}

// Base64 as GMime writes it: lines of 19 groups of four characters, the last line ended too; here
// with CR LF straight away.
void appendBase64(QByteArray &out, const QByteArray &data)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const qsizetype n = data.size();
    const qsizetype groups = (n + 2) / 3;
    const qsizetype at = out.size();
    out.resize(at + groups * 4 + (groups + 18) / 19 * 2);
    char *o = out.data() + at;
    const auto *p = reinterpret_cast<const unsigned char *>(data.constData());
    int inLine = 0;
    qsizetype i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = unsigned(p[i]) << 16 | unsigned(p[i + 1]) << 8 | p[i + 2];
        o[0] = alphabet[v >> 18];
        o[1] = alphabet[(v >> 12) & 63];
        o[2] = alphabet[(v >> 6) & 63];
        o[3] = alphabet[v & 63];
        o += 4;
        if (++inLine == 19) {
            *o++ = '\r';
            *o++ = '\n';
            inLine = 0;
        }
    }
    if (i < n) {
        const bool two = i + 1 < n;
        const unsigned v = unsigned(p[i]) << 16 | (two ? unsigned(p[i + 1]) << 8 : 0);
        o[0] = alphabet[v >> 18];
        o[1] = alphabet[(v >> 12) & 63];
        o[2] = two ? alphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
        o += 4;
        ++inLine;
    }
    if (inLine > 0) {
        *o++ = '\r';
        *o++ = '\n';
    }
}

// An address GMime writes as it is, on the header's first line: a plain dot-atom, short enough.
bool isPlainAddress(const QString &address)
{
    if (address.size() > 70)
        return false;
    const qsizetype at = address.indexOf(u'@');
    if (at <= 0 || at + 1 >= address.size() || address.startsWith(u'.') || address[at - 1] == u'.' ||
        address.contains(QLatin1String("..")))
        return false;
    for (qsizetype i = 0; i < address.size(); ++i) {
        const char16_t c = address[i].unicode();
        const bool alnum = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (alnum || c == u'.' || c == u'-' || (i < at && (c == u'_' || c == u'+')) || i == at)
            continue;
        return false;
    }
    return true;
}

const char *encodingName(GMimeContentEncoding encoding)
{
    switch (encoding) {
    case GMIME_CONTENT_ENCODING_BASE64: return "base64";
    case GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE: return "quoted-printable";
    default: return "7bit";
    }
}

// As GMime makes them: "=-" and twenty characters of the base64 alphabet, which neither base64 nor
// quoted-printable content can hold.
QByteArray newBoundary()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    QByteArray b("=-");
    quint64 bits[2] = {QRandomGenerator::global()->generate64(), QRandomGenerator::global()->generate64()};
    for (int i = 0; i < 20; ++i) {
        quint64 &word = bits[i / 10];
        b += alphabet[word & 63];
        word >>= 6;
    }
    return b;
}

} // namespace

std::unique_ptr<MailComposer> MailComposer::create(const QString &senderName, const QString &senderAddress,
                                                   const QStringList &attachments, QString *error)
{
    initMimeLibrary();
    std::unique_ptr<MailComposer> c(new MailComposer);
    c->m_senderName = senderName;
    c->m_senderAddress = senderAddress;
    c->m_attachmentPaths = attachments;
    c->m_headers = g_mime_message_new(FALSE);

    // The From header as MimeComposer sets it, written once, and once more for ISO-2022-JP mails.
    const QByteArray name = displayName(senderName, false);
    g_mime_message_add_mailbox(c->m_headers, GMIME_ADDRESS_TYPE_FROM,
                               name.isEmpty() ? nullptr : name.constData(),
                               senderAddress.toUtf8().constData());
    c->m_from = c->headerLine("From");
    c->m_fromJis = c->m_from;
    if (needsEncodedWords(senderName) && fitsIso2022Jp(senderName)) {
        InternetAddress *from = internet_address_list_get_address(g_mime_message_get_from(c->m_headers), 0);
        internet_address_set_name(from, displayName(senderName, true).constData());
        c->m_fromJis = c->headerLine("From");
    }

    GRef<GMimeStream> sink(g_mime_stream_mem_new());
    for (const QString &path : attachments) {
        GRef<GMimeObject> part(makeAttachment(path, error));
        if (!part)
            return nullptr;
        GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
        g_byte_array_set_size(bytes, 0);
        g_mime_stream_reset(sink.get());
        if (g_mime_object_write_to_stream(part.get(), wireFormat(), sink.get()) < 0) {
            *error = QStringLiteral("メールを作成できませんでした（添付ファイルを読み込めません）。");
            return nullptr;
        }
        c->m_attachments.emplace_back(reinterpret_cast<const char *>(bytes->data), qsizetype(bytes->len));
        c->m_attachmentBytes += c->m_attachments.back().size();
    }
    return c;
}

MailComposer::~MailComposer()
{
    if (m_headers)
        g_object_unref(m_headers);
}

QByteArray MailComposer::headerLine(const char *name)
{
    GMimeHeader *header =
        g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(m_headers)), name);
    QByteArray line(name);
    line += ':';
    appendCrlf(line, QByteArray(g_mime_header_get_raw_value(header)));
    return line;
}

MessageFields MailComposer::fieldsOf(const MailContent &mail, const QString &recipient,
                                     const MailTextOptions &options, QString *error) const
{
    MessageFields f{m_senderName,
                    m_senderAddress,
                    recipient,
                    mail.subject,
                    mail.body,
                    mail.html,
                    m_attachmentPaths + mail.attachments};
    f.plainText = mail.plainText;
    f.iso2022jp = options.iso2022jp;
    f.imageFolder = options.imageFolder;
    const auto addresses = [error](const QStringList &given, const QString &what, QStringList *out) {
        for (const QString &text : given) {
            const MailRecipient r = mailRecipientOf(text);
            if (!r.error.isEmpty()) {
                if (error->isEmpty())
                    *error = QStringLiteral("%1のメールアドレス「%2」を使えません（%3）。")
                                 .arg(what, text, r.reason);
                continue;
            }
            *out += r.address;
        }
    };
    addresses(mail.cc, QStringLiteral("CC"), &f.cc);
    addresses(mail.replyTo, QStringLiteral("返信先"), &f.replyTo);
    return f;
}

BuiltMessage MailComposer::compose(const MailContent &mail, const QString &recipient,
                                   const MailTextOptions &options, const MessageStamp *stamp)
{
    BuiltMessage out;
    const MessageFields f = fieldsOf(mail, recipient, options, &out.error);
    if (!out.error.isEmpty())
        return out;

    // What is read from files, before anything is written: the mail's own attachments, encoded
    // as the session's are, and the images of an HTML body.
    std::vector<QByteArray> ownAttachments;
    GRef<GMimeStream> sink;
    const auto written = [&sink](GMimeObject *object, QByteArray *bytes) {
        if (!sink)
            sink.reset(g_mime_stream_mem_new());
        GByteArray *buffer = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
        g_byte_array_set_size(buffer, 0);
        g_mime_stream_reset(sink.get());
        if (g_mime_object_write_to_stream(object, wireFormat(), sink.get()) < 0)
            return false;
        *bytes = QByteArray(reinterpret_cast<const char *>(buffer->data), qsizetype(buffer->len));
        return true;
    };
    for (const QString &path : mail.attachments) {
        GRef<GMimeObject> part(makeAttachment(path, &out.error));
        ownAttachments.emplace_back();
        if (!part)
            return out;
        if (!written(part.get(), &ownAttachments.back())) {
            out.error = QStringLiteral("添付ファイル「%1」を読み込めません。").arg(path);
            return out;
        }
    }
    QByteArray htmlBody;
    std::optional<TextBody> jisBody;
    if (f.html) {
        GRef<GMimeObject> tree(
            makeHtmlBody(f.body, f.plainText, f.imageFolder, stamp ? stamp->boundary : QByteArray(),
                         stamp ? stamp->messageId : QByteArray(), m_senderAddress, &out.error));
        if (!tree)
            return out;
        if (!written(tree.get(), &htmlBody)) {
            out.error = QStringLiteral("メールを作成できませんでした（HTML の画像を読み込めません）。");
            return out;
        }
    } else if (f.iso2022jp) {
        jisBody = prepareIso2022Jp(f.body);
    }
    const bool jis = jisBody && fitsIso2022Jp(f.subject) && fitsIso2022Jp(f.senderName);
    const TextBody text = f.html ? TextBody{} : jis ? *jisBody : prepareBody(f.body);

    QByteArray &m = out.bytes;
    qsizetype ownBytes = 0;
    for (const QByteArray &part : ownAttachments)
        ownBytes += part.size();
    m.reserve(1024 + text.content.size() * 14 / 10 + htmlBody.size() + m_attachmentBytes + ownBytes);

    qint64 second = 0;
    GDateTime *now = nullptr;
    if (stamp) {
        second = stamp->second;
    } else {
        now = g_date_time_new_now(localZone());
        second = g_date_time_to_unix(now);
    }
    if (second != m_dateSecond) {
        if (!now)
            now = localTime(second);
        char *date = g_mime_utils_header_format_date(now);
        m_dateHeader = QByteArray("Date: ") + date + "\r\n";
        g_free(date);
        m_dateSecond = second;
    }
    if (now)
        g_date_time_unref(now);
    m += m_dateHeader;
    m += jis ? m_fromJis : m_from;

    if (isPlainAddress(recipient)) {
        m += "To: ";
        m += recipient.toLatin1();
        m += "\r\n";
    } else {
        InternetAddressList *to = g_mime_message_get_to(m_headers);
        internet_address_list_clear(to);
        internet_address_list_add(to, internet_address_mailbox_new(nullptr, recipient.toUtf8().constData()));
        m += headerLine("To");
    }
    if (!f.cc.isEmpty()) {
        setMailboxes(g_mime_message_get_cc(m_headers), f.cc);
        m += headerLine("Cc");
    }
    if (!f.replyTo.isEmpty()) {
        setMailboxes(g_mime_message_get_reply_to(m_headers), f.replyTo);
        m += headerLine("Reply-To");
    }

    const QString &subject = f.subject;
    if (!m_haveSubject || subject != m_subject || jis != m_subjectJis) {
        g_mime_message_set_subject(m_headers, subject.toUtf8().constData(), "UTF-8");
        if (needsEncodedWords(subject)) {
            GMimeHeader *header = g_mime_header_list_get_header(
                g_mime_object_get_header_list(GMIME_OBJECT(m_headers)), "Subject");
            g_mime_header_set_raw_value(header, subjectValue(subject, jis).constData());
        }
        m_subjectHeader = headerLine("Subject");
        m_subject = subject;
        m_subjectJis = jis;
        m_haveSubject = true;
    }
    m += m_subjectHeader;
    m += "Message-Id: <";
    m += stamp                       ? stamp->messageId
         : !mail.messageId.isEmpty() ? mail.messageId
                                     : newMessageId(m_senderAddress);
    m += ">\r\nMIME-Version: 1.0\r\n";

    QByteArray boundary;
    const bool mixed = !m_attachments.empty() || !ownAttachments.empty();
    if (mixed) {
        boundary = stamp ? stamp->boundary : newBoundary();
        m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary + "\r\n";
    }
    if (f.html) {
        m += htmlBody;
    } else {
        m += jis ? "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
                 : "Content-Type: text/plain; charset=UTF-8\r\n";
        m += "Content-Transfer-Encoding: ";
        m += encodingName(text.encoding);
        m += "\r\n\r\n";

        const qsizetype contentStart = m.size();
        if (text.encoding == GMIME_CONTENT_ENCODING_7BIT) {
            appendCrlf(m, text.content);
        } else if (text.encoding == GMIME_CONTENT_ENCODING_BASE64) {
            appendBase64(m, text.content);
        } else {
            GMimeEncoding state;
            g_mime_encoding_init_encode(&state, text.encoding);
            m_encoded.resize(qsizetype(g_mime_encoding_outlen(&state, size_t(text.content.size()))));
            const size_t n = g_mime_encoding_flush(&state, text.content.constData(),
                                                   size_t(text.content.size()), m_encoded.data());
            appendCrlf(m, m_encoded.constData(), qsizetype(n));
        }
        // A message ends with a line break; a part inside a multipart leaves that to the boundary.
        if (!mixed && m.size() > contentStart && !m.endsWith('\n'))
            m += "\r\n";
    }
    if (!mixed)
        return out;
    for (const QByteArray &part : m_attachments) {
        m += "\r\n--" + boundary + "\r\n";
        m += part;
    }
    for (const QByteArray &part : ownAttachments) {
        m += "\r\n--" + boundary + "\r\n";
        m += part;
    }
    m += "\r\n--" + boundary + "--\r\n";
    return out;
}
