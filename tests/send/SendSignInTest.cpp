#include "MailTestSupport.h"
#include "ManualClock.h"
#include "ScriptedView.h"
#include "TestEnvironment.h"
#include "TestOAuthServer.h"
#include "TestSmtpServer.h"
#include "platform/mail/SendMail.h"
#include "send/Mailing.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString OK = QStringLiteral("送信OK");
const QString NG = QStringLiteral("送信NG");
const QString ErrorTitle = QStringLiteral("送信エラー");
const QString ErrorQuestion = QStringLiteral("送信エラーの行があります。表示しますか？");

// Whole runs whose server wants a login: a password found, asked for and kept, or an OAuth 2.0
// sign-in with its tokens; on STARTTLS test servers that take nothing else.
class SignInRunTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        certificates = std::make_unique<TestCertificates>();
        const QStringList tls{"--starttls", certificates->certFile, certificates->keyFile};
        passwordServer = std::make_unique<TestSmtpServer>(tls + QStringList{"--auth", "taro:s3cret"});
        oauth = std::make_unique<TestOAuthServer>(QStringList{"--rotate"});
        oauthServer = std::make_unique<TestSmtpServer>(tls + oauth->smtpOptions());
    }
    static void TearDownTestSuite()
    {
        SendMailShutdown();
        oauthServer.reset();
        oauth.reset();
        passwordServer.reset();
        certificates.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(certificates->ok && passwordServer->running() && oauth->running() &&
                    oauthServer->running());
        SendMailOptions o = quickOptions();
        o.caFile = certificates->caFile;
        setSendMailOptions(o);
        passwordServer->reset();
        oauthServer->reset();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
        mailing.setClock(clock);
        mailing.logins().setSecretStore(keyring);
        OAuthSettings app;
        app.customAuthorizationUrl = oauth->authorizationUrl();
        app.customTokenUrl = oauth->tokenUrl();
        app.customScope = QStringLiteral("smtp.send offline_access");
        app.customClientId = TestOAuthServer::ClientId;
        mailing.setOAuthSettings(app);
        view.browser = browser.opener();
    }
    void TearDown() override
    {
        QFile::remove(QDir::home().filePath(".netrc"));
        qunsetenv("XDG_STATE_HOME");
    }

    void load(int rows, const QString &server)
    {
        QString csv = QStringLiteral("メールアドレス,氏名\r\n");
        for (int k = 1; k <= rows; ++k)
            csv += QStringLiteral("r%1@example.jp,宛先%1\r\n").arg(k);
        ASSERT_EQ(mailing.AddressRead(dir.write("recipients.csv", toCp932(csv))), 0);
        view.inputs = {false,
                       server,
                       QStringLiteral("ベルモラ <info@example.jp>"),
                       QStringLiteral("<%氏名%>様"),
                       QStringLiteral("本文"),
                       QString(),
                       false};
    }
    void run()
    {
        mailing.startRun();
        EXPECT_TRUE(QTest::qWaitFor([this] { return !mailing.busy(); }, 30000)) << "the run never ended";
    }
    QStringList statuses() const
    {
        QStringList out;
        for (int k = 1; k <= mailing.table().lastRow(); ++k)
            out << mailing.table().cell(k, 0);
        return out;
    }
    static QString passwordUrl(const QString &user = QStringLiteral("taro"))
    {
        return QStringLiteral("smtp://%1@%2").arg(user, passwordServer->hostPort());
    }
    static QString oauthUrl()
    {
        return QStringLiteral("smtp+oauth://taro%40example.jp@") + oauthServer->hostPort();
    }

    static inline std::unique_ptr<TestCertificates> certificates;
    static inline std::unique_ptr<TestSmtpServer> passwordServer;
    static inline std::unique_ptr<TestOAuthServer> oauth;
    static inline std::unique_ptr<TestSmtpServer> oauthServer;

    ManualClock clock{QDateTime(QDate(2026, 12, 8), QTime(10, 0, 50))};
    ScratchDir dir;
    ScratchDir state;
    MemorySecretStore keyring;
    TestBrowser browser;
    ScriptedView view;
    Mailing mailing{view};
};

