#pragma once

#include "platform/Clock.h"
#include "platform/Failure.h"
#include "platform/SecretStore.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "platform/mail/MailTarget.h"
#include "recipients/RecipientLoader.h"
#include "recipients/RecipientTable.h"
#include "send/MailingJob.h"
#include "send/MailingView.h"
#include "send/Preflight.h"
#include "send/journal/JournalStore.h"
#include "send/limits/SendLimits.h"
#include "send/login/MailLogins.h"
#include "send/login/OAuthSettings.h"
#include "send/mailbox/MailboxWatch.h"

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
class SettingsStore;
class RunJournal;
struct JournalReport;
struct SendRunSetup;
class SendPacer;
class SendRun;
class SendTimer;
struct SendSummary;

// The mailing: the one recipient table of the process, the run values, and the lifecycle of a
// send run and of a timer start, with the offer to continue a run that ended unfinished. Loading a
// table is the recipient loader's, signing in the logins'. It has no widgets; the main window is
// its view, gathers the operator's input and shows what it is told.
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
    bool busy() const
    {
        return m_run || m_timer || m_checkThread || m_loader.importing() || m_readingJournals;
    }

    // Process-wide run values: -1 true, 0 false.
    qint16 sendFlag() const { return m_sendFlag; }
    void setSendFlag(qint16 flag) { m_sendFlag = flag; }
    qint16 timerFlag() const { return m_timerFlag; }
    void setTimerFlag(qint16 flag) { m_timerFlag = flag; }
    // Seconds between two mails, 0 to 60: a value outside is taken as 0.
    qint16 sendInterval() const { return m_sendInterval; }
    void setSendInterval(qint16 seconds);
    // Hours of a timer start; 0 at every start, never saved.
    qint16 timerHours() const { return m_timerHours; }
    void setTimerHours(qint16 hours) { m_timerHours = hours; }
    // The ODBC data source and the table name or SQL text of the last ODBC dialog.
    const QString &strODBCconn() const { return m_strODBCconn; }
    const QString &strODBCrec() const { return m_strODBCrec; }
    void setOdbcSource(const QString &strODBCconn, const QString &strODBCrec);
    // The provider's limits per minute, hour and day that every run keeps to.
    const SendLimits &sendLimits() const { return m_sendLimits; }
    void setSendLimits(const SendLimits &limits) { m_sendLimits = limits; }
    // Every mail of a run also goes to the sender as a blind copy.
    bool bccSelf() const { return m_bccSelf; }
    void setBccSelf(bool on) { m_bccSelf = on; }
    // Japanese plain-text mails go as ISO-2022-JP when their text fits in it.
    bool iso2022jp() const { return m_iso2022jp; }
    void setIso2022jp(bool on) { m_iso2022jp = on; }
    // What beside the window's inputs the check before sending is to know of the mails.
    PreflightOptions preflightOptions() const;
    // The organisation's app registrations for OAuth 2.0 sign-in, kept in the settings.
    const OAuthSettings &oauthSettings() const { return m_oauthSettings; }
    void setOAuthSettings(const OAuthSettings &settings) { m_oauthSettings = settings; }

    // The run values the settings keep: interval, copies and ISO-2022-JP, limits, app registrations.
    void useSettings(const SettingsStore &settings);
    // The mailing as a job file keeps it: the loaded table's source, the view's inputs and the send
    // options. useJob() takes a job's options (and ODBC source) for the next load and run.
    MailingJob job() const;
    void useJob(const MailingJob &job);
    // Writes job() to `path` (".velmorajob" added when it has no ending) and tells the operator
    // what it holds; refused, with a box, while no recipient table is loaded.
    bool saveJob(QString path);
    // A start at `at` that does not need the window: checked now, as a timer start is, then
    // handed to a timer of the session that runs velmora-send.
    void handOff(const QDateTime &at, bool askWhenLate);
    // Passwords and sign-ins of the runs and test mails, and the keyring that keeps them.
    MailLogins &logins() { return m_logins; }
    // The operator's mailbox: its settings, the runs' Sent copies and the looks into it.
    MailboxWatch &mailbox() { return *m_mailbox; }

    // "不達を確認": reads the mailbox for the newest run of the loaded table, marks its returned
    // mails 不達 and its mails of unknown outcome found in the Sent folder 送信OK, records both in
    // the run's journal and tells the operator what it found. `quiet` (the look some minutes after
    // a run): only the status line tells, unless rows changed.
    void checkMailbox(bool quiet = false);

    // The one entry for every load of the table: a path ending in .xls, .csv or .vcf, or the word
    // OUTLOOK or ODBC. Returns 0 when loaded (or when the source names no importer), -1 when the
    // import failed; a failure has been shown before the return, and the table is as it was.
    // A table that an unfinished run was sending is offered for continuing that run.
    int AddressRead(const QString &strFileName);

    // At start, once the window is loaded: every run that ended unfinished and was not offered
    // yet is told, one question each, and may be continued, kept for later or thrown away.
    void offerUnfinishedRuns();
    // Runs handed to the session's timer that never started (the timer went with a logout or a
    // restart) are told once, and stay in the list of scheduled runs.
    void tellLostScheduledRuns();

    // The send button: checks the view's inputs, then runs over every row. When the table has an
    // unfinished run, the operator chooses between continuing it and starting over.
    void startRun();
    // The stop button: clears both flags; a waiting run asks at once, a mail in flight is
    // finished first, an import ends.
    void stop();
    // Waits timerHours hours, then starts the run as the send button does.
    void startTimer();
    // The same, to start at a date and time (to the minute). When the machine slept through it the
    // run starts on waking and says so, or, with askWhenLate, asks first.
    void startTimerAt(std::optional<QDateTime> at, bool askWhenLate);
    // A close request of the main window: while a run or a timer exists it is a stop request and
    // the window stays; otherwise the operator is asked. True when the window may close.
    bool requestClose();

  private:
    // The loader's view: the mailing's, with the import's activity.
    class LoaderView : public RecipientLoaderView
    {
      public:
        explicit LoaderView(MailingView &view) : m_view(view) {}
        void showStatus(const QString &text, bool paintNow) override { m_view.showStatus(text, paintNow); }
        void showAddresses(const RecipientAddresses &addresses) override { m_view.showAddresses(addresses); }
        void showImporting(bool importing) override
        {
            m_view.showActivity(importing ? MailingView::Activity::Importing : MailingView::Activity::Idle);
        }
        UserDialogs::Answer ask(const UserDialogs::Message &message) override { return m_view.ask(message); }
        void showText(const QString &caption, const QString &text) override
        {
            m_view.showText(caption, text);
        }
        void chooseOdbcSource(QString &connection, QString &statement) override
        {
            m_view.chooseOdbcSource(connection, statement);
        }

      private:
        MailingView &m_view;
    };

    int readSource(const QString &strFileName, bool askOdbc);
    void showFailure(const Failure &failure);
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
    bool offerRun(JournalReport &report);
    void askThrowAway(const QString &path);
    // True when a run started. `listed`: the run's report as the offer read it, taken when the
    // journal has not changed since.
    bool continueRun(const QString &path, JournalReport *listed = nullptr);
    std::unique_ptr<SendPacer> openPacer(const MailTarget &target);
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
    // The rows of unknown outcome of the journal's run that its provider filed as sent, recorded
    // in the journal before it is taken up again; the operator's note of them, empty when none.
    QString resolveInSent(const QString &path, const QString &server, const JournalReport *listed);
    // The login for a look into the mailbox with the sending server of this text.
    std::optional<std::pair<MailboxServer, MailLogin>> mailboxLogin(const QString &serverText);
    void waitForTimer(std::optional<QDateTime> at);
    void timerDone(bool due);

    MailingView &m_view;
    Clock *m_clock;
    RecipientTable m_table;
    qint16 m_sendFlag = 0;
    qint16 m_timerFlag = 0;
    qint16 m_sendInterval = 0;
    qint16 m_timerHours = 0;
    QString m_strODBCconn;
    QString m_strODBCrec;
    SendLimits m_sendLimits;
    bool m_bccSelf = false;
    bool m_iso2022jp = false;
    OAuthSettings m_oauthSettings;
    LoaderView m_loaderView{m_view};
    RecipientLoader m_loader{m_loaderView};
    MailLogins m_logins{m_view, m_clock, m_oauthSettings};
    // Where the table came from, as a journal names it.
    RecipientSourceName m_source;
    QByteArray m_tableDigest; // of m_table, once asked for; empty until then
    bool m_readingJournals = false;
    SendRun *m_run = nullptr;
    // The journal and the limits of the run in progress; they outlive it.
    std::unique_ptr<RunJournal> m_journal;
    std::unique_ptr<SendPacer> m_pacer;
    SendTimer *m_timer = nullptr;
    bool m_runFromTimer = false;
    // The check before sending while it runs, and whether a stop was asked meanwhile.
    QPointer<QThread> m_checkThread;
    bool m_checkStopped = false;
    // The rows the check chose when the timer was set: the run at its end asks nothing more.
    std::vector<int> m_timerRows;
    // Of a start at a date and time: whether to ask when it came late, and the note of a late start
    // that the run's outcome carries.
    bool m_timerAtDateTime = false;
    bool m_askWhenLate = false;
    QString m_lateStart;
    // Unfinished runs already offered in this session, so that the question at start does not
    // repeat the one of the table just loaded.
    QSet<QString> m_offered;
    MailboxWatch *m_mailbox = new MailboxWatch(this);
    std::unique_ptr<SentCopies> m_sentCopies;   // of the run in progress
    std::unique_ptr<ClockAlarm> m_mailboxAlarm; // the look some minutes after a run
};
