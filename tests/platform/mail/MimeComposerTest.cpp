#include "platform/mail/MimeComposer.h"
#include "TestEnvironment.h"
#include "platform/mail/MailComposer.h"
#include "platform/mail/MimeParts.h"

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
                            const BuiltMessage got = fast->compose(to, subject, body, html, &stamp);
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
