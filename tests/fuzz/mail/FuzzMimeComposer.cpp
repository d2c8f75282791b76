// Messages composed from any sender, recipient and subject that SendMail accepts, read back with
// GMime: exactly the intended From, To, Cc and Subject (in UTF-8 or ISO-2022-JP), and no header
// that was not meant. One kept
// composer serves every input, as in a send run, and some inputs fail first on an attachment
// that cannot be read, so that state left by one message would show in another. A mail session's
// composer must write the very same bytes.
#include "FuzzInput.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailComposer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/MailText.h"
#include "platform/mail/MimeComposer.h"
#include "platform/mail/MimeParts.h"

#include <QDir>
#include <QFile>
#include <QSet>

#undef signals
#include <gmime/gmime.h>

#include <cstdio>
#include <cstdlib>

namespace
{

[[noreturn]] void fail(const char *what, const QString &expected, const QString &got)
{
    std::fprintf(stderr, "%s\n  expected: [%s]\n  got:      [%s]\n", what, expected.toUtf8().constData(),
                 got.toUtf8().constData());
    std::abort();
}

QString attachmentPath()
{
    static const QString path = [] {
        const QString p = QDir::tempPath() + QStringLiteral("/velmora-fuzz-=?UTF-8?Q?x?=.txt");
        QFile f(p);
        if (f.open(QIODevice::WriteOnly))
            f.write("attached\n");
        return p;
    }();
    return path;
}

// White space at either end of a header value or a display name is not part of it for readers.
QString trimmed(QString t)
{
    while (!t.isEmpty() && (t.front() == u' ' || t.front() == u'\t'))
        t.remove(0, 1);
    while (!t.isEmpty() && (t.back() == u' ' || t.back() == u'\t'))
        t.chop(1);
    return t;
}

// A display name is a phrase: words apart, the white space between them, folded or not, one space
// for readers.
QString phrase(const QString &name)
{
    QString out;
    bool space = false;
    for (const QChar c : trimmed(name)) {
        if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
            space = true;
            continue;
        }
        if (space)
            out += u' ';
        space = false;
        out += c;
    }
    return out;
}

// The one mailbox of `list`: its address and decoded name.
void expectOneMailbox(const char *field, InternetAddressList *list, const QString &address,
                      const QString *name, const QString &fromWords = {})
{
    if (!list || internet_address_list_length(list) != 1)
        fail(field, QStringLiteral("one address"),
             QString::number(list ? internet_address_list_length(list) : 0));
    InternetAddress *a = internet_address_list_get_address(list, 0);
    if (!INTERNET_ADDRESS_IS_MAILBOX(a))
        fail(field, address, QStringLiteral("(group)"));
    // GMime gives ACE domains back in Unicode; its IDN form is what travels.
    const QString got = QString::fromUtf8(internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(a)));
    if (got != address)
        fail(field, address, got);
    if (name) {
        const QString gotName = QString::fromUtf8(internet_address_get_name(a));
        // GMime's reader loses the words after a base64 one with padding (see decodedWords).
        if (phrase(gotName) != phrase(*name) && phrase(fromWords) != phrase(*name))
            fail("From name", *name, gotName);
    }
}

// A header value as RFC 2047 reads it, each encoded word decoded on its own: GMime 3.2's decoder
// loses the rest of a run of adjacent encoded words after one that ends in base64 padding.
QString decodedWords(QByteArray raw)
{
    raw.replace("\r\n", "\n");
    raw.replace("\n ", " ");
    raw.replace("\n\t", "\t");
    raw.replace("\n", "");
    if (raw.startsWith(' '))
        raw.remove(0, 1);
    QString out;
    bool afterWord = false;
    qsizetype at = 0;
    while (at < raw.size()) {
        const qsizetype start = raw.indexOf("=?", at);
        const qsizetype end =
            start < 0 ? -1 : raw.indexOf("?=", raw.indexOf('?', raw.indexOf('?', start + 2) + 1) + 1);
        const QByteArray plain = raw.mid(at, (start < 0 || end < 0 ? raw.size() : start) - at);
        if (start < 0 || end < 0) {
            out += QString::fromUtf8(plain);
            break;
        }
        // white space between two encoded words is not part of the text
        if (!(afterWord && plain.trimmed().isEmpty()))
            out += QString::fromUtf8(plain);
        char *word = g_mime_utils_header_decode_text(nullptr, raw.mid(start, end + 2 - start).constData());
        out += QString::fromUtf8(word);
        g_free(word);
        afterWord = true;
        at = end + 2;
    }
    return out;
}

QByteArray rawHeader(GMimeMessage *message, const char *name)
{
    GMimeHeader *header =
        g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(message)), name);
    return header ? QByteArray(g_mime_header_get_raw_value(header)) : QByteArray();
}

