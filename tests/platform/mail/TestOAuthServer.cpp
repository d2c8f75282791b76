#include "TestOAuthServer.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace
{

QJsonObject readJsonLine(QProcess &p, int timeoutMs)
{
    while (!p.canReadLine()) {
        if (!p.waitForReadyRead(timeoutMs))
            return {};
    }
    return QJsonDocument::fromJson(p.readLine()).object();
}

} // namespace

TestOAuthServer::TestOAuthServer(const QStringList &options)
{
    m_tokens = m_dir.filePath("tokens.json");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{QStringLiteral(VELMORA_OAUTH_TEST_SERVER), "serve", "--tokens", m_tokens,
                                "--client-id", ClientId} +
                        options);
    if (!m_process.waitForStarted(10000)) {
        ADD_FAILURE() << "cannot start the test OAuth server";
        return;
    }
    m_port = readJsonLine(m_process, 15000).value("port").toInt();
    if (m_port <= 0)
        ADD_FAILURE() << "the test OAuth server did not report its port";
}

TestOAuthServer::~TestOAuthServer()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write("{\"cmd\": \"quit\"}\n");
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill(); // SIGKILL to this child's own pid
        m_process.waitForFinished(3000);
    }
}

QString TestOAuthServer::authorizationUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/authorize").arg(m_port);
}

QString TestOAuthServer::tokenUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/token").arg(m_port);
}

OAuthClient TestOAuthServer::client(const QString &clientId) const
{
    OAuthClient c;
    c.authorizationUrl = QUrl(authorizationUrl());
    c.tokenUrl = QUrl(tokenUrl());
    c.scope = QStringLiteral("smtp.send offline_access");
    c.clientId = clientId;
    return c;
}

QJsonObject TestOAuthServer::command(const QJsonObject &command)
{
    m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    m_process.waitForBytesWritten(5000);
    const QJsonObject answer = readJsonLine(m_process, 10000);
    EXPECT_FALSE(answer.isEmpty()) << "no answer from the test OAuth server";
    return answer;
}

bool TestBrowser::open(const QUrl &url)
{
    opened.append(url);
    if (neverReturns)
        return true;
    // The authorization endpoint answers with a redirect; the browser then loads its target.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *authorize = m_network.get(request);
    QObject::connect(authorize, &QNetworkReply::finished, authorize, [this, authorize] {
        authorize->deleteLater();
        QUrl back = authorize->header(QNetworkRequest::LocationHeader).toUrl();
        if (!back.isValid())
            return;
        if (!stateOverride.isNull()) {
            QUrlQuery q(back);
            q.removeAllQueryItems(QStringLiteral("state"));
            q.addQueryItem(QStringLiteral("state"), stateOverride);
            back.setQuery(q);
        }
        QNetworkReply *redirect = m_network.get(QNetworkRequest(back));
        QObject::connect(redirect, &QNetworkReply::finished, redirect, &QObject::deleteLater);
    });
    return true;
}
