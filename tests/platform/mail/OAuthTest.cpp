#include "MailSession.h"
#include "MailTestSupport.h"
#include "OAuthSignIn.h"
#include "TestOAuthServer.h"

#include <QTimer>

#include <atomic>

namespace
{

using Kind = MailOutcome::Kind;

// The sign-in against the test authorization server, and XOAUTH2 sessions with its tokens on a
// STARTTLS test SMTP server that accepts nothing else.
class OAuth : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        certificates = std::make_unique<TestCertificates>();
        oauth = std::make_unique<TestOAuthServer>();
        smtp = std::make_unique<TestSmtpServer>(
            QStringList{"--starttls", certificates->certFile, certificates->keyFile} + oauth->smtpOptions());
    }
    static void TearDownTestSuite()
    {
        SendMailShutdown();
        smtp.reset();
        oauth.reset();
        certificates.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(certificates->ok && oauth->running() && smtp->running());
        SendMailOptions o = quickOptions();
        o.caFile = certificates->caFile;
        setSendMailOptions(o);
        smtp->reset();
        oauth->answerGarbage(false);
    }

    TokenReply signIn(const OAuthClient &client, bool cancelAfterOpening = false)
    {
        OAuthSignIn flow(client, User, browser.opener());
        flow.start();
        if (cancelAfterOpening)
            QTimer::singleShot(100, &flow, &OAuthSignIn::cancel);
        return waitForSignIn(flow);
    }
    QString serverText() const
    {
        return QStringLiteral("smtp+oauth://taro%40example.jp@%1").arg(smtp->hostPort());
    }

    static inline const QString User = QStringLiteral("taro@example.jp");
    static inline std::unique_ptr<TestCertificates> certificates;
    static inline std::unique_ptr<TestOAuthServer> oauth;
    static inline std::unique_ptr<TestSmtpServer> smtp;
    TestBrowser browser;
};

std::atomic<qint64> clockMs{0};

TEST_F(OAuth, SignInWithPkceThenSessionsRefreshTheirTokenBeforeItExpiresAndAfterARefusal)
{
    // RFC 7636, appendix B.
    EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              QByteArray("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));

    const TokenReply tokens = signIn(oauth->client());
    ASSERT_TRUE(tokens.ok()) << str(tokens.failure->description);
    EXPECT_FALSE(tokens.refreshToken.isEmpty());
    QJsonObject stats = oauth->stats();
    EXPECT_EQ(stats.value("exchanges").toInt(), 1);
    EXPECT_EQ(stats.value("pkce_failures").toInt(), 0) << "the server found the verifier wrong";
    const QJsonObject asked = stats.value("last_authorization").toObject();
    EXPECT_EQ(asked.value("code_challenge_method").toString(), "S256");
    EXPECT_EQ(asked.value("login_hint").toString(), User);
    EXPECT_TRUE(asked.value("redirect_uri").toString().startsWith("http://127.0.0.1:"));
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(browser.opened[0].host(), "127.0.0.1");

    clockMs = 0;
    auto source = std::make_shared<OAuthTokenSource>(oauth->client(), tokens.refreshToken,
                                                     [] { return clockMs.load(); });
    source->setAccessToken(tokens.accessToken, tokens.expiresInSeconds);
    Result<std::unique_ptr<MailSession>> opened =
        MailSession::open(serverText(), Sender, {}, {QString(), source});
    ASSERT_TRUE(opened.ok());
    MailSession &session = *opened.value();
    auto send = [&](const QString &to) {
        return session.send({to, QStringLiteral("件名"), QStringLiteral("本文"), false});
    };

    MailOutcome o = send("r1@example.jp");
    ASSERT_TRUE(o.accepted()) << str(o.description);
    EXPECT_EQ(str(smtp->envelope(1).value("login").toString()), str(User));
    EXPECT_EQ(oauth->stats().value("refreshes").toInt(), 0);

    // An hour on, the token has expired on both sides: the next session gets a new one first.
    oauth->expireAccessTokens();
    smtp->closeConnections();
    clockMs += 3600 * 1000;
    o = send("r2@example.jp");
    EXPECT_TRUE(o.accepted()) << str(o.description);
    EXPECT_EQ(oauth->stats().value("refreshes").toInt(), 1);

    // Expired early on the provider's side: the refusal brings one refresh and the mail goes.
    oauth->expireAccessTokens();
    smtp->closeConnections();
    o = send("r3@example.jp");
    EXPECT_TRUE(o.accepted()) << str(o.description);
    EXPECT_EQ(oauth->stats().value("refreshes").toInt(), 2);
    EXPECT_EQ(smtp->messages(), 3) << "a mail was lost or sent twice";

    // Revoked: no new token; the outcome asks to sign in again, and nothing is sent.
    oauth->revoke();
    smtp->closeConnections();
    clockMs += 3600 * 1000;
    o = send("r4@example.jp");
    EXPECT_EQ(int(o.kind), int(Kind::AuthRefused)) << str(o.description);
    EXPECT_TRUE(o.description.contains(QStringLiteral("もう一度サインインしてください")))
        << str(o.description);
    EXPECT_FALSE(o.description.contains(tokens.refreshToken));
    EXPECT_EQ(smtp->messages(), 3);

    // An OAuth server form without a sign-in is refused before any connection.
    EXPECT_FALSE(MailSession::open(serverText(), Sender, {}).ok());
}

TEST_F(OAuth, EveryFailedSignInEndsWithItsOwnMessage)
{
    struct Case {
        const char *what;
        std::function<void()> arrange;
        OAuthClient client;
        bool cancel;
        QString message;
    };
    OAuthClient unsafe = oauth->client();
    unsafe.tokenUrl = QUrl("http://auth.example.jp/token");
    const Case cases[] = {
        {"wrong client ID", [] {}, oauth->client("not-registered"), false, QStringLiteral("クライアント ID")},
        {"forged state", [this] { browser.stateOverride = QStringLiteral("forged"); }, oauth->client(), false,
         QStringLiteral("state が一致しません")},
        {"declined", [] { oauth->deny("access_denied"); }, oauth->client(), false,
         QStringLiteral("アクセスの許可（同意）がされませんでした")},
        {"never back", [this] { browser.neverReturns = true; }, oauth->client(), true,
         QStringLiteral("サインインを取り消しました")},
        {"garbage", [] { oauth->answerGarbage(true); }, oauth->client(), false,
         QStringLiteral("応答を読み取れませんでした")},
        {"plain http", [] {}, unsafe, false, QStringLiteral("https://")},
    };
    for (const Case &c : cases) {
        browser.reset();
        c.arrange();
        const TokenReply r = signIn(c.client, c.cancel);
        ASSERT_FALSE(r.ok()) << c.what;
        ASSERT_TRUE(r.failure) << c.what;
        EXPECT_TRUE(r.failure->description.contains(c.message))
            << c.what << ": " << str(r.failure->description);
        EXPECT_EQ(r.failure->number, FailureNumber::SignInFailure) << c.what;
        oauth->answerGarbage(false);
    }
    EXPECT_EQ(smtp->messages(), 0);
}

} // namespace
