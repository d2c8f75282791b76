#pragma once

#include "platform/UserDialogs.h"
#include "platform/mail/OAuthClient.h"
#include "recipients/AddressCheck.h"
#include "send/SendChecks.h"

struct SendSummary;

#include <QString>
#include <QStringList>

#include <optional>

// The password question of a run: for which account, whether the keyring can keep the answer,
// and, asked again, why.
struct PasswordRequest {
    QString endpoint; // "host:port"
    QString user;
    bool canSave = false; // a keyring answers; otherwise the password is kept until exit only
    QString refusal;      // the server's refusal that asks again; empty the first time
};

struct PasswordAnswer {
    QString password;
    bool save = false; // into the keyring
};

// The questions of a mailing that a view answering without the operator (velmora-send) may answer
// otherwise than Enter would; every other question gets the answer of its default button.
namespace MailingTopic
{
inline constexpr char ContinueRun[] = "continue-run";      // continue the run offered?
inline constexpr char ResendUnknown[] = "resend-unknown";  // mail again rows that may have arrived?
inline constexpr char CheckProblems[] = "check-problems";  // stop and look at the check's problems?
inline constexpr char OnePerAddress[] = "one-per-address"; // one mail per repeated address?
inline constexpr char WaitForLimit[] = "wait-for-limit";   // wait for the day's limit to pass?
} // namespace MailingTopic

// What the mailing shows and asks. The main window is one; tests script another. Questions are
// answered synchronously (a modal box); everything else only shows.
class MailingView
{
  public:
    // Outside Idle the window locks everything that could start another run or change its inputs,
    // and shows the stop button with the caption of what it stops.
    enum class Activity { Idle, Sending, TimerWaiting, Importing };

    virtual ~MailingView() = default;

    // The inputs of a run as the operator has them now.
    virtual SendInputs sendInputs() const = 0;
    // The status line. An import that reports thousands of texts paints some of them later.
    virtual void showStatus(const QString &text, bool paintNow = true) = 0;
    // A run's status line and the row it is on; the window may draw these a few times a second
    // only, but always the last one before a question or the end of the run.
    virtual void showRunProgress(const QString &text, int row, int rows) = 0;
    // The address list: every recipient's address, the first shown in its edit part.
    virtual void showAddresses(const RecipientAddresses &addresses) = 0;
    virtual void showActivity(Activity activity) = 0;
    virtual UserDialogs::Answer ask(const UserDialogs::Message &message) = 0;
    // The text viewer, modal, with its caption.
    virtual void showText(const QString &caption, const QString &text) = 0;
    // The ODBC data-source dialog: sets both texts, or empties both when cancelled.
    virtual void chooseOdbcSource(QString &strODBCconn, QString &strODBCrec) = 0;
    // The attachment list named a file that is not there: the box is emptied.
    virtual void clearAttachments() = 0;
    // A run is continued: its inputs as it was started replace the window's.
    virtual void restoreInputs(const SendInputs &inputs) = 0;
    // The password of a server form that names a user; nothing when the operator cancelled.
    virtual std::optional<PasswordAnswer> askPassword(const PasswordRequest &request) = 0;
    // The interactive OAuth 2.0 sign-in of `user` (the browser, and a way to cancel while it is
    // open); the tokens, or the failure to tell.
    virtual TokenReply signIn(const OAuthClient &client, const QString &user) = 0;
    // A run ended (after its last question) with this outcome.
    virtual void showRunEnded(const SendSummary &) {}
};
