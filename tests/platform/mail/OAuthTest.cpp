#include "MailTestSupport.h"
#include "TestOAuthServer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/OAuthRedirect.h"
#include "platform/mail/OAuthSignIn.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <atomic>
#include <limits>

#include <sys/resource.h>

namespace
{

using Kind = MailOutcome::Kind;

// Runs the event loop until `done` holds, for a minute at most.
bool waitFor(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 60000)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// A reproducer or seed of a fuzz target's corpus.
QByteArray corpusFile(const QString &name)
{
    QFile f(QStringLiteral(VELMORA_FUZZ_CORPUS "/") + name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << str(f.fileName());
    return f.readAll();
}

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

    // cancelWhen: the operator cancels once it holds.
    TokenReply signIn(const OAuthClient &client, const std::function<bool()> &cancelWhen = {},
                      const OAuthSignIn::Limits &limits = {})
    {
        OAuthSignIn flow(client, User, browser.opener());
        flow.setLimits(limits);
        QTimer poll;
        if (cancelWhen) {
            QObject::connect(&poll, &QTimer::timeout, &flow, [&] {
                if (cancelWhen())
                    flow.cancel();
            });
            poll.start(10);
        }
        flow.start();
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

    const int exchanges = oauth->stats().value("exchanges").toInt();
    const TokenReply tokens = signIn(oauth->client());
    ASSERT_TRUE(tokens.ok()) << str(tokens.failure->description);
    EXPECT_FALSE(tokens.refreshToken.isEmpty());
    QJsonObject stats = oauth->stats();
    EXPECT_EQ(stats.value("exchanges").toInt(), exchanges + 1);
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
    Result<std::unique_ptr<MailSession>> opened = MailSession::open([&] {
        MailTarget target = mailTargetOf(serverText(), Sender, {});
        target.login = {QString(), source};
        return target;
    }());
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
    EXPECT_FALSE(MailSession::open(mailTargetOf(serverText(), Sender, {})).ok());
}

TEST_F(OAuth, EveryFailedSignInEndsWithItsOwnMessage)
{
    struct Case {
        const char *what;
        std::function<void()> arrange;
        OAuthClient client;
        std::function<bool()> cancelWhen;
        QString message;
        OAuthSignIn::Limits limits = {};
    };
    OAuthClient unsafe = oauth->client();
    unsafe.tokenUrl = QUrl("http://auth.example.jp/token");
    auto opened = [this] { return !browser.opened.isEmpty(); };
    const Case cases[] = {
        {"wrong client ID", [] {}, oauth->client("not-registered"), {}, QStringLiteral("クライアント ID")},
        // Not this sign-in's answer: refused, and the operator may still come back (or cancel).
        {"forged state", [this] { browser.stateOverride = QStringLiteral("forged"); }, oauth->client(),
         [this] { return browser.answers == QList<int>{400}; }, QStringLiteral("サインインを取り消しました")},
        {"declined",
         [] { oauth->deny("access_denied"); },
         oauth->client(),
         {},
         QStringLiteral("アクセスの許可（同意）がされませんでした")},
        {"never back", [this] { browser.neverReturns = true; }, oauth->client(), opened,
         QStringLiteral("サインインを取り消しました")},
        {"never back, out of time",
         [this] { browser.neverReturns = true; },
         oauth->client(),
         {},
         QStringLiteral("1 分以内に終わらなかったため"),
         {8, 5000, 50}},
        {"garbage",
         [] { oauth->answerGarbage(true); },
         oauth->client(),
         {},
         QStringLiteral("応答を読み取れませんでした")},
        {"plain http", [] {}, unsafe, {}, QStringLiteral("https://")},
    };
    for (const Case &c : cases) {
        browser.reset();
        c.arrange();
        const TokenReply r = signIn(c.client, c.cancelWhen, c.limits);
        ASSERT_FALSE(r.ok()) << c.what;
        ASSERT_TRUE(r.failure) << c.what;
        EXPECT_TRUE(r.failure->description.contains(c.message))
            << c.what << ": " << str(r.failure->description);
        EXPECT_EQ(r.failure->number, FailureNumber::SignInFailure) << c.what;
        oauth->answerGarbage(false);
    }
    EXPECT_EQ(smtp->messages(), 0);
}

TEST(OAuthTokenReply, ALifetimeTooLongForTheClockIsCutAndTheTokenHeldForIt)
{
    constexpr qint64 Max = TokenReply::MaxExpiresInSeconds;
    struct Case {
        QByteArray body;
        qint64 seconds;
    };
    // The corpus files begin with three bytes of the fuzz target's framing.
    const Case cases[] = {
        {corpusFile("oauth_token/oauth-expires-1e17.bin").mid(3), Max},
        {corpusFile("oauth_token/oauth-expires-1e300.bin").mid(3), Max},
        {corpusFile("oauth_token/oauth-expires-string-max.bin").mid(3), Max},
        {R"({"access_token":"a","expires_in":"99999999999999999999999"})", Max},
        {R"({"access_token":"a","expires_in":3599.9})", 3599},
        {R"({"access_token":"a","expires_in":" 7200"})", 7200},
        {R"({"access_token":"a","expires_in":-5})", 3600},
        {R"({"access_token":"a"})", 3600},
    };
    for (const Case &c : cases) {
        const TokenReply r = tokenReplyOf(200, c.body, QStringLiteral("https://auth.example.jp/token"));
        ASSERT_TRUE(r.ok()) << c.body.toStdString();
        EXPECT_EQ(r.expiresInSeconds, c.seconds) << c.body.toStdString();
        // Held without a refresh (which, without a token URL, could only fail), also by a clock
        // near the end of its range.
        for (const qint64 now : {qint64(0), std::numeric_limits<qint64>::max() - (Max + 1) * 1000}) {
            OAuthTokenSource source(OAuthClient{}, QStringLiteral("rt"), [now] { return now; });
            source.setAccessToken(r.accessToken, r.expiresInSeconds);
            const OAuthTokenSource::Token held = source.accessToken();
            EXPECT_TRUE(held.reply.ok() && held.reply.accessToken == "a")
                << c.body.toStdString() << " at " << now;
        }
    }
}

TEST(OAuthRedirect, OnlyAnOriginFormGetIsReadAndItsCodeIsTheBytesTheBrowserSent)
{
    using K = OAuthRedirect::Kind;
    struct Case {
        QByteArray request;
        K kind;
        QByteArray code = {};
    };
    const Case cases[] = {
        {corpusFile("oauth_redirect/oauth-redirect-target-without-slash-taken.bin"), K::Malformed},
        {corpusFile("oauth_redirect/oauth-redirect-bad-escape-code-not-decoded.bin"), K::Code, "4/0AX4XfWh"},
        {corpusFile("oauth_redirect/oauth-redirect-raw-bytes-code-not-decoded.bin"), K::Code,
         "4/0AX4\xff\xff\xff\xff\xffXfWh"},
        {corpusFile("oauth_redirect/oauth-redirect-code-escape-not-utf8-replaced.bin"), K::Code,
         "a\xf2"
         "b"},
        {"GET /?state=@S&code=a%2Bb+c%zz%4 HTTP/1.0", K::Code, "a+b c%zz%4"},
        {"GET /?code=&error=&state=@S HTTP/1.1", K::Elsewhere},
        {"GET /favicon.ico HTTP/1.1", K::Elsewhere},
        {"GET /?code=abc&state=forged HTTP/1.1", K::WrongState},
        {"GET /?code=abc HTTP/1.1", K::WrongState},
        {"GET @x:1/?state=@S&code=abc HTTP/1.1", K::Malformed},
        {"GET http://127.0.0.1:1/?state=@S&code=abc HTTP/1.1", K::Malformed},
        {QByteArray("GET /?state=@S&code=a\0b HTTP/1.1", 33), K::Malformed},
        {QByteArray("GET /?state=@S&code=ab HTTP/1.1\r\nHost: \0", 40), K::Malformed},
        {"GET /?state=@S&code=a\x01"
         "b HTTP/1.1",
         K::Malformed},
        {"GET /?state=@S&code=abc HTTP/2.0", K::Malformed},
        {"GET /?state=@S&code=abc#x HTTP/1.1", K::Malformed},
        {"GET /?state=@S&state=forged&code=abc HTTP/1.1", K::Malformed},
    };
    for (const Case &c : cases) {
        const qsizetype end = c.request.indexOf("\r\n\r\n");
        const OAuthRedirect r = OAuthRedirect::parse(end < 0 ? c.request : c.request.left(end), "@S");
        EXPECT_EQ(int(r.kind), int(c.kind)) << c.request.toStdString();
        EXPECT_EQ(r.code, c.code) << c.request.toStdString();
    }
    const OAuthRedirect declined = OAuthRedirect::parse(
        "GET /?error=access_denied&error_description=%E6%8B%92%E5%90%A6+x&state=%40S HTTP/1.1", "@S");
    EXPECT_EQ(int(declined.kind), int(K::Refused));
    EXPECT_EQ(str(declined.error), "access_denied");
    EXPECT_EQ(str(declined.errorDescription), str(QStringLiteral("拒否 x")));
}

// A request sent straight to the loopback listener, and the listener's answer once it closes.
QByteArray askListener(int port, const QByteArray &request)
{
    QTcpSocket socket;
    QByteArray reply;
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { reply += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_TRUE(waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }))
        << "no answer to " << request.toStdString();
    return reply + socket.readAll();
}

// Leaves the process this many descriptors more than it has open, for the life of this object.
struct DescriptorLimit {
    explicit DescriptorLimit(int more)
    {
        set = ::getrlimit(RLIMIT_NOFILE, &saved) == 0;
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(QDir(QStringLiteral("/proc/self/fd")).count() + more);
        set = set && tight.rlim_cur <= saved.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~DescriptorLimit()
    {
        if (set)
            ::setrlimit(RLIMIT_NOFILE, &saved);
    }
    rlimit saved{};
    bool set = false;
};

TEST_F(OAuth, TheListenerAnswersWhatIsNotTheRedirectAndWaitsOnForTheBrowser)
{
    // The provider's code holds bytes that are not UTF-8: they must come back as they were.
    oauth->issueCode("4/0A\xf2+ b");
    QUrl authorization;
    OAuthSignIn flow(oauth->client(), User, [&](const QUrl &url) {
        authorization = url;
        return true;
    });
    flow.setLimits({8, 1000, 10 * 60 * 1000});
    flow.start();
    ASSERT_FALSE(flow.isFinished());
    const QUrlQuery asked(authorization);
    const QByteArray state = asked.queryItemValue("state", QUrl::FullyDecoded).toLatin1();
    const int port = QUrl(asked.queryItemValue("redirect_uri", QUrl::FullyDecoded)).port();
    ASSERT_GT(port, 0);
    const int exchanges = oauth->stats().value("exchanges").toInt();

    const std::pair<QByteArray, QByteArray> refused[] = {
        {"GET /?state=forged&code=abc HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {corpusFile("oauth_redirect/oauth-redirect-target-without-slash-taken.bin"), "HTTP/1.1 400"},
        {"GET /favicon.ico HTTP/1.1\r\n\r\n", "HTTP/1.1 404"},
    };
    for (const auto &[request, status] : refused) {
        const QByteArray reply = askListener(port, QByteArray(request).replace("@S", state));
        EXPECT_TRUE(reply.startsWith(status)) << request.toStdString() << " → " << reply.toStdString();
        ASSERT_FALSE(flow.isFinished())
            << request.toStdString() << ": " << str(flow.result().failure->description);
    }

    // A connection that sends nothing is let go.
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, quint16(port));
    EXPECT_TRUE(waitFor([&] { return idle.state() == QAbstractSocket::UnconnectedState; }));

    // Many idle connections, more than the process has descriptors left for: the listener holds a
    // few of them, so the browser's redirect still gets through.
    constexpr int Idle = 300, Batch = 20;
    const DescriptorLimit limit(Idle + 64);
    ASSERT_TRUE(limit.set);
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    int settled = 0;
    while (flood.size() < Idle) {
        for (int i = 0; i < Batch; ++i) {
            flood.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket *s = flood.back().get();
            auto settle = [&settled, s] {
                if (!s->property("settled").toBool()) {
                    s->setProperty("settled", true);
                    ++settled;
                }
            };
            QObject::connect(s, &QTcpSocket::connected, settle);
            QObject::connect(s, &QTcpSocket::errorOccurred, settle);
            s->connectToHost(QHostAddress::LocalHost, quint16(port));
        }
        ASSERT_TRUE(waitFor([&] { return settled == int(flood.size()); }))
            << settled << " of " << flood.size() << " connected";
    }
    browser.open(authorization);
    const TokenReply tokens = waitForSignIn(flow);
    flood.clear();
    ASSERT_TRUE(tokens.ok()) << str(tokens.failure->description);
    EXPECT_EQ(browser.answers, QList<int>{200});
    EXPECT_EQ(oauth->stats().value("exchanges").toInt(), exchanges + 1);
}

} // namespace
