#include "platform/mail/MimeComposer.h"
#include "TestEnvironment.h"
#include "platform/mail/MailComposer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/MailText.h"
#include "platform/mail/MimeParts.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>

#undef signals
#include <gmime/gmime.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace
{

std::string str(const QString &s)
{
    return s.toStdString();
}

// What a mail reader sees: the message parsed back with GMime.
struct ReadBack {
    QStringList from, to; // addresses
    QString fromName, subject;
    QStringList fileNames;
    int headers(const char *name) const { return int(headerNames.count(QString::fromLatin1(name))); }
    QStringList headerNames;
};

ReadBack readBack(const QByteArray &bytes)
{
    ReadBack r;
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size()));
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    g_object_unref(parser);
    g_object_unref(stream);
    if (!message)
        return r;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    for (int i = 0; i < g_mime_header_list_get_count(headers); ++i)
        r.headerNames +=
            QString::fromLatin1(g_mime_header_get_name(g_mime_header_list_get_header_at(headers, i)));
    auto addresses = [](InternetAddressList *list, QStringList *out, QString *name) {
        for (int i = 0; list && i < internet_address_list_length(list); ++i) {
            InternetAddress *a = internet_address_list_get_address(list, i);
            if (!INTERNET_ADDRESS_IS_MAILBOX(a)) {
                *out += QStringLiteral("(group)");
                continue;
            }
            *out += QString::fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a)));
            if (name && internet_address_get_name(a))
                *name = QString::fromUtf8(internet_address_get_name(a));
        }
    };
    addresses(g_mime_message_get_from(message), &r.from, &r.fromName);
    addresses(g_mime_message_get_to(message), &r.to, nullptr);
    r.subject = QString::fromUtf8(g_mime_message_get_subject(message));
    GMimeObject *body = g_mime_message_get_mime_part(message);
    if (GMIME_IS_MULTIPART(body)) {
        for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(body)); ++i) {
            GMimeObject *part = g_mime_multipart_get_part(GMIME_MULTIPART(body), i);
            if (GMIME_IS_PART(part) && g_mime_part_get_filename(GMIME_PART(part)))
                r.fileNames += QString::fromUtf8(g_mime_part_get_filename(GMIME_PART(part)));
        }
    }
    g_object_unref(message);
    return r;
}

MessageFields fields(const QString &to, const QStringList &attachments = {})
{
    return {QStringLiteral("営業部"),
            QStringLiteral("info@example.com"),
            to,
            QStringLiteral("件名"),
            QStringLiteral("本文"),
            false,
            attachments};
}

// A path that exists but cannot be opened for reading, whoever runs the test (root included).
class SocketFile
{
  public:
    explicit SocketFile(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path - 1);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~SocketFile() { ::close(m_fd); }
    bool bound() const { return m_bound; }

  private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
};

TEST(MimeComposer, AFailedMessageLeavesNothingForTheNext)
{
    ScratchDir dir;
    SocketFile socket(dir.path("socket"));
    ASSERT_TRUE(socket.bound());
    ASSERT_EQ(::mkfifo(dir.path("fifo").toLocal8Bit().constData(), 0600), 0);
    const QString good = dir.write("good.txt", "attached");
    const QString unreadable[] = {dir.path("socket"), dir.path("fifo"), dir.root()};

    for (const QString &bad : unreadable) {
        // The failure comes first, in a new composer, and again after a good message.
        MimeComposer composer;
        BuiltMessage m = composer.compose(fields("first@example.com", {good, bad}));
        EXPECT_FALSE(m.error.isEmpty()) << str(bad);
        EXPECT_TRUE(m.bytes.isEmpty());
        m = composer.compose(fields("second@example.com"));
        ASSERT_EQ(str(m.error), "");
        ReadBack r = readBack(m.bytes);
        EXPECT_EQ(str(r.from.join(", ")), "info@example.com") << str(bad);
        EXPECT_EQ(str(r.to.join(", ")), "second@example.com") << str(bad);
        EXPECT_EQ(r.headers("From"), 1);
        EXPECT_EQ(r.headers("To"), 1);

        m = composer.compose(fields("third@example.com", {bad}));
        EXPECT_FALSE(m.error.isEmpty());
        m = composer.compose(fields("fourth@example.com", {good}));
        ASSERT_EQ(str(m.error), "");
        r = readBack(m.bytes);
        EXPECT_EQ(str(r.to.join(", ")), "fourth@example.com") << str(bad);
        EXPECT_EQ(r.headers("From") + r.headers("To") + r.headers("Subject"), 3);
        EXPECT_EQ(str(r.fileNames.join(", ")), "good.txt");
    }
}

