#include "MailTestSupport.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>

namespace
{

using OutboxFolder = MailServerTest;

QByteArray readFile(const QString &path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << str(path);
    return f.readAll();
}

QString outboxUrl(const QString &folder)
{
    return QUrl::fromLocalFile(folder).toString();
}

// Date and Message-ID differ from message to message by design.
QByteArray withoutVaryingHeaders(QByteArray m)
{
    static const QRegularExpression varying(QStringLiteral("(?m)^(Date|Message-Id): [^\r]*\r\n"));
    return QString::fromLatin1(m).remove(varying).toLatin1();
}

TEST_F(OutboxFolder, MessagesBecomeNumberedFilesAndNothingIsOverwritten)
{
    ScratchDir dir;
    const QString folder = dir.path(QStringLiteral("送信済み/2024"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile keep(folder + "/000007.eml");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.write("keep me");
    keep.close();
    QFile other(folder + "/notes.eml.txt");
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();

    const QString url = outboxUrl(folder);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(str(SendMail(url, recipientsFor("taro@example.com"), Sender,
                               QStringLiteral("第%1号").arg(i), QStringLiteral("本文"), {})),
                  "");
    EXPECT_EQ(readFile(folder + "/000007.eml"), "keep me");
    EXPECT_EQ(QDir(folder).entryList({"*.eml"}, QDir::Files),
              (QStringList{"000007.eml", "000008.eml", "000009.eml"}));
    EXPECT_EQ(str(decodeMessage(folder + "/000009.eml").value("subject").toString()), "第1号");

    // A file that appears under the next number meanwhile is skipped, not replaced.
    QFile intruder(folder + "/000010.eml");
    ASSERT_TRUE(intruder.open(QIODevice::WriteOnly));
    intruder.write("someone else's");
    intruder.close();
    ASSERT_EQ(str(SendMail(url, recipientsFor("taro@example.com"), Sender, "s", "b", {})), "");
    EXPECT_EQ(readFile(folder + "/000010.eml"), "someone else's");
    EXPECT_TRUE(QFile::exists(folder + "/000011.eml"));

    // A folder that does not exist yet is created.
    const QString fresh = dir.path("new/box");
    ASSERT_EQ(str(SendMail(outboxUrl(fresh), recipientsFor("taro@example.com"), Sender, "s", "b", {})), "");
    EXPECT_TRUE(QFile::exists(fresh + "/000001.eml"));
    EXPECT_EQ(server->connections(), 0);
}

TEST_F(OutboxFolder, FileHoldsTheBytesThatSmtpWouldCarry)
{
    ScratchDir dir;
    const QString subject = QStringLiteral("【重要】ご請求のお知らせ");
    const QString body = QStringLiteral("山田様\r\n.\r\n..\r\nご確認ください。\r\n");
    ASSERT_EQ(str(SendMail(outboxUrl(dir.path("box")), recipientsFor("taro@example.com"), Sender, subject,
                           body, {})),
              "");
    ASSERT_EQ(str(SendMail(server->hostPort(), recipientsFor("taro@example.com"), Sender, subject, body, {})),
              "");

    const QByteArray file = readFile(dir.path("box/000001.eml"));
    const QByteArray wire = server->rawMessage(1);
    EXPECT_EQ(withoutVaryingHeaders(file), withoutVaryingHeaders(wire));
    EXPECT_NE(withoutVaryingHeaders(file), file) << "Date and Message-ID missing";
    const QJsonObject d = decodeMessage(dir.path("box/000001.eml"));
    EXPECT_TRUE(d.value("crlf_only").toBool());
    EXPECT_EQ(str(d.value("parts").toArray().at(0).toObject().value("text").toString()), str(body));
}

TEST_F(OutboxFolder, UnwritableFolderIsReported)
{
    ScratchDir dir;
    const QString notAFolder = dir.write("plain-file", "x");
    const QString result =
        SendMail(outboxUrl(notAFolder), recipientsFor("taro@example.com"), Sender, "s", "b", {});
    EXPECT_TRUE(result.contains("plain-file")) << str(result);
}

} // namespace
