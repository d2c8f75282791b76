#pragma once

#include "platform/Failure.h"
#include "recipients/Importers.h"
#include "send/journal/JournalStore.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "send/MailingView.h"
#include "send/login/OAuthSettings.h"
#include "recipients/RecipientTable.h"
#include "platform/SecretStore.h"
#include "send/limits/SendLimits.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Clock;
struct MailServer;
class RunJournal;
struct JournalReport;
struct SendRunSetup;
class SendPacer;
class SendRun;
class SendTimer;
struct SendSummary;

// The mailing: the one recipient table of the process, the run values, the choice of importer,
// and the lifecycle of a send run and of a timer start. It has no widgets; the main window is its
// view, gathers the operator's input and shows what it is told.
class Mailing : public QObject
{
    Q_OBJECT
  public:
    explicit Mailing(MailingView &view, QObject *parent = nullptr);
    ~Mailing() override;

    // The clock of the interval and timer waits; tests put one they move by hand in its place.
    void setClock(Clock &clock) { m_clock = &clock; }
    Clock &clock() const { return *m_clock; }

    const RecipientTable &table() const { return m_table; }
    // True while a run or a timer wait exists, also after a stop was asked and the mail in flight
    // is still on its way.
    bool busy() const { return m_run || m_timer || m_checkThread || m_cancelImport || m_readingJournals; }

    // Process-wide run values: -1 true, 0 false.
    qint16 sendFlag = 0;
    qint16 timerFlag = 0;
    qint16 sendInterval = 0; // seconds between two mails, 0 to 60
    qint16 timerHours = 0;   // hours of a timer start; 0 at every start, never saved
    // The ODBC data source and the table name or SQL text of the last ODBC dialog.
    QString strODBCconn;
    QString strODBCrec;
    // The provider's limits per minute, hour and day that every run keeps to.
    SendLimits sendLimits;
    // The organisation's app registrations for OAuth 2.0 sign-in, kept in the settings.
    OAuthSettings oauthSettings;

    // The desktop's keyring, for passwords and sign-in tokens; without one, nothing outlives the
    // process. The store must outlive the mailing.
    void setSecretStore(SecretStore &store) { m_secrets = &store; }
    SecretStore &secretStore() const { return *m_secrets; }

    // What a run to this server signs in with: the server text's password; else, when the text
    // names a user, a password typed earlier in this session, the keyring's or ~/.netrc's (left to
    // the mail library), or else the one the operator types now; or, for an OAuth server, its
    // kept refresh token or a new sign-in. `refusal`: the server refused the last one, ask anew.
    // Nothing when the run must not go on (cancelled, nothing to ask, or told why).
    std::optional<MailLogin> loginFor(const QString &server, const MailOutcome *refusal = nullptr);
    // A secret entered for later (a client secret): kept for this session, and in the keyring when
    // one takes it; otherwise the failure says why it lasts until exit only.
    std::optional<Failure> keepSecret(const QString &key, const QString &secret);

    // The one entry for every load of the table: a path ending in .xls, .csv or .vcf, or the word
    // OUTLOOK or ODBC. Returns 0 when loaded (or when the source names no importer), -1 when the
    // import failed; a failure has been shown before the return, and the table is as it was.
    // A table that an unfinished run was sending is offered for continuing that run.
    int AddressRead(const QString &strFileName);

    // At start, once the window is loaded: every run that ended unfinished and was not offered
    // yet is told, one question each, and may be continued, kept for later or thrown away.
    void offerUnfinishedRuns();

    // The send button: checks the view's inputs, then runs over every row. When the table has an
    // unfinished run, the operator chooses between continuing it and starting over.
    void startRun();
    // The stop button: clears both flags; a waiting run asks at once, a mail in flight is
    // finished first.
    void stop();
    // Waits timerHours hours, then starts the run as the send button does.
    void startTimer();
    // A close request of the main window: while a run or a timer exists it is a stop request and
    // the window stays; otherwise the operator is asked. True when the window may close.
    bool requestClose();