TEST(MimeComposer, TextThatLooksEncodedReadsBackUnchanged)
{
    ScratchDir dir;
    const QString lookalike = QStringLiteral("=?utf-8?q?Evil?=");
    const QString longName =
        QStringLiteral("見積書 ") + lookalike + QString(80, u'x') + QStringLiteral(" 第2版.pdf");
    const QString files[] = {dir.write(lookalike + ".txt", "a"), dir.write(longName, "b")};
    MessageFields f = fields("taro@example.com", {files[0], files[1]});
    f.senderName = lookalike + QStringLiteral(" 営業部");
    f.subject = QStringLiteral("ご案内 ") + lookalike + QStringLiteral(" ") + QString(40, u'長');

    MimeComposer composer;
    for (int round = 0; round < 2; ++round) { // also when the kept message changes nothing
        const BuiltMessage m = composer.compose(f);
        ASSERT_EQ(str(m.error), "");
        const ReadBack r = readBack(m.bytes);
        EXPECT_EQ(str(r.subject), str(f.subject));
        EXPECT_EQ(str(r.fromName), str(f.senderName));
        EXPECT_EQ(str(r.fileNames.join(u'/')), str(lookalike + ".txt/" + longName));
        for (const QByteArray &line : m.bytes.split('\n'))
            EXPECT_LE(line.size(), 998);
    }
    // specials beside text outside ASCII; a last "=" that GMime's own encoding lost
    for (const QString &name : {QStringLiteral("山田 \"太郎\" <営業>, 本社 (東京) info@example.com;"),
                                QStringLiteral("q?utf-8?q?Evil?\uFFFD=")}) {
        f.senderName = name;
        EXPECT_EQ(str(readBack(composer.compose(f).bytes).fromName), str(f.senderName));
    }

    f.subject = QStringLiteral("plain");
    f.senderName = QStringLiteral("営業部");
    const ReadBack r = readBack(composer.compose(f).bytes);
    EXPECT_EQ(str(r.subject), "plain");
    EXPECT_EQ(str(r.fromName), "営業部");
}

} // namespace

