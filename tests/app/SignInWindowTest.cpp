#include "MailTestSupport.h"
#include "ManualClock.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "TestOAuthServer.h"
#include "app/Form1.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"
#include "send/login/OAuthSettings.h"
#include "send/ui/frmOAuth.h"
#include "send/ui/frmPassword.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace
{

// Acts on the next modal dialog of type T as soon as it shows.
template <class T> void whenShown(std::function<void(T *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(dialog);
        }
    });
    poll->start(10);
}

// The main window signed in with a typed password and with OAuth 2.0: its dialogs are named for
// screen readers, and the settings file holds no secret afterwards.
TEST(SignInWindow, PasswordAndOAuthRunsLeaveNoSecretInTheSettingsFile)
{
    TestCertificates certificates;
    ASSERT_TRUE(certificates.ok);
    const QStringList tls{"--starttls", certificates.certFile, certificates.keyFile};
    TestOAuthServer oauth;
    TestSmtpServer passwordServer(tls + QStringList{"--auth", "taro:s3cret"});
    TestSmtpServer oauthServer(tls + oauth.smtpOptions());
    ASSERT_TRUE(oauth.running() && passwordServer.running() && oauthServer.running());
    SendMailOptions options = quickOptions();
    options.caFile = certificates.caFile;
    setSendMailOptions(options);
    TestBrowser browser;
    QDesktopServices::setUrlHandler("http", &browser, "open");

    ScratchDir dir;
    SettingsStore settings;
    ScriptedDialogs dialogs;
    MemorySecretStore keyring;
    ManualClock clock{QDateTime(QDate(2026, 12, 8), QTime(10, 0, 50))};
    const QString csv = dir.write(
        "r.csv", toCp932(QStringLiteral("メールアドレス,氏名\r\nr1@example.jp,一\r\nr2@example.jp,二\r\n")));
    {
        Form1 form(settings, dialogs, keyring, csv);
        form.setClock(clock);
        form.Text2->setText(QStringLiteral("ベルモラ <info@example.jp>"));
        form.Text3->setText(QStringLiteral("ご案内"));
        form.Text4->setPlainText(QStringLiteral("本文"));
        form.show();
        auto run = [&] {
            form.Command1_Click();
            EXPECT_TRUE(QTest::qWaitFor([&] { return !form.mailing().busy(); }, 30000));
            EXPECT_EQ(form.statusText(), QStringLiteral("送信完了：2件中、正常2件、エラー0件。"));
        };

        form.Text1->setText(QStringLiteral("smtp://taro@%1").arg(passwordServer.hostPort()));
        whenShown<frmPassword>([](frmPassword *d) {
            EXPECT_EQ(d->txtPassword->accessibleName(), QStringLiteral("パスワード"));
            EXPECT_EQ(d->txtPassword->echoMode(), QLineEdit::Password);
            EXPECT_EQ(d->chkSave->accessibleName(), QStringLiteral("パスワードを保存する"));
            EXPECT_EQ(d->cmdOK->accessibleName(), d->cmdOK->text());
            EXPECT_EQ(d->cmdCancel->accessibleName(), d->cmdCancel->text());
            d->txtPassword->setText("s3cret");
            d->chkSave->setChecked(true);
            d->cmdOK->click();
        });
        run();
        EXPECT_EQ(passwordServer.messages(), 2);

        // The administrator enters the registration once; the client secret goes to the keyring.
        whenShown<frmOAuth>([&](frmOAuth *d) {
            for (QLineEdit *box : d->findChildren<QLineEdit *>())
                EXPECT_FALSE(box->accessibleName().isEmpty()) << box->objectName().toStdString();
            d->txtAuthorizationUrl->setText(oauth.authorizationUrl());
            d->txtTokenUrl->setText(oauth.tokenUrl());
            d->txtScope->setText(QStringLiteral("smtp.send offline_access"));
            d->txtCustomClientId->setText(TestOAuthServer::ClientId);
            d->txtGoogleClientId->setText(QStringLiteral("google-client"));
            d->txtGoogleSecret->setText(QStringLiteral("gsecret-123"));
            d->cmdOK->click();
        });
        form.mnuMailSendSignIn_Click();
        form.Text1->setText(QStringLiteral("smtp+oauth://taro%40example.jp@%1").arg(oauthServer.hostPort()));
        run();
        EXPECT_EQ(oauthServer.messages(), 2);
        EXPECT_EQ(browser.opened.size(), 1);
        dialogs.expectBox(QStringLiteral("本当にこのプログラムを終了して良いですか"),
                          QStringLiteral("Velmoraの終了"), UserDialogs::Icon::Question,
                          UserDialogs::Buttons::OkCancel, UserDialogs::Answer::Ok);
        EXPECT_TRUE(form.close());
    }
    QDesktopServices::unsetUrlHandler("http");
    SendMailShutdown();

    QFile ini(settings.fileName());
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    EXPECT_TRUE(text.contains("customClientId=velmora-test-client")) << text.toStdString();
    EXPECT_TRUE(text.contains("svName=smtp+oauth://taro%40example.jp@127.0.0.1")) << text.toStdString();
    for (const char *secret : {"s3cret", "rt-", "at-", "gsecret-123", "code-"})
        EXPECT_FALSE(text.contains(secret)) << secret << " in " << text.toStdString();
    EXPECT_EQ(keyring.read(clientSecretKey(OAuthClient::Provider::Google, "google-client")).secret,
              "gsecret-123");
    EXPECT_EQ(keyring.size(), 3); // the password, the refresh token, the client secret
}

} // namespace
