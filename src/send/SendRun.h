#pragma once

#include "body/MailMerger.h"
#include "platform/Clock.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailOutcome.h"
#include "platform/mail/MailTarget.h"
#include "recipients/RecipientTable.h"
#include "send/journal/RunJournal.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QThread;
class SendPacer;
class MailSession;

// The outcome of a send run, as the end of the run reports it.
struct SendSummary {
    int rows = 0;
    int sent = 0;   // mails the server accepted (or, in a trial, files written)
    int failed = 0; // rows that failed
    bool stopped = false;
    bool trial = false;   // the server was an outbox folder: nothing was sent
    QString outboxFolder; // the trial's folder
    QString errorList;    // one line per failed row: "3行目の [a@b] reason"

    // The status line at the end of the run.
    QString statusText() const;
};

// What the run needs from its owner. Questions are asked synchronously (a modal box); every other
// call just shows something.
struct SendRunHost {
    std::function<void(const QString &)> status;            // status line; may be shown late, coalesced
    std::function<void(int row, int rows)> progress;        // row now being sent (k of R)
    std::function<bool()> askStop;                          // the stop question; true: end the run
    std::function<bool(const QString &)> askGoOn;           // after a failure about the server; true: go on
    std::function<void(const QString &)> tellStopped;       // why the run stops by itself (one box)
    std::function<bool(const QDateTime &until)> askWaitDay; // the day's limit holds the run; true: wait
    std::function<void(const SendSummary &)> finished;      // after the last row or a stop
    // After the first authentication refusal of the run: a new password or sign-in to send that row
    // again with, or nothing (cancelled, or nothing to ask), and the run stops. Unset: it stops.
    std::function<std::optional<MailLogin>(const MailOutcome &)> askLogin;
    // The process-wide sendFlag (-1 true, 0 false), where its owner keeps it.
    std::function<qint16()> sendFlag;
    std::function<void(qint16)> setSendFlag;
};

// Everything a run reads when it starts; subject and body are merged per row from these.
struct SendRunSetup {
    MailTarget target; // the server, the sender, the attachments and the login
    QString subject;
    QString body; // CR LF line ends
    bool html = false;
    QString plainText;               // with html: the text part as the operator wrote it
    QStringList attachmentTemplates; // names with merge tags: each row's own files
    bool bccSelf = false;            // the sender gets a blind copy of every mail
    int interval = 0;                // seconds between two mails, 0 to 60
    // The rows to send, in this order; empty: every row, 1 to R.
    std::vector<int> rows;
    // The run's name for its mails (newMailToken()): each row's Message-ID and ENVID come from it,
    // the same for every try. Empty: a new Message-ID each time, no ENVID.
    QByteArray mailToken;
    // Called on the sending thread with each accepted mail's bytes and row (a copy for the Sent
    // folder); it must not wait for anything slow.
    std::function<void(int row, const QByteArray &message)> onAccepted;
};

// How a temporary failure is tried again: after these waits, then the row fails with the last reply.
struct RetryPolicy {
    std::vector<int> backoffSeconds{30, 120, 300};
    // Temporary failures in a row (or one 421) after which no new row starts until a retry is due:
    // the server is saying it wants a pause, not that one mail is unlucky.
    int holdAfter = 3;
};

// One send run over the chosen rows of the table, driven by the event loop of the thread that created
// it. The mails go out on a worker thread in groups: each group is declared to the journal at once,
// sent back to back (the next mail's envelope pipelined behind the previous mail's end of data), and
// every row's outcome comes back in order; the window goes on answering meanwhile. Between groups
// the run waits the interval, a provider's limit or a retry's back-off, and asks its questions.
class SendRun : public QObject
{
    Q_OBJECT
  public:
    // The host reads and sets the process-wide sendFlag (-1 true, 0 false); the table, the journal
    // and the pacer must outlive the run.
    SendRun(RecipientTable &table, const SendRunSetup &setup, Clock &clock, SendRunHost host,
            RunJournal &journal, SendPacer &pacer, QObject *parent = nullptr);
    ~SendRun() override;