namespace
{

// The session's composer writes byte for byte what GMime's object model writes for the same
// fields: headers folded alike, every transfer encoding, attachments, and the line that ends the
// message or the part.
TEST(MailComposer, WritesTheBytesOfTheGMimeComposer)
{
    ScratchDir dir;
    QByteArray binary;
    for (int i = 0; i < 3000; ++i)
        binary += char(i * 13 % 256);
    const QString pdf = dir.write(QStringLiteral("請求書 =?utf-8?q?x?= 2024年度.pdf"), binary);
    const QString text = dir.write(QStringLiteral("readme.txt"), "line\n.dot\r\nno end");
    const QString senders[][2] = {{QStringLiteral("株式会社ベルモラ商事 営業部"), "sales@example.com"},
                                  {"", "a@xn--r8jz45g.jp"},
                                  {QStringLiteral("山田 \"太郎\" <営業>, 本社"), "info@example.com"}};
    const QString recipients[] = {"taro@example.com",
                                  "\"john doe\"@example.com",
                                  QString(80, u'x') + "@example.com",
                                  QStringLiteral("たろう@xn--r8jz45g.jp"),
                                  "Postmaster",
                                  "o'brien+tag@example.com"};
    const QString subjects[] = {
        QStringLiteral("【ご案内】山田 太郎様 第3回 製品説明会のお知らせ") + QString(30, u'長'), "plain", "",
        QStringLiteral("件名 =?utf-8?q?=E5=81=BD?="), QString(200, u'a')};
    const QString bodies[] = {
        "", "abc", "abc\r\n", QStringLiteral("本文です\r\n.dot\r\n"), QString(1500, u'a') + "  \r\nx",
        QStringLiteral("Grüße aus Köln\r\n") + QString(300, u'b'),
        QStringLiteral("ctrl \x01 and ") + QChar(0) + "\r\n", QString(57, u'x') + QChar(0x3042),
        // base64 of one line exactly, of two lines less two bytes and less one
        "\x01" + QString(56, u'a'), "\x01" + QString(111, u'a'), "\x01" + QString(112, u'a')};
    const QStringList attachmentLists[] = {{}, {pdf}, {pdf, text}};

    const MessageStamp stamp{1700000000, "fixed.1@example.com", "=-FixedBoundary0123456"};
    int compared = 0;
    for (const QStringList &attachments : attachmentLists) {
        for (const auto &sender : senders) {
            QString error;
            std::unique_ptr<MailComposer> fast =
                MailComposer::create(sender[0], sender[1], attachments, &error);
            ASSERT_TRUE(fast) << str(error);
            MimeComposer reference;
            for (const QString &to : recipients)
                for (const QString &subject : subjects)
                    for (const QString &body : bodies)
                        for (const bool html : {false, true}) {
                            const MessageFields f{sender[0], sender[1], to, subject, body, html, attachments};
                            const BuiltMessage expected = reference.compose(f, &stamp);
                            ASSERT_EQ(str(expected.error), "");
                            MailContent mail;
                            mail.subject = subject;
                            mail.body = body;
                            mail.html = html;
                            const BuiltMessage got = fast->compose(mail, to, {}, &stamp);
                            ASSERT_EQ(got.bytes.toStdString(), expected.bytes.toStdString())
                                << str(to) << " | " << str(subject) << " | " << str(body);
                            ++compared;
                        }
        }
    }
    EXPECT_GT(compared, 1000);

    // The body goes from UTF-16 to its wire form in one pass; Qt's UTF-8 is the reference.
    const QString awkward[] = {QStringLiteral("😀 絵文字\r\r\n\n") + QChar(0xd800) + u'x',
                               QString(QChar(0xdc00)) + "\r",
                               QStringLiteral("é\x7f\t"),
                               QString(999, u'a') + "\n",
                               QString(998, u'a'),
                               QStringLiteral("\u0800\u07ff\uffff")};
    for (const QString &body : awkward) {
        const mime::TextBody fast = mime::prepareBody(body), slow = mime::prepareUtf8(body.toUtf8());
        EXPECT_EQ(fast.content.toStdString(), slow.content.toStdString()) << str(body);
        EXPECT_EQ(fast.encoding, slow.encoding) << str(body);
    }

    QString error;
    EXPECT_FALSE(MailComposer::create("", "a@example.com", {dir.path("missing.pdf")}, &error));
    EXPECT_TRUE(error.contains("missing.pdf")) << str(error);
}

} // namespace

namespace
{

// What Python's mail reader (policy=default) makes of a message, as JSON.
QJsonObject pythonReads(const QByteArray &bytes)
{
    static const char script[] = R"py(
import sys, json, re, email
from email import policy
from email.header import decode_header, make_header
m = email.message_from_bytes(sys.stdin.buffer.read(), policy=policy.default)
def tree(p):
    if p.is_multipart():
        return p.get_content_type() + '[' + ','.join(tree(c) for c in p.iter_parts()) + ']'
    return p.get_content_type()
def addresses(name):
    return [a.addr_spec for a in m[name].addresses] if m[name] else []
parts = []
for p in m.walk():
    if p.is_multipart():
        continue
    raw = ' '.join(re.sub(r'\r?\n[ \t]', ' ', v) for k, v in p.raw_items() if k.lower() == 'content-type')
    name = re.search(r'name="([^"]*)"', raw)
    parts.append({'type': p.get_content_type(), 'charset': p.get_content_charset() or '',
                  'cte': p.get('Content-Transfer-Encoding', ''), 'filename': p.get_filename() or '',
                  'typeName': str(make_header(decode_header(name.group(1)))) if name else '',
                  'cid': p.get('Content-ID', ''),
                  'text': p.get_content().replace('\r\n', '\n') if p.get_content_maintype() == 'text' else ''})
print(json.dumps({'subject': str(m['subject']), 'fromName': m['from'].addresses[0].display_name,
                  'to': addresses('to'), 'cc': addresses('cc'), 'replyTo': addresses('reply-to'),
                  'tree': tree(m), 'parts': parts, 'defects': len(m.defects)}))
)py";
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(script)});
    python.write(bytes);
    python.closeWriteChannel();
    python.waitForFinished(30000);
    const QByteArray out = python.readAllStandardOutput();
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return QJsonDocument::fromJson(out).object();
}