void check(const QByteArray &bytes, const MessageFields &f)
{
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const bool last = i + 1 == lines.size(); // what follows the last line end
        const QByteArray &line = lines[i];
        const QByteArray text = !last && line.endsWith('\r') ? line.chopped(1) : line;
        if (text.size() > 998 || text.contains('\r') || (!last && !line.endsWith('\r')))
            fail("line", QStringLiteral("CR LF lines of at most 998"), QString::fromLatin1(line.left(80)));
    }
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    g_object_unref(stream);
    if (!message)
        fail("parse", QStringLiteral("a message"), QStringLiteral("nothing"));

    static const QSet<QString> allowed = {
        "date",       "from",         "to",           "subject",
        "message-id", "mime-version", "content-type", "content-transfer-encoding",
        "cc"};
    QSet<QString> seen;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    for (int i = 0; i < g_mime_header_list_get_count(headers); ++i) {
        const QString name =
            QString::fromLatin1(g_mime_header_get_name(g_mime_header_list_get_header_at(headers, i)))
                .toLower();
        if (!allowed.contains(name) || seen.contains(name))
            fail("header", QStringLiteral("each known header once"), name);
        seen += name;
    }
    const QByteArray from = rawHeader(message, "From");
    expectOneMailbox("From", g_mime_message_get_from(message), f.senderAddress, &f.senderName,
                     decodedWords(from.left(from.lastIndexOf('<'))));
    expectOneMailbox("To", g_mime_message_get_to(message), f.recipientAddress, nullptr);
    if (!f.cc.isEmpty())
        expectOneMailbox("Cc", g_mime_message_get_cc(message), f.cc.front(), nullptr);
    const QString subject = trimmed(decodedWords(rawHeader(message, "Subject")));
    if (subject != trimmed(f.subject))
        fail("Subject", trimmed(f.subject), subject);
    g_object_unref(message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MimeComposer composer;
    FuzzInput in(data, size);
    const uint8_t flags = in.byte();
    const MailSender from = parseSender(in.next());
    const MailRecipient to = parseRecipients(u'<' + in.next() + u'>');
    const QString subject = in.next();
    const QString body = in.next();
    if (!from.error.isEmpty() || !to.error.isEmpty() || !checkSubject(subject).isEmpty())
        return 0;

    MessageFields f{from.name, from.address, to.address, subject, body, (flags & 1) != 0, {}};
    // An HTML body's local images must exist; that the composer refuses a missing one is tested
    // elsewhere.
    if (f.html && !localImagesOf(body, QString()).isEmpty())
        return 0;
    f.iso2022jp = (flags & 8) != 0;
    if (flags & 16)
        f.cc = {QStringLiteral("copy@example.com")};
    if (flags & 2) {
        MessageFields broken = f;
        broken.recipientAddress = QStringLiteral("earlier@example.com");
        broken.attachments = {QDir::tempPath() + QStringLiteral("/velmora-fuzz-missing/none")};
        if (composer.compose(broken).error.isEmpty())
            std::abort();
    }
    if (flags & 4)
        f.attachments = {attachmentPath()};
    const BuiltMessage m = composer.compose(f);
    if (!m.error.isEmpty())
        fail("compose", QString(), m.error);
    check(m.bytes, f);

    const mime::TextBody onePass = mime::prepareBody(body), viaUtf8 = mime::prepareUtf8(body.toUtf8());
    if (onePass.content != viaUtf8.content || onePass.encoding != viaUtf8.encoding)
        fail("body", QString::fromUtf8(viaUtf8.content), QString::fromUtf8(onePass.content));
    // Compared with a kept composer that no failure has started over: one that has writes its
    // MIME-Version header first.
    static MimeComposer reference;
    static const MessageStamp stamp{1700000000, "fuzz.1@example.com", "=-FuzzBoundary012345678"};
    QString error;
    const std::unique_ptr<MailComposer> session =
        MailComposer::create(f.senderName, f.senderAddress, f.attachments, &error);
    if (!session)
        fail("session composer", QString(), error);
    // A subject changed from the last mail's, then kept from it.
    MailContent earlier;
    earlier.subject = QStringLiteral("earlier");
    session->compose(earlier, QStringLiteral("earlier@example.com"), {}, &stamp);
    MailContent mail;
    mail.subject = f.subject;
    mail.body = f.body;
    mail.html = f.html;
    mail.cc = f.cc;
    for (int round = 0; round < 2; ++round) {
        const QByteArray expected = reference.compose(f, &stamp).bytes;
        const QByteArray got = session->compose(mail, f.recipientAddress, {f.iso2022jp, {}}, &stamp).bytes;
        if (got != expected)
            fail("session composer", QString::fromUtf8(expected), QString::fromUtf8(got));
    }
    return 0;
}
