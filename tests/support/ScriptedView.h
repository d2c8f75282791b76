#pragma once

#include "ScriptedDialogs.h"
#include "platform/mail/OAuthSignIn.h"
#include "send/MailingView.h"

#include <QTimer>

#include <QList>
#include <QPair>

#include <functional>

// The mailing's view in core tests: the operator's inputs are plain values, what is shown is
// recorded, and questions are answered from a script (a box the script did not expect fails the
// test). The question after a server failure holds the library's own reason, not known in advance:
// those are answered from goOnAnswers and kept in serverQuestions.
class ScriptedView : public MailingView
{
  public:
    SendInputs inputs;
    ScriptedDialogs dialogs;
    QList<ScriptedAnswer> goOnAnswers;
    QList<UserDialogs::Message> serverQuestions;
    // The questions of the check before sending (their counts vary with the table), answered in turn.
    QList<ScriptedAnswer> checkAnswers;
    QList<UserDialogs::Message> checkQuestions;

    QString status;
    QStringList addresses;
    Activity activity = Activity::Idle;
    int row = 0, rows = 0;
    QList<QPair<QString, QString>> texts; // caption and text of every text viewer shown
    bool attachmentsCleared = false;
    int restores = 0;
    std::function<void(QString &, QString &)> odbcChoice;
    // Password questions, answered in turn (nothing: cancelled); each request is kept.
    QList<std::optional<PasswordAnswer>> passwordAnswers;
    QList<PasswordRequest> passwordRequests;
    // The browser of a sign-in: the real sign-in runs, with this opener as the system browser.
    OAuthSignIn::Opener browser;
    bool cancelSignIn = false; // the operator gives up waiting for the browser
    int signIns = 0;

    bool busy() const { return activity != Activity::Idle; }

    SendInputs sendInputs() const override
    {
        SendInputs i = inputs;
        i.haveAddresses = !addresses.isEmpty();
        return i;
    }
    void showStatus(const QString &text, bool) override { status = text; }
    void showRunProgress(const QString &text, int r, int n) override
    {
        status = text;
        row = r;
        rows = n;
    }
    void showAddresses(const RecipientAddresses &a) override
    {
        addresses.clear();
        for (int i = 0; i < a.count(); ++i)
            addresses.append(a.at(i));
    }
    void showActivity(Activity a) override { activity = a; }
    UserDialogs::Answer ask(const UserDialogs::Message &message) override
    {
        if (message.title == QStringLiteral("送信エラー") &&
            message.text.contains(QStringLiteral("送信を続けますか"))) {
            serverQuestions.append(message);
            EXPECT_EQ(int(message.icon), int(UserDialogs::Icon::Warning));
            EXPECT_EQ(int(message.buttons), int(UserDialogs::Buttons::YesNo));
            if (goOnAnswers.isEmpty()) {
                ADD_FAILURE() << "unexpected server question: " << message.text.toStdString();
                return UserDialogs::Answer::No;
            }
            const ScriptedAnswer answer = goOnAnswers.takeFirst();
            return answer ? *answer : enterAnswer(message);
        }
        if (message.title == QStringLiteral("送信前の確認")) {
            checkQuestions.append(message);
            if (checkAnswers.isEmpty()) {
                ADD_FAILURE() << "unexpected check question: " << message.text.toStdString();
                return UserDialogs::Answer::No;
            }
            const ScriptedAnswer answer = checkAnswers.takeFirst();
            return answer ? *answer : enterAnswer(message);
        }
        return dialogs.messageBox(nullptr, message);
    }
    void showText(const QString &caption, const QString &text) override { texts.append({caption, text}); }
    void chooseOdbcSource(QString &connection, QString &statement) override
    {
        if (odbcChoice)
            odbcChoice(connection, statement);
        else
            connection = statement = QString();
    }
    void clearAttachments() override
    {
        attachmentsCleared = true;
        inputs.attachments.clear();
    }
    std::optional<PasswordAnswer> askPassword(const PasswordRequest &request) override
    {
        passwordRequests.append(request);
        if (passwordAnswers.isEmpty()) {
            ADD_FAILURE() << "unexpected password question for " << request.user.toStdString();
            return std::nullopt;
        }
        return passwordAnswers.takeFirst();
    }
    TokenReply signIn(const OAuthClient &client, const QString &user) override
    {
        ++signIns;
        if (!browser)
            ADD_FAILURE() << "unexpected sign-in for " << user.toStdString();
        OAuthSignIn flow(client, user, browser);
        flow.start();
        if (cancelSignIn)
            QTimer::singleShot(100, &flow, &OAuthSignIn::cancel);
        return waitForSignIn(flow);
    }
    void restoreInputs(const SendInputs &restored) override
    {
        inputs = restored;
        inputs.haveAddresses = !addresses.isEmpty();
        ++restores;
    }
};
