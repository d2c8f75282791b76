#include "MailTestSupport.h"
#include "TestEnvironment.h"

namespace
{

using Safety = MailServerTest;

const QString Injection = QStringLiteral("x\r\nBcc: spy@example.com");

void expectNoSpy(TestSmtpServer *server, int message)
{
    const QJsonObject envelope = server->envelope(message);
    EXPECT_EQ(envelope.value("rcpt_tos").toArray(), QJsonArray{"taro@example.com"});
    const QJsonObject d = decodeMessage(server->messagePath(message));
    EXPECT_TRUE(headerValues(d, "Bcc").isEmpty());
    EXPECT_TRUE(headerValues(d, "Cc").isEmpty());
    EXPECT_EQ(headerValues(d, "To"), QStringList{"taro@example.com"});
    EXPECT_EQ(d.value("from").toArray().size(), 1);
}

TEST_F(Safety, LineBreaksInHeaderFieldsAndAddressesSendNothing)
{
    const QString hostPort = server->hostPort();
    struct Case {
        const char *what;
        QString server, recipients, sender, subject;
    };
    const Case cases[] = {
        {"subject", hostPort, recipientsFor("taro@example.com"), Sender, Injection},
        {"subject LF", hostPort, recipientsFor("taro@example.com"), Sender, "x\nBcc: spy@example.com"},
        {"sender name", hostPort, recipientsFor("taro@example.com"), Injection + " <info@example.com>", "s"},
        {"sender address", hostPort, recipientsFor("taro@example.com"),
         "Info <info@example.com" + Injection + ">", "s"},
        {"address", hostPort, recipientsFor(Injection), Sender, "s"},
        {"address CR LF at end", hostPort, recipientsFor("taro@example.com") + "\r\nBcc: spy@example.com",
         Sender, "s"},
        {"address NUL", hostPort,
         recipientsFor(QStringLiteral("taro@example.com") + QChar(0) + "spy@example.com"), Sender, "s"},
        {"address TAB", hostPort, recipientsFor("taro@example.com>\t<spy@example.com"), Sender, "s"},
        {"address TAB inside", hostPort, recipientsFor("taro\t@example.com"), Sender, "s"},
        {"header element", hostPort, ">Bcc: spy@example.com\t<taro@example.com>", Sender, "s"},
        {"server", hostPort + Injection, recipientsFor("taro@example.com"), Sender, "s"},
    };
    for (const Case &c : cases) {
        const QString result =
            SendMail(c.server, c.recipients, c.sender, c.subject, QStringLiteral("本文"), {});
        EXPECT_FALSE(result.isEmpty()) << c.what << " was accepted";
    }
    EXPECT_EQ(server->connections(), 0) << "a refused call still talked to the server";
    EXPECT_EQ(server->messages(), 0);
}

TEST_F(Safety, HeaderLookalikesInTheBodyStayInTheBody)
{
    const QString body =
        Injection + QStringLiteral("\r\n.\r\nMAIL FROM:<spy@example.com>\r\nRCPT TO:<spy@example.com>\r\n"
                                   "DATA\r\nSubject: forged\r\n\r\n.\r\n");
    ASSERT_EQ(str(send("taro@example.com", "s", body)), "");
    ASSERT_EQ(server->messages(), 1);
    expectNoSpy(server, 1);
    const QJsonObject d = decodeMessage(server->messagePath(1));
    EXPECT_EQ(str(d.value("parts").toArray().at(0).toObject().value("text").toString()), str(body));
    EXPECT_EQ(str(d.value("subject").toString()), "s");
}

TEST_F(Safety, TabInTheSubjectAndSpecialsInTheNameStayInTheirField)
{
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor("taro@example.com"),
                           "spy@example.com, Victim <info@example.com>", "x\tBcc: spy@example.com", "b", {})),
              "");
    ASSERT_EQ(server->messages(), 1);
    expectNoSpy(server, 1);
    const QJsonObject d = decodeMessage(server->messagePath(1));
    const QJsonObject from = d.value("from").toArray().at(0).toObject();
    EXPECT_EQ(str(from.value("name").toString()), "spy@example.com, Victim");
    EXPECT_EQ(str(from.value("address").toString()), "info@example.com");
    EXPECT_TRUE(d.value("subject").toString().contains("Bcc: spy@example.com"));
}

TEST_F(Safety, AttachmentNamesCannotAddHeaders)
{
    ScratchDir dir;
    const QString file = dir.write(QStringLiteral("a\r\nBcc: spy@example.com\r\n.txt"), "content");
    ASSERT_EQ(str(send("taro@example.com", "s", "b", file)), "");
    ASSERT_EQ(server->messages(), 1);
    expectNoSpy(server, 1);
    const QJsonObject d = decodeMessage(server->messagePath(1));
    const QString name = d.value("parts").toArray().at(1).toObject().value("filename").toString();
    EXPECT_FALSE(name.contains(u'\r') || name.contains(u'\n')) << str(name);
    EXPECT_TRUE(name.contains("Bcc: spy@example.com")) << str(name);

    EXPECT_FALSE(send("taro@example.com", "s", "b", Injection).isEmpty());
    EXPECT_EQ(server->messages(), 1);
}

TEST_F(Safety, EncodedWordLookalikesArriveLiterally)
{
    ScratchDir dir;
    const QString lookalike = QStringLiteral("=?utf-8?q?=E5=81=BD?=");
    const QString file = dir.write(lookalike + QStringLiteral(".txt"), "x");
    ASSERT_EQ(
        str(SendMail(server->hostPort(), recipientsFor("taro@example.com"), lookalike + " <info@example.com>",
                     QStringLiteral("件名 ") + lookalike, "b", file)),
        "");
    const QJsonObject d = decodeMessage(server->messagePath(1));
    EXPECT_TRUE(d.value("defects").toArray().isEmpty());
    EXPECT_TRUE(d.value("seven_bit").toBool());
    EXPECT_EQ(str(d.value("subject").toString()), str(QStringLiteral("件名 ") + lookalike));
    EXPECT_EQ(str(d.value("from").toArray().at(0).toObject().value("name").toString()), str(lookalike));
    EXPECT_EQ(str(d.value("parts").toArray().at(1).toObject().value("filename").toString()),
              str(lookalike + QStringLiteral(".txt")));
}

TEST_F(Safety, AddressesAMailReaderWouldReadOtherwiseAreRefusedBeforeAnyConnection)
{
    const QString senders[] = {"Sample <user@evil.example@good.example>", "Sample <@例え.jp>"};
    for (const QString &sender : senders) {
        const QString result =
            SendMail(server->hostPort(), recipientsFor("taro@example.com"), sender, "s", "b", {});
        EXPECT_TRUE(result.contains(QStringLiteral("送信者のメールアドレス"))) << str(result);
    }
    const QString recipients[] = {"spy:taro@example.com", "@例え.jp", "taro@example.com.",
                                  "taro@evil@example.com"};
    for (const QString &to : recipients) {
        const QString result = send(to);
        EXPECT_TRUE(result.contains(QStringLiteral("宛先のメールアドレス")))
            << str(to) << ": " << str(result);
    }
    EXPECT_EQ(server->connections(), 0);
}

} // namespace