// The password is asked once and kept in the keyring; a refused one is asked again once and that row
// sent again; a second refusal stops the run with what the reply means.
TEST_F(SignInRunTest, APasswordIsAskedOnceKeptAndAskedAgainOnlyAfterARefusal)
{
    load(3, passwordUrl());
    view.passwordAnswers = {PasswordAnswer{"wrong", true}, PasswordAnswer{"s3cret", true}};
    run();
    EXPECT_EQ(statuses(), QStringList(3, OK));
    EXPECT_EQ(passwordServer->messages(), 3) << "a row was lost or sent twice";
    ASSERT_EQ(view.passwordRequests.size(), 2);
    EXPECT_EQ(view.passwordRequests[0].user, "taro");
    EXPECT_TRUE(view.passwordRequests[0].canSave);
    EXPECT_TRUE(view.passwordRequests[0].refusal.isEmpty());
    EXPECT_TRUE(view.passwordRequests[1].refusal.contains("535")) << str(view.passwordRequests[1].refusal);
    EXPECT_EQ(keyring.read(secretKey("smtp", "taro", "127.0.0.1", passwordServer->port())).secret, "s3cret");

    // The next run finds it in the keyring and asks nothing.
    run();
    EXPECT_EQ(passwordServer->messages(), 6);
    EXPECT_EQ(view.passwordRequests.size(), 2);

    // A start handed to the session's timer finds a kept password; one held by this session only
    // goes into the keyring when the operator says so (Enter: not handed over).
    MailLogins &logins = mailing.logins();
    EXPECT_TRUE(logins.keptForLater(parseMailServer(passwordUrl())));
    const MailServerParse typed =
        parseMailServer(QStringLiteral("smtp://jiro:pw@") + passwordServer->hostPort());
    view.dialogs.expectBox(QString(), QStringLiteral("送信の予約"), Icon::Question, Buttons::YesNo,
                           PressEnter);
    EXPECT_FALSE(logins.keptForLater(typed));
    view.dialogs.expectBox(QString(), QStringLiteral("送信の予約"), Icon::Question, Buttons::YesNo,
                           Answer::Yes);
    EXPECT_TRUE(logins.keptForLater(typed));
    EXPECT_EQ(keyring.read(secretKey("smtp", "jiro", "127.0.0.1", passwordServer->port())).secret, "pw");

    // A user the server knows no password for: refused twice, the run stops after the first row.
    load(3, passwordUrl("hanako"));
    view.passwordAnswers = {PasswordAnswer{"one", false}, PasswordAnswer{"two", false}};
    view.dialogs.expectBox(QString(), ErrorTitle, Icon::Critical, Buttons::Ok, Answer::Ok);
    view.dialogs.expectBox(ErrorQuestion, ErrorTitle, Icon::Warning, Buttons::YesNo, Answer::No);
    run();
    EXPECT_EQ(statuses(), QStringList({NG, QString(), QString()}));
    const QString told = view.dialogs.shown[view.dialogs.shown.size() - 2].text;
    EXPECT_TRUE(
        told.startsWith(QStringLiteral("メールサーバーでの認証に失敗したため、送信を中止しました。")));
    EXPECT_TRUE(told.contains(QStringLiteral("ユーザー名かパスワードが違います"))) << str(told);
    EXPECT_EQ(view.passwordRequests.size(), 4);
}

// A login refused for now (454) is not a wrong password: the keyring keeps it, nobody is asked,
// and the row goes out once the back-off is over.
TEST_F(SignInRunTest, ALoginRefusedForNowKeepsItsPasswordAndIsTriedAgainLater)
{
    const QString key = secretKey("smtp", "taro", "127.0.0.1", passwordServer->port());
    keyring.write(key, "s3cret");
    passwordServer->rule("AUTH", "reply", "454 4.7.0 Too many login attempts, please try again later.");
    load(2, passwordUrl());
    mailing.startRun();
    EXPECT_TRUE(QTest::qWaitFor([&] { return view.status.contains(QStringLiteral("待機中")); }, 30000))
        << str(view.status);
    EXPECT_EQ(passwordServer->messages(), 0);
    clock.advance(30 * 1000);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !mailing.busy(); }, 30000)) << "the run never ended";
    EXPECT_EQ(statuses(), QStringList(2, OK));
    EXPECT_EQ(passwordServer->messages(), 2);
    EXPECT_TRUE(view.passwordRequests.isEmpty());
    EXPECT_EQ(keyring.read(key).secret, "s3cret");
}

