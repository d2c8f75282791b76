// The mailing in a process of its own, for tests that kill it part-way and continue in another.
//   send_probe --server HOST:PORT [--csv FILE --interval S --one-per-address yes] [--resend yes|no]
// With --csv the file is loaded and a run started; without, the unfinished runs are offered as at
// the program's start and continued. Every box goes to stdout: "box<TAB>title<TAB>text".
#include "platform/mail/SendMail.h"
#include "send/Mailing.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace
{

using Answer = UserDialogs::Answer;

class ProbeView : public MailingView
{
  public:
    SendInputs inputs{false,
                      {},
                      QStringLiteral("見本 <info@example.jp>"),
                      QStringLiteral("<%氏名%>様へ"),
                      QStringLiteral("<%氏名%>様"),
                      {},
                      false};
    bool resend = false;
    bool onePerAddress = false;
    const Mailing *mailing = nullptr;

    SendInputs sendInputs() const override { return inputs; }
    void showStatus(const QString &, bool) override {}
    void showRunProgress(const QString &, int, int) override {}
    void showAddresses(const RecipientAddresses &a) override { inputs.haveAddresses = !a.isEmpty(); }
    // Ends the program once nothing runs: the check before sending goes idle before its run begins.
    void showActivity(Activity a) override
    {
        if (a == Activity::Idle)
            QTimer::singleShot(0, qApp, [this] {
                if (!mailing->busy())
                    QCoreApplication::quit();
            });
    }
    // Continues what is offered; anything else is declined or acknowledged.
    Answer ask(const UserDialogs::Message &m) override
    {
        std::printf("box\t%s\t%s\n", qPrintable(m.title), qPrintable(QString(m.text).replace(u'\n', u' ')));
        std::fflush(stdout);
        if (m.text.contains(QStringLiteral("送り直しますか")))
            return resend ? Answer::Yes : Answer::No;
        if (m.text.contains(QStringLiteral("続きから送信しますか")))
            return Answer::Yes;
        if (m.text.contains(QStringLiteral("アドレスごとに1通だけ")))
            return onePerAddress ? Answer::Yes : Answer::No;
        return m.buttons == UserDialogs::Buttons::Ok ? Answer::Ok : Answer::No;
    }
    void showText(const QString &, const QString &) override {}
    void chooseOdbcSource(QString &, QString &) override {}
    void clearAttachments() override {}
    // Its runs go to servers that want no login.
    std::optional<PasswordAnswer> askPassword(const PasswordRequest &) override { return std::nullopt; }
    TokenReply signIn(const OAuthClient &, const QString &) override
    {
        return {TokenReply::Status::GrantRefused, {}, {}, 0, Failure::signInCancelled()};
    }
    void restoreInputs(const SendInputs &restored) override
    {
        const bool addresses = inputs.haveAddresses;
        inputs = restored;
        inputs.haveAddresses = addresses;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ProbeView view;
    Mailing mailing(view);
    view.mailing = &mailing;
    QString csv;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--server")
            view.inputs.server = args[i + 1];
        else if (args[i] == u"--csv")
            csv = args[i + 1];
        else if (args[i] == u"--interval")
            mailing.setSendInterval(qint16(args[i + 1].toInt()));
        else if (args[i] == u"--resend")
            view.resend = args[i + 1] == u"yes";
        else if (args[i] == u"--one-per-address")
            view.onePerAddress = args[i + 1] == u"yes";
    }
    // A stalled server holds the run until the test kills it.
    SendMailOptions options;
    options.responseTimeoutSeconds = 120;
    setSendMailOptions(options);
    if (csv.isEmpty())
        mailing.offerUnfinishedRuns();
    else if (mailing.AddressRead(csv) == 0)
        mailing.startRun();
    if (mailing.busy())
        app.exec();
    return 0;
}