QStringList strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &s : v.toArray())
        out += s.toString();
    return out;
}

// Every RFC 2047 word of the message's headers (all parts) is at most 75 characters.
void expectShortWords(const QByteArray &bytes)
{
    static const QRegularExpression word(QStringLiteral(R"(=\?[^?\s]+\?[BbQq]\?[^?\s]*\?=)"));
    int words = 0;
    for (const QRegularExpressionMatch &m : word.globalMatch(QString::fromLatin1(bytes))) {
        EXPECT_LE(m.capturedLength(), 75) << str(m.captured());
        ++words;
    }
    EXPECT_GT(words, 0);
}

// The sender's name as GMime reads it, and as Python does but for spaces: Python 3.11 keeps the
// white space between adjacent encoded words of a display name, which RFC 2047 (6.2) ignores.
void expectDisplayName(const QByteArray &bytes, const QJsonObject &python, const QString &name)
{
    EXPECT_EQ(str(readBack(bytes).fromName), str(name));
    EXPECT_EQ(str(python["fromName"].toString().remove(u' ')), str(QString(name).remove(u' ')));
}

std::unique_ptr<MailComposer> sessionComposer(const QString &name, const QStringList &attachments = {})
{
    QString error;
    std::unique_ptr<MailComposer> c = MailComposer::create(name, "info@example.com", attachments, &error);
    EXPECT_TRUE(c) << str(error);
    return c;
}

