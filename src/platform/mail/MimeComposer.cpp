#include "platform/mail/MimeComposer.h"

#include "platform/mail/MailText.h"
#include "platform/mail/MimeParts.h"

#include <mutex>
#include <vector>

using namespace mime;

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
    m_senderJis = false;
    m_recipient.clear();
    m_subject.clear();
    m_subjectJis = false;
    m_cc.clear();
    m_replyTo.clear();
    m_dateSecond = -1;
}

BuiltMessage MimeComposer::compose(const MessageFields &f, const MessageStamp *stamp)
{
    BuiltMessage out = composeKept(f, stamp);
    // A message that failed half-way may have left anything behind in the kept one.
    if (!out.error.isEmpty())
        startOver();
    // The attachments' files are closed with their parts; only the text part is kept.
    if (g_mime_message_get_mime_part(m_message) != GMIME_OBJECT(m_text))
        g_mime_message_set_mime_part(m_message, GMIME_OBJECT(m_text));
    return out;
}

BuiltMessage MimeComposer::composeKept(const MessageFields &f, const MessageStamp *stamp)
{
    BuiltMessage out;
    // Every attachment and image is opened before the kept message is touched.
    std::vector<GRef<GMimeObject>> attachments;
    attachments.reserve(size_t(f.attachments.size()));
    for (const QString &path : f.attachments) {
        attachments.emplace_back(makeAttachment(path, &out.error));
        if (!attachments.back())
            return out;
    }
    GRef<GMimeObject> htmlBody;
    std::optional<TextBody> jisBody;
    if (f.html) {
        htmlBody.reset(makeHtmlBody(f.body, f.plainText, f.imageFolder,
                                    stamp ? stamp->boundary : QByteArray(),
                                    stamp ? stamp->messageId : QByteArray(), f.senderAddress, &out.error));
        if (!htmlBody)
            return out;
    } else if (f.iso2022jp) {
        jisBody = prepareIso2022Jp(f.body);
    }
    const bool jis = jisBody && fitsIso2022Jp(f.subject) && fitsIso2022Jp(f.senderName);

    // A header that comes or goes would change the order of the others: a new message then.
    if (!m_fresh && (f.cc.isEmpty() != m_cc.isEmpty() || f.replyTo.isEmpty() != m_replyTo.isEmpty()))
        startOver();

    GDateTime *now = stamp ? localTime(stamp->second) : g_date_time_new_now(localZone());
    if (const qint64 second = g_date_time_to_unix(now); second != m_dateSecond) {
        g_mime_message_set_date(m_message, now);
        m_dateSecond = second;
    }
    g_date_time_unref(now);

    // Changing the kept mailbox updates its header in place, so the header order stays put.
    if (m_fresh || f.senderName != m_senderName || f.senderAddress != m_senderAddress || jis != m_senderJis) {
        const QByteArray name = displayName(f.senderName, jis);
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
        m_senderJis = jis;
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
    if ((m_fresh && !f.cc.isEmpty()) || f.cc != m_cc)
        setMailboxes(g_mime_message_get_cc(m_message), f.cc);
    m_cc = f.cc;
    if ((m_fresh && !f.replyTo.isEmpty()) || f.replyTo != m_replyTo)
        setMailboxes(g_mime_message_get_reply_to(m_message), f.replyTo);
    m_replyTo = f.replyTo;
    if (m_fresh || f.subject != m_subject || jis != m_subjectJis) {
        g_mime_message_set_subject(m_message, f.subject.toUtf8().constData(), "UTF-8");
        if (needsEncodedWords(f.subject)) {
            GMimeHeader *header = g_mime_header_list_get_header(
                g_mime_object_get_header_list(GMIME_OBJECT(m_message)), "Subject");
            g_mime_header_set_raw_value(header, subjectValue(f.subject, jis).constData());
        }
        m_subject = f.subject;
        m_subjectJis = jis;
    }
    m_fresh = false;
    g_mime_message_set_message_id(m_message,
                                  (stamp ? stamp->messageId : newMessageId(f.senderAddress)).constData());

    GMimeObject *body = htmlBody.get();
    if (!body) {
        g_mime_text_part_set_charset(m_text, jis ? "ISO-2022-JP" : "UTF-8");
        setTextContent(m_text, jis ? *jisBody : prepareBody(f.body));
        body = GMIME_OBJECT(m_text);
    }
    if (attachments.empty()) {
        if (g_mime_message_get_mime_part(m_message) != body)
            g_mime_message_set_mime_part(m_message, body);
    } else {
        GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
        if (stamp)
            g_mime_multipart_set_boundary(mixed.get(), stamp->boundary.constData());
        g_mime_multipart_add(mixed.get(), body);
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