    void setRetryPolicy(const RetryPolicy &policy) { m_retry = policy; }
    // The most rows sent in one group (one sync of the journal each); the interval makes it 1.
    void setGroupSize(int rows) { m_groupSize = qBound(1, rows, int(RunJournal::MostDeclared)); }

    // Sets sendFlag and starts. The host's finished() is called once, at the end.
    void start();
    // The stop button was pressed (sendFlag already cleared): a waiting run asks now, a sending one
    // after the mail in flight.
    void stopRequested();

    bool running() const { return m_state != State::Idle && m_state != State::Done; }
    const SendSummary &summary() const { return m_summary; }

  private:
    enum class State { Idle, Sending, Waiting, Asking, Done };
    enum class Wait { None, Interval, Limit, Retry, Hold };

    // One row's outcome from the worker.
    struct RowResult {
        int row = 0;
        int attempt = 1;
        MailOutcome outcome;
        // The journal could not record: nothing more may go out. The row itself was not sent.
        std::optional<Failure> journalFailure;
    };
    struct Retry {
        int row = 0;
        int attempt = 0; // attempts made so far
        qint64 dueMs = 0;
    };

    // GUI thread.
    void plan();
    void takeResults();
    void groupDone(std::vector<int> unsent);
    void handle(const RowResult &r);
    void markFailed(int row, const QString &reason);
    // The recipients of the row's mail that the provider counts: the main address, its copies and
    // blind copies.
    int recipientsOf(int row) const;
    void waitUntil(qint64 dueMs, Wait why, const QString &status);
    void waitCheck();
    bool askStopNow();
    void finish(bool stopped);
    QString addressOf(int row) const;
    void showRow(int row);

    // Worker thread.
    // temporaryInARow: the temporary failures in a row before this group.
    void workerSend(std::vector<int> rows, std::vector<int> attempts, std::vector<int> declareNow,
                    std::vector<int> ahead, int temporaryInARow);

    RecipientTable &m_table;
    const RecipientTable m_snapshot; // what the worker merges from: status writes never reach it
    SendRunSetup m_setup;
    Clock &m_clock;
    SendRunHost m_host;
    RunJournal &m_journal;
    SendPacer &m_pacer;
    MailMerger m_merger;
    RetryPolicy m_retry;
    int m_groupSize = RunJournal::MostDeclared;

    State m_state = State::Idle;
    Wait m_wait = Wait::None;
    SendSummary m_summary;
    std::deque<int> m_pending; // rows not yet tried, in order
    std::vector<Retry> m_retries;
    // Rows declared to the journal and not sent since: the next group is declared while the
    // current one goes out, so its sync is done before its first mail needs it.
    std::vector<bool> m_declared;
    int m_temporaryInARow = 0;
    qint64 m_holdUntilMs = 0;            // no new row before this (the server asked for a pause)
    qint64 m_waitUntilMs = 0;            // end of the current wait
    qint64 m_groupStartMs = 0;           // start of the current group, for the interval
    std::vector<int> m_groupRows;        // the group on its way, in order
    std::vector<int> m_groupAttempts;    // and the attempt each of its rows is
    size_t m_groupDone = 0;              // its rows whose outcome is in
    std::optional<RowResult> m_decision; // an outcome the operator must decide about

    // The one new password or sign-in of a run after a refusal was asked; the worker then opens a
    // new session with m_setup.target.login.
    bool m_loginAsked = false;
    std::atomic<bool> m_renewSession = false;

    // Worker results, handed over under the mutex and taken on the GUI thread.
    std::mutex m_resultsMutex;
    std::vector<RowResult> m_results;
    bool m_takePosted = false;
    std::atomic<bool> m_stopAsked = false;

    std::unique_ptr<ClockAlarm> m_alarm;
    QThread *m_thread = nullptr;
    QObject *m_worker = nullptr;            // lives in m_thread
    std::unique_ptr<MailSession> m_session; // used on the worker only
    int m_sendingRow = 0;                   // the row whose mail the session is sending (worker)
    QString m_sessionFailure;               // why the session could not be opened (worker)
};