// Copies, replies, the mail's own files after the session's, and texts too long for one encoded
// word, as a reader other than GMime sees them.
TEST(MailComposer, CopiesRepliesAndOwnFilesAsReadersSeeThem)
{
    ScratchDir dir;
    const QString common = dir.write(QStringLiteral("会社案内.pdf"), "%PDF-1.4 common");
    const QString ownName =
        QStringLiteral("請求書_山田様_2024年度第3四半期分のご請求明細（再発行） 控え.pdf");
    const QString own = dir.write(ownName, "%PDF-1.4 own");
    const QString senderName =
        QStringLiteral("株式会社ベルモラ商事 東日本営業本部 第二営業部 法人営業課 担当 山田");
    const std::unique_ptr<MailComposer> composer = sessionComposer(senderName, {common});

    MailContent mail;
    mail.subject = QStringLiteral("【重要】 ") + QString(95, QChar(0x8acb)) + QStringLiteral("  末尾 A B");
    mail.body = QStringLiteral("本文\r\n");
    mail.cc = {QStringLiteral("<cc1@example.com>"), QStringLiteral("cc2@example.org")};
    mail.bcc = {QStringLiteral("hidden@example.net")};
    mail.replyTo = {QStringLiteral("reply@example.com")};
    mail.attachments = {own};
    for (const bool iso : {false, true}) {
        const BuiltMessage m = composer->compose(mail, "taro@example.com", {iso, {}});
        ASSERT_EQ(str(m.error), "");
        EXPECT_FALSE(m.bytes.contains("hidden")) << "a blind copy shows";
        const QJsonObject r = pythonReads(m.bytes);
        EXPECT_EQ(str(r["subject"].toString()), str(mail.subject));
        expectDisplayName(m.bytes, r, senderName);
        EXPECT_EQ(str(strings(r["cc"]).join(u' ')), "cc1@example.com cc2@example.org");
        EXPECT_EQ(str(strings(r["replyTo"]).join(u' ')), "reply@example.com");
        EXPECT_EQ(str(r["tree"].toString()), "multipart/mixed[text/plain,application/pdf,application/pdf]");
        const QJsonArray parts = r["parts"].toArray();
        ASSERT_EQ(parts.size(), 3);
        EXPECT_EQ(str(parts[1].toObject()["filename"].toString()), "会社案内.pdf");
        EXPECT_EQ(str(parts[2].toObject()["filename"].toString()), str(ownName));
        EXPECT_EQ(str(parts[2].toObject()["typeName"].toString()), str(ownName));
        EXPECT_EQ(parts[0].toObject()["charset"].toString(), iso ? "iso-2022-jp" : "utf-8");
        expectShortWords(m.bytes);
        EXPECT_EQ(str(readBack(m.bytes).fileNames.join(u'/')),
                  str(QStringLiteral("会社案内.pdf/") + ownName));
    }
    // The same bytes as GMime's object model writes for these fields.
    const MessageStamp stamp{1700000000, "fixed.2@example.com", "=-FixedBoundary0123456"};
    QString error;
    const MessageFields f = composer->fieldsOf(mail, "taro@example.com", {}, &error);
    EXPECT_EQ(composer->compose(mail, "taro@example.com", {}, &stamp).bytes.toStdString(),
              MimeComposer().compose(f, &stamp).bytes.toStdString());
    // Also from a kept message whose copies and replies come, change and go.
    MimeComposer kept;
    const QStringList copies[] = {
        {"a@example.com"}, {"b@example.com", "c@example.com"}, {}, {"d@example.com"}};
    for (int i = 0; i < 9; ++i) {
        MailContent variant = mail;
        variant.cc = copies[i % 4];
        variant.replyTo = i % 3 == 0 ? QStringList() : QStringList{"r@example.com"};
        const MessageFields vf = composer->fieldsOf(variant, "taro@example.com", {i % 2 == 1, {}}, &error);
        EXPECT_EQ(
            composer->compose(variant, "taro@example.com", {i % 2 == 1, {}}, &stamp).bytes.toStdString(),
            kept.compose(vf, &stamp).bytes.toStdString())
            << i;
    }

    mail.attachments = {dir.path(QStringLiteral("ない.pdf"))};
    EXPECT_TRUE(composer->compose(mail, "taro@example.com").error.contains(QStringLiteral("ない.pdf")));
    mail.attachments.clear();
    mail.cc = {QStringLiteral("not an address")};
    EXPECT_FALSE(composer->compose(mail, "taro@example.com").error.isEmpty());
}