  private:
    int readSource(const QString &strFileName, bool askOdbc);
    int takeImport(Result<RecipientTable> imported);
    // Runs an importer off the window's thread; see the definition.
    Result<RecipientTable>
    importOffThread(std::function<Result<RecipientTable>(const CancelFlag &, const StatusSink &)> work);
    void showFailure(const Failure &failure);
    int odbcDataGet(bool ask);
    void endTimerStart();
    // The unfinished runs of the table now loaded, newest first.
    std::vector<JournalReport> unfinishedRunsOfTable();
    // The journals of unfinished runs: all of them after removing old ones, or those of the table
    // now loaded, and whether another Velmora is sending that table now.
    enum class Journals { AllTidied, OfTable };
    struct JournalScan {
        std::vector<JournalStore::Entry> entries;
        bool tableBeingSent = false;
    };
    JournalScan readJournals(Journals which);
    // tableDigest() of the loaded table, made once per load.
    const QByteArray &loadedTableDigest();
    void offerRunsOfTable();
    // True when the operator chose to continue the run.
    bool offerRun(const JournalReport &report);
    void askThrowAway(const QString &path);
    // True when a run started.
    bool continueRun(const QString &path);
    std::unique_ptr<SendPacer> openPacer(const QString &server, const QString &sender);
    void launch(const SendRunSetup &setup, std::unique_ptr<RunJournal> journal,
                std::unique_ptr<SendPacer> pacer);
    // A new run (not a continuation) from row 1, after the check before sending.
    void startNewRun(const SendRunSetup &setup);
    // The check before sending, on a thread of its own with a copy of the table; then, when it
    // found problems, the question whether to look at them or send anyway, and for repeated
    // addresses whether to send one mail per address. go() gets the rows to send (empty: all), or
    // nothing when the operator went back or asked to stop meanwhile.
    void checkThen(const SendInputs &inputs, std::function<void(std::optional<std::vector<int>>)> go);
    void runFinished(const SendSummary &summary);
    void waitForTimer();
    void timerDone(bool due);

    MailingView &m_view;
    Clock *m_clock;
    RecipientTable m_table;
    // Where the table came from, as a journal names it: the AddressRead text and, for ODBC, the
    // data source and the table or query.
    QString m_source;
    QString m_sourceOdbcConn;
    QString m_sourceOdbcRec;
    QByteArray m_tableDigest; // of m_table, once asked for; empty until then
    bool m_readingJournals = false;
    SendRun *m_run = nullptr;
    // The journal and the limits of the run in progress; they outlive it.
    std::unique_ptr<RunJournal> m_journal;
    std::unique_ptr<SendPacer> m_pacer;
    SendTimer *m_timer = nullptr;
    bool m_runFromTimer = false;
    // Stops the import in progress (empty when none runs); threads of stopped imports still ending.
    std::function<void()> m_cancelImport;
    std::vector<std::unique_ptr<QThread>> m_stoppedImports;
    // The check before sending while it runs, and whether a stop was asked meanwhile.
    QPointer<QThread> m_checkThread;
    bool m_checkStopped = false;
    // The rows the check chose when the timer was set: the run at its end asks nothing more.
    std::vector<int> m_timerRows;
    // Unfinished runs already offered in this session, so that the question at start does not
    // repeat the one of the table just loaded.
    QSet<QString> m_offered;

    std::optional<MailLogin> oauthLoginFor(const MailServer &server, bool again);
    // Kept for this session, and in the keyring when asked; a keyring's refusal is told when `tell`.
    void keepLoginSecret(const QString &key, const QString &secret, bool inKeyring, bool tell = true);

    MemorySecretStore m_noKeyring{MemorySecretStore::Mode::Absent};
    SecretStore *m_secrets = &m_noKeyring;
    // What the operator typed or signed in to without a keyring to keep it: until the process ends.
    MemorySecretStore m_sessionSecrets;
    // The key of a password the run took from the keyring: a refusal drops it there.
    QString m_keyringPasswordKey;
};
