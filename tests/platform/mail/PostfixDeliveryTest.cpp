#include "MailTestSupport.h"
#include "PostfixServer.h"
#include "TestEnvironment.h"
#include "platform/mail/MailSession.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>

// Mails sent through MailSession to a real Postfix, read back from its Maildirs by Python's email
// package and by ripmime.
namespace
{

const QString ReadMail = QStringLiteral(VELMORA_READ_MAIL_SCRIPT);

QJsonObject readMail(const QString &path)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("/usr/bin/python3"), {ReadMail, path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        ADD_FAILURE() << "cannot read " << str(path);
        return {};
    }
    const QJsonObject read = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_FALSE(read.contains("ripmime_error")) << str(read.value("ripmime_error").toString());
    return read;
}

QByteArray headerBlock(const QString &path)
{
    QFile f(path);
    const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const qsizetype end = bytes.indexOf("\n\n");
    return end < 0 ? bytes : bytes.left(end + 1);
}

// The header block without the trace fields the delivery put on top: they name the mailbox that
// copy went to.
QByteArray withoutTrace(const QByteArray &block)
{
    QList<QByteArray> lines = block.split('\n');
    static const QList<QByteArray> trace = {"return-path:", "x-original-to:", "delivered-to:", "received:"};
    while (!lines.isEmpty() && (lines.front().startsWith(' ') || lines.front().startsWith('\t') ||
                                std::any_of(trace.begin(), trace.end(), [&](const QByteArray &t) {
                                    return lines.front().toLower().startsWith(t);
                                })))
        lines.pop_front();
    return lines.join('\n');
}

QString header(const QJsonObject &read, const QString &name)
{
    for (const QJsonValue &h : read.value("headers").toArray())
        if (h.toArray().at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            return h.toArray().at(1).toString();
    return {};
}

QString lf(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// Python's email and ripmime found the same parts: types, file names, bytes and text.
void expectReadersAgree(const QJsonObject &read, const QString &label)
{
    const QJsonArray python = read.value("email").toArray(), ripmime = read.value("ripmime").toArray();
    ASSERT_EQ(ripmime.size(), python.size()) << str(label);
    for (qsizetype i = 0; i < python.size(); ++i) {
        const QJsonObject p = python[i].toObject(), r = ripmime[i].toObject();
        for (const char *field : {"content_type", "filename", "sha256", "text"})
            EXPECT_EQ(p.value(field), r.value(field)) << str(label) << " part " << i << " " << field;
    }
}

std::unique_ptr<MailSession> openSession(const MailTarget &target)
{
    Result<std::unique_ptr<MailSession>> s = MailSession::open(target);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : str(s.failure().description));
    return s.ok() ? std::move(s.value()) : nullptr;
}

TEST(PostfixDelivery, CopiesReachTheirMailboxesAndBothReadersSeeTheSameMail)
{
    PostfixServer postfix({"to", "cc", "bcc", "other"});
    if (!postfix.unavailable().isEmpty())
        GTEST_SKIP() << "no Postfix on loopback here: " << str(postfix.unavailable());
    setSendMailOptions(SendMailOptions{});
    ScratchDir dir;
    const QByteArray attached = "%PDF-1.4\n" + QByteArray(3000, '\x9c') + "\n%%EOF\n";
    const QString name = QStringLiteral("見積書（１２月分）① 髙橋様.pdf");
    const std::unique_ptr<MailSession> s =
        openSession(mailTargetOf(postfix.hostPort(), Sender, {dir.write(name, attached)}));
    ASSERT_TRUE(s);

    const QString body =
        QStringLiteral("髙橋様\r\n\r\nいつもお世話になっております。\r\n.\r\n見積書をお送りします。\r\n");
    MailContent first{PostfixServer::address("to"), QStringLiteral("お見積もりの件（12月分）"), body, false};
    first.cc = {PostfixServer::address("cc")};
    first.bcc = {PostfixServer::address("bcc")};
    MailContent second{PostfixServer::address("other"), QStringLiteral("二通目"), QStringLiteral("本文"),
                       false};
    second.cc = {PostfixServer::address("nobody")};
    const MailOutcome a = s->send(first, &second);
    const MailOutcome b = s->send(second);
    EXPECT_TRUE(a.accepted() && a.copiesRefused.isEmpty()) << str(a.description) << str(a.copiesRefused);
    EXPECT_TRUE(b.accepted()) << str(b.description);
    EXPECT_TRUE(b.copiesRefused.contains("nobody@example.test") && b.copiesRefused.contains("550 5.1.1"))
        << str(b.copiesRefused);
    ASSERT_EQ(postfix.waitForMail("other", 1).size(), 1) << str(postfix.log());

    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(attached, QCryptographicHash::Sha256).toHex());
    for (const QString box : {"to", "cc", "bcc"}) {
        const QStringList files = postfix.waitForMail(box, 1);
        ASSERT_EQ(files.size(), 1) << str(box) << "\n" << str(postfix.log());
        const QByteArray headers = headerBlock(files[0]);
        EXPECT_FALSE((box == "bcc" ? withoutTrace(headers) : headers).contains("bcc@example.test"))
            << str(box) << ":\n"
            << headers.toStdString();
        const QJsonObject read = readMail(files[0]);
        EXPECT_EQ(str(header(read, "Subject")), str(first.subject)) << str(box);
        expectReadersAgree(read, box);
        const QJsonArray python = read.value("email").toArray();
        ASSERT_EQ(python.size(), 2) << str(box);
        EXPECT_EQ(str(lf(python[0].toObject().value("text").toString())), str(lf(body))) << str(box);
        EXPECT_EQ(str(python[1].toObject().value("filename").toString()), str(name)) << str(box);
        EXPECT_EQ(str(python[1].toObject().value("sha256").toString()), str(sha)) << str(box);
    }
}