// Without a keyring the question says the password lasts until exit, and this session asks no
// more; a keyring that refuses is told and the run goes on with the typed password; ~/.netrc spares
// the question altogether.
TEST_F(SignInRunTest, WithoutAWorkingKeyringThePasswordLastsForTheSession)
{
    keyring.setMode(MemorySecretStore::Mode::Absent);
    load(2, passwordUrl());
    view.passwordAnswers = {PasswordAnswer{"s3cret", true}};
    run();
    ASSERT_EQ(view.passwordRequests.size(), 1);
    EXPECT_FALSE(view.passwordRequests[0].canSave);
    run();
    EXPECT_EQ(passwordServer->messages(), 4);
    EXPECT_EQ(view.passwordRequests.size(), 1);

    Mailing second{view};
    MemorySecretStore refusing(MemorySecretStore::Mode::Refusing);
    second.logins().setSecretStore(refusing);
    second.setClock(clock);
    ASSERT_EQ(second.AddressRead(dir.write(
                  "two.csv", toCp932(QStringLiteral("メールアドレス,氏名\r\nr1@example.jp,一\r\n")))),
              0);
    view.passwordAnswers = {PasswordAnswer{"s3cret", true}};
    // Told twice: when the password is looked up, and when it cannot be saved.
    view.dialogs.expectBox(QString(), "1020", Icon::Critical, Buttons::Ok, Answer::Ok);
    view.dialogs.expectBox(QString(), "1020", Icon::Critical, Buttons::Ok, Answer::Ok);
    second.startRun();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !second.busy(); }, 30000));
    EXPECT_TRUE(view.dialogs.shown.last().text.contains(QStringLiteral("キーリング")));
    EXPECT_EQ(passwordServer->messages(), 5);

    QFile netrc(QDir::home().filePath(".netrc"));
    ASSERT_TRUE(netrc.open(QIODevice::WriteOnly));
    netrc.write(
        "machine 127.0.0.1 login hanako password s3cret\nmachine 127.0.0.1 login taro password s3cret\n");
    netrc.close();
    Mailing third{view};
    third.setClock(clock);
    ASSERT_EQ(third.AddressRead(dir.write(
                  "three.csv", toCp932(QStringLiteral("メールアドレス,氏名\r\nr1@example.jp,一\r\n")))),
              0);
    third.startRun();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !third.busy(); }, 30000));
    EXPECT_EQ(passwordServer->messages(), 6);
    EXPECT_EQ(view.passwordRequests.size(), 2);
}

// Signed in once, the run goes on through an expired access token (refreshed, no row lost); a
// revoked sign-in asks to sign in again and that row is sent again.
TEST_F(SignInRunTest, AnOAuthRunSignsInOnceRefreshesMidRunAndSignsInAgainWhenRevoked)
{
    load(4, oauthUrl());
    mailing.setSendInterval(10);
    mailing.startRun();
    EXPECT_TRUE(QTest::qWaitFor([&] { return mailing.table().cell(1, 0) == OK; }, 30000));
    EXPECT_EQ(view.signIns, 1);
    const QString key = secretKey("smtp+oauth", "taro@example.jp", "127.0.0.1", oauthServer->port());
    const QString firstRefresh = keyring.read(key).secret;
    EXPECT_TRUE(firstRefresh.startsWith("rt-"));

    // An hour passes in the interval: the token has expired and the server dropped the session.
    oauth->expireAccessTokens();
    oauthServer->closeConnections();
    clock.advance(3600 * 1000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return mailing.table().cell(2, 0) == OK; }, 30000));
    clock.advance(10 * 1000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return mailing.table().cell(3, 0) == OK; }, 30000));
    clock.advance(10 * 1000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !mailing.busy(); }, 30000));
    EXPECT_EQ(statuses(), QStringList(4, OK));
    EXPECT_EQ(oauthServer->messages(), 4) << "a row was lost or sent twice";
    EXPECT_GE(oauth->stats().value("refreshes").toInt(), 1);
    // The refresh token the provider rotated is the one kept.
    EXPECT_NE(keyring.read(key).secret, firstRefresh);
    EXPECT_EQ(view.signIns, 1);

    // The administrator revoked the sign-in: the first row's session asks for a new one.
    mailing.setSendInterval(0);
    SendMailShutdown();
    oauth->revoke();
    oauthServer->closeConnections();
    clock.advance(3600 * 1000);
    load(3, oauthUrl());
    run();
    EXPECT_EQ(statuses(), QStringList(3, OK));
    EXPECT_EQ(view.signIns, 2);
    EXPECT_EQ(oauthServer->messages(), 7);
}

// A sign-in that fails or is cancelled starts no run; a server without an app registration is
// told how to enter one.
TEST_F(SignInRunTest, AFailedSignInStartsNoRun)
{
    load(2, oauthUrl());
    view.cancelSignIn = true;
    browser.neverReturns = true;
    view.dialogs.expectBox(QStringLiteral("サインインを取り消しました。メールは送信していません。"), "1021",
                           Icon::Critical, Buttons::Ok, Answer::Ok);
    run();
    view.cancelSignIn = false;
    browser.reset();
    oauth->answerGarbage(true);
    view.dialogs.expectBox(QString(), "1021", Icon::Critical, Buttons::Ok, Answer::Ok);
    run();
    oauth->answerGarbage(false);
    EXPECT_TRUE(view.dialogs.shown.last().text.contains(QStringLiteral("応答を読み取れませんでした")));

    OAuthSettings unregistered = mailing.oauthSettings();
    unregistered.customClientId.clear();
    mailing.setOAuthSettings(unregistered);
    view.dialogs.expectBox(QString(), "1021", Icon::Critical, Buttons::Ok, Answer::Ok);
    run();
    EXPECT_TRUE(view.dialogs.shown.last().text.contains(QStringLiteral("サインインの設定(G)")));
    EXPECT_EQ(statuses(), QStringList(2, QString()));
    EXPECT_EQ(oauthServer->messages(), 0);
    EXPECT_EQ(view.signIns, 2);
}

} // namespace
