#include "TestOAuthServer.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QUrlQuery>

#include <gtest/gtest.h>

TestOAuthServer::TestOAuthServer(const QStringList &options)
    : m_tokens(m_dir.filePath("tokens.json")),
      m_server(QStringLiteral("test OAuth server"),
               QStringList{QStringLiteral(VELMORA_OAUTH_TEST_SERVER), "serve", "--tokens", m_tokens,
                           "--client-id", ClientId} +
                   options)
{
}

QString TestOAuthServer::authorizationUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/authorize").arg(m_server.port());
}

QString TestOAuthServer::tokenUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/token").arg(m_server.port());
}

QString TestOAuthServer::introspectionUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/introspect").arg(m_server.port());
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

bool TestBrowser::open(const QUrl &url)
{
    opened.append(url);
    if (neverReturns)
        return true;
    // The authorization endpoint answers with a redirect; the browser then loads its target.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *authorize = m_network.get(request);
    // What is still under way when the browser is reset belongs to an earlier sign-in.
    const int generation = m_generation;
    QObject::connect(authorize, &QNetworkReply::finished, authorize, [this, authorize, generation] {
        authorize->deleteLater();
        QUrl back = authorize->header(QNetworkRequest::LocationHeader).toUrl();
        if (!back.isValid() || generation != m_generation)
            return;
        if (!stateOverride.isNull()) {
            QUrlQuery q(back);
            q.removeAllQueryItems(QStringLiteral("state"));
            q.addQueryItem(QStringLiteral("state"), stateOverride);
            back.setQuery(q);
        }
        QNetworkReply *redirect = m_network.get(QNetworkRequest(back));
        QObject::connect(redirect, &QNetworkReply::finished, redirect, [this, redirect, generation] {
            if (generation == m_generation)
                answers.append(redirect->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
            redirect->deleteLater();
        });
    });
    return true;
}