// Shapes the composer writes: an HTML mail with its text version and an inline image, a Reply-To
// header and a Cc header; a plain Japanese text in ISO-2022-JP.
TEST(PostfixDelivery, HtmlWithInlineImageReplyToAndIso2022JpTextArriveAsWritten)
{
    PostfixServer postfix({"html", "cc", "jis"});
    if (!postfix.unavailable().isEmpty())
        GTEST_SKIP() << "no Postfix on loopback here: " << str(postfix.unavailable());
    setSendMailOptions(SendMailOptions{});
    ScratchDir dir;
    dir.write("logo.png",
              QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGNgYPj"
                                     "/HwADAgH/eL9GtQAAAABJRU5ErkJggg=="));
    MailTarget target = mailTargetOf(postfix.hostPort(), Sender, {});
    target.imageFolder = dir.root();
    MailContent html{PostfixServer::address("html"), QStringLiteral("新製品のご案内"),
                     QStringLiteral("<html><body><p>いつもお世話になっております。</p>"
                                    "<img src=\"logo.png\" alt=\"ロゴ\"></body></html>"),
                     true};
    html.cc = {PostfixServer::address("cc")};
    html.replyTo = {"support@example.com"};
    html.plainText = QStringLiteral("いつもお世話になっております。\r\n");
    EXPECT_TRUE(openSession(target)->send(html).accepted());

    target.imageFolder.clear();
    target.iso2022jp = true;
    const QString text =
        QStringLiteral("山田様\r\n\r\nお世話になっております。全角英数ＡＢＣ１２３もそのままです。\r\n");
    EXPECT_TRUE(openSession(target)
                    ->send({PostfixServer::address("jis"), QStringLiteral("ご連絡"), text, false})
                    .accepted());

    const QStringList jisFiles = postfix.waitForMail("jis", 1);
    ASSERT_EQ(jisFiles.size(), 1) << str(postfix.log());
    const QJsonObject jisRead = readMail(jisFiles[0]);
    expectReadersAgree(jisRead, "jis");
    const QJsonObject jis = jisRead.value("email").toArray().at(0).toObject();
    EXPECT_EQ(str(jis.value("charset").toString().toLower()), "iso-2022-jp");
    EXPECT_EQ(str(lf(jis.value("text").toString())), str(lf(text)));
    EXPECT_EQ(str(lf(jis.value("iconv").toString())), str(lf(text)));

    const QStringList htmlFiles = postfix.waitForMail("html", 1);
    ASSERT_EQ(htmlFiles.size(), 1) << str(postfix.log());
    const QJsonObject read = readMail(htmlFiles[0]);
    expectReadersAgree(read, "html");
    EXPECT_TRUE(read.value("structure").toArray().contains("multipart/alternative"))
        << QJsonDocument(read.value("structure").toArray()).toJson().toStdString();
    EXPECT_EQ(str(header(read, "Reply-To")), "support@example.com");
    EXPECT_EQ(str(header(read, "Cc")), "cc@example.test");
    QString plain, markup;
    QStringList contentIds;
    for (const QJsonValue &v : read.value("email").toArray()) {
        const QJsonObject part = v.toObject();
        if (part.value("content_type") == "text/plain")
            plain = part.value("text").toString();
        else if (part.value("content_type") == "text/html")
            markup = part.value("text").toString();
        else if (part.value("content_type") == "image/png")
            contentIds += part.value("content_id").toString();
    }
    EXPECT_EQ(str(lf(plain)), str(lf(html.plainText)));
    const QRegularExpressionMatch cid =
        QRegularExpression(QStringLiteral("src=[\"']?cid:([^\"'\\s>]+)")).match(markup);
    ASSERT_TRUE(cid.hasMatch()) << str(markup);
    EXPECT_EQ(contentIds, QStringList{u'<' + cid.captured(1) + u'>'}) << str(markup);
    EXPECT_EQ(postfix.waitForMail("cc", 1).size(), 1);
}

} // namespace