// An HTML body goes with a text version, its local images inline; the usual nesting with
// attachments. Both composers write the same bytes for it.
TEST(MailComposer, HtmlWithTextVersionAndInlineImages)
{
    ScratchDir dir;
    QDir().mkpath(dir.path("body/img"));
    const QString logo = dir.write("body/img/logo.png", "\x89PNG logo");
    const QString photo = dir.write(QStringLiteral("写真.png"), "\x89PNG photo");
    const QString map = dir.write("map.gif", "GIF89a");
    const QString attached = dir.write("price.csv", "a,b\n");
    const QString html =
        QStringLiteral("<html><head><title>件名</title><style>p{color:red}</style><script>var "
                       "x='<p>no</p>';</script></head>"
                       "<body><h1>ご案内</h1><p>山田&nbsp;様&amp;各位 &lt;&#x5B9B;&gt;<br>次の行</p>"
                       "<div>詳しくは<a href=\"https://example.com/a?b=1&amp;c=2\">こちら</a></div>"
                       "<ul><li>一</li><li>二</li></ul><!-- <img src=\"hidden.png\"> -->"
                       "<img src=\"img/logo.png\"><img src='img/logo.png'><img src=\"%1\">"
                       "<img src=\"%2\"><img src=\"https://example.com/r.png\"><img src=\"cid:x@y\">"
                       "<img src=\"data:image/png;base64,AAAA\"></body></html>")
            .arg(photo, QUrl::fromLocalFile(map).toString());
    EXPECT_EQ(str(localImagesOf(html, dir.path("body")).join(u'|')),
              str(QStringList{logo, photo, map}.join(u'|')));

    MailContent mail;
    mail.subject = QStringLiteral("HTML");
    mail.body = html;
    mail.html = true;
    const MailTextOptions options{true, dir.path("body")}; // ISO-2022-JP is for plain text only
    const MessageStamp stamp{1700000000, "fixed.3@example.com", "=-FixedBoundary0123456"};
    for (const bool withAttachment : {false, true}) {
        const std::unique_ptr<MailComposer> composer =
            sessionComposer("", withAttachment ? QStringList{attached} : QStringList{});
        const BuiltMessage m = composer->compose(mail, "taro@example.com", options);
        ASSERT_EQ(str(m.error), "");
        const QJsonObject r = pythonReads(m.bytes);
        const QString inner =
            "multipart/alternative[text/plain,multipart/related[text/html,image/png,image/png,"
            "image/gif]]";
        EXPECT_EQ(str(r["tree"].toString()),
                  str(withAttachment ? "multipart/mixed[" + inner + ",text/csv]" : inner));
        EXPECT_EQ(r["defects"].toInt(), 0);
        const QJsonArray parts = r["parts"].toArray();
        ASSERT_GE(parts.size(), 5);
        EXPECT_EQ(
            str(parts[0].toObject()["text"].toString()),
            "ご案内\n山田 様&各位 <宛>\n次の行\n詳しくはこちら (https://example.com/a?b=1&c=2)\n一\n二");
        EXPECT_EQ(str(parts[1].toObject()["charset"].toString()), "utf-8");
        const QString shown = parts[1].toObject()["text"].toString();
        EXPECT_EQ(shown.count(QStringLiteral("src=\"cid:")) + shown.count(QStringLiteral("src='cid:")), 5);
        for (const char *remote : {"https://example.com/r.png", "cid:x@y", "data:image/png;base64,AAAA"})
            EXPECT_TRUE(shown.contains(QLatin1String(remote))) << remote;
        for (int i = 2; i < 5; ++i) {
            QString id = parts[i].toObject()["cid"].toString();
            EXPECT_TRUE(id.startsWith(u'<') && id.endsWith(u'>')) << str(id);
            id = id.mid(1, id.size() - 2);
            EXPECT_TRUE(shown.contains("\"cid:" + id + "\"") || shown.contains("'cid:" + id + "'"))
                << str(id);
        }
        EXPECT_EQ(str(parts[3].toObject()["filename"].toString()), "写真.png");

        QString error;
        const MessageFields f = composer->fieldsOf(mail, "taro@example.com", options, &error);
        EXPECT_EQ(composer->compose(mail, "taro@example.com", options, &stamp).bytes.toStdString(),
                  MimeComposer().compose(f, &stamp).bytes.toStdString());
    }

    mail.plainText = QStringLiteral("自分で書いた\r\nテキスト");
    const QJsonObject r = pythonReads(sessionComposer("")->compose(mail, "taro@example.com", options).bytes);
    EXPECT_EQ(str(r["parts"].toArray()[0].toObject()["text"].toString()), "自分で書いた\nテキスト");
    mail.body = "<p><img src=\"gone.png\"></p>";
    const BuiltMessage missing = sessionComposer("")->compose(mail, "taro@example.com", options);
    EXPECT_TRUE(missing.error.contains(QStringLiteral("gone.png"))) << str(missing.error);
}

