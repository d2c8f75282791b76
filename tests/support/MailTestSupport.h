#pragma once

#include "TestSmtpServer.h"
#include "platform/mail/SendMail.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <gtest/gtest.h>

inline const QString PlainHeader = QStringLiteral(">Content-Type: text/plain;");
inline const QString HtmlHeader = QStringLiteral(">Content-Type: text/html;");
inline const QString Sender = QStringLiteral("株式会社ベルモラ商事 <info@example.com>");

inline std::string str(const QString &s)
{
    return s.toStdString();
}

// Short time-outs keep the failure tests quick.
inline SendMailOptions quickOptions()
{
    SendMailOptions o;
    o.connectTimeoutSeconds = 1;
    o.responseTimeoutSeconds = 1;
    return o;
}

inline QString recipientsFor(const QString &address, bool html = false)
{
    return (html ? HtmlHeader : PlainHeader) + u'\t' + u'<' + address + u'>';
}

// One SMTP server for all tests of a suite; each test starts with no kept session and an empty store.
class MailServerTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { server = new TestSmtpServer; }
    static void TearDownTestSuite()
    {
        SendMailShutdown();
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(server && server->running());
        SendMailShutdown();
        setSendMailOptions(quickOptions());
        server->reset();
    }

    QString send(const QString &to, const QString &subject = QStringLiteral("件名"),
                 const QString &body = QStringLiteral("本文"), const QString &attachments = {})
    {
        return SendMail(server->hostPort(), recipientsFor(to), Sender, subject, body, attachments);
    }

    static inline TestSmtpServer *server = nullptr;
};