// ISO-2022-JP where every text fits it: readers (Python's codec, glibc's iconv) get the text back;
// otherwise UTF-8, for the whole mail.
TEST(MailComposer, Iso2022JpWhenEveryTextFits)
{
    const QString sender = QStringLiteral("ベルモラ商事 営業部 お客様相談窓口 担当 山田 太郎");
    const std::unique_ptr<MailComposer> composer = sessionComposer(sender);
    MailContent mail;
    mail.subject = QStringLiteral("【ご案内】 第3回 製品説明会のお知らせ ") + QString(40, QChar(0x8aac)) +
                   QStringLiteral(" (ABC) 渡邉");
    mail.body = QStringLiteral("山田 太郎 様\r\n\r\nいつもお世話になっております。\r\nABC 123 「」\r\n");
    const BuiltMessage m = composer->compose(mail, "taro@example.com", {true, {}});
    ASSERT_EQ(str(m.error), "");
    EXPECT_TRUE(m.bytes.contains("Content-Type: text/plain; charset=ISO-2022-JP\r\n"
                                 "Content-Transfer-Encoding: 7bit\r\n"));
    const QJsonObject r = pythonReads(m.bytes);
    EXPECT_EQ(str(r["subject"].toString()), str(mail.subject));
    expectDisplayName(m.bytes, r, sender);
    EXPECT_EQ(str(r["parts"].toArray()[0].toObject()["text"].toString()),
              str(QString(mail.body).replace("\r\n", "\n")));
    expectShortWords(m.bytes);
    // Each encoded word is ISO-2022-JP of its own, back in ASCII at its end.
    static const QRegularExpression word(QStringLiteral(R"(=\?ISO-2022-JP\?B\?([^?]*)\?=)"));
    int words = 0;
    for (const QRegularExpressionMatch &w : word.globalMatch(QString::fromLatin1(m.bytes))) {
        const QByteArray jis = QByteArray::fromBase64(w.captured(1).toLatin1());
        EXPECT_TRUE(jis.lastIndexOf("\x1b$B") < 0 || jis.lastIndexOf("\x1b(B") > jis.lastIndexOf("\x1b$B"));
        ++words;
    }
    EXPECT_GT(words, 4);
    QProcess iconv;
    iconv.start(QStringLiteral("iconv"), {QStringLiteral("-f"), QStringLiteral("ISO-2022-JP"),
                                          QStringLiteral("-t"), QStringLiteral("UTF-8")});
    iconv.write(m.bytes.mid(m.bytes.indexOf("\r\n\r\n") + 4));
    iconv.closeWriteChannel();
    ASSERT_TRUE(iconv.waitForFinished(10000));
    EXPECT_EQ(iconv.exitCode(), 0);
    EXPECT_EQ(str(QString::fromUtf8(iconv.readAllStandardOutput())), str(mail.body));

    EXPECT_TRUE(fitsIso2022Jp(mail.subject + mail.body + sender));
    // Outside JIS X 0208, or mapped differently by the common converters: UTF-8 throughout.
    for (const QString &odd :
         {QStringLiteral("髙橋"), QStringLiteral("①"), QStringLiteral("😀"), QStringLiteral("ｶﾀｶﾅ"),
          QStringLiteral("～"), QStringLiteral("〜"), QStringLiteral("¥100"), QStringLiteral("㈱")}) {
        EXPECT_FALSE(fitsIso2022Jp(odd)) << str(odd);
        for (const int where : {0, 1}) {
            MailContent other = mail;
            (where == 0 ? other.subject : other.body) += odd;
            const BuiltMessage u = composer->compose(other, "taro@example.com", {true, {}});
            EXPECT_FALSE(u.bytes.contains("ISO-2022-JP")) << str(odd);
            const QJsonObject back = pythonReads(u.bytes);
            EXPECT_EQ(str(back["subject"].toString()), str(other.subject));
            EXPECT_EQ(str(back["parts"].toArray()[0].toObject()["text"].toString()),
                      str(QString(other.body).replace("\r\n", "\n")));
        }
    }
    const QString oddSender = sender + QStringLiteral("①");
    const BuiltMessage u = sessionComposer(oddSender)->compose(mail, "taro@example.com", {true, {}});
    EXPECT_FALSE(u.bytes.contains("ISO-2022-JP"));
    expectDisplayName(u.bytes, pythonReads(u.bytes), oddSender);
}

} // namespace
