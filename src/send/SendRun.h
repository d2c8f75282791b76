#pragma once

#include "Clock.h"
#include "MailMerger.h"
#include "RecipientTable.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QThread;

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

// What the run needs from its window. The two questions are asked synchronously (a modal box);
// every other call just shows something.
struct SendRunHost {
    std::function<void(const QString &)> status;       // status line; may be shown late, coalesced
    std::function<void(int row, int rows)> progress;   // row now being sent
    std::function<bool()> askStop;                     // the stop question; true: end the run
    std::function<bool(const QString &)> askGoOn;      // after a server failure; true: go on
    std::function<void(const SendSummary &)> finished; // after the last row or a stop
};

// Everything a run reads when it starts; the body and subject are merged per row from these.
struct SendRunSetup {
    QString server; // trimmed
    QString sender;
    QString subject;
    QString body;
    QString attachmentList; // TAB-separated
    bool html = false;
    int interval = 0; // seconds between two mails, 0 to 60
};

// One send run over rows 1..R of the table, driven by the event loop of the thread that created
// it: each mail is sent on a worker thread, one at a time, while the window goes on answering.
// The stop request (sendFlag cleared) is noticed after the mail in flight is done, and at once
// during the interval wait; the order of statuses, counts and questions is that of a run that
// blocks on each send.
class SendRun : public QObject
{
    Q_OBJECT
  public:
    // sendFlag is the process-wide flag (-1 true, 0 false); the table must outlive the run.
    SendRun(RecipientTable &table, const SendRunSetup &setup, qint16 &sendFlag, Clock &clock,
            SendRunHost host, QObject *parent = nullptr);
    ~SendRun() override;

    // Sets sendFlag and sends row 1. The host's finished() is called once, at the end.
    void start();
    // The stop button was pressed (sendFlag already cleared): a waiting run asks now.
    void stopRequested();

    bool running() const { return m_state != State::Idle && m_state != State::Done; }
    const SendSummary &summary() const { return m_summary; }

    // The function each row goes through; tests and benchmarks may put another in its place.
    using SendFunction =
        std::function<QString(const QString &server, const QString &recipients, const QString &sender,
                              const QString &subject, const QString &body, const QString &attachments)>;
    void setSendFunction(SendFunction f) { m_send = std::move(f); }

  private:
    enum class State { Idle, Sending, Waiting, Asking, Done };

    struct Mail {
        int row = 0;
        QString address; // trimmed cell, as shown
        QString recipients;
        QString subject;
        QString body;
        // Why this row's merge stopped (a text grew past the size limit); such a row is not sent.
        QString mergeFailure;
    };
    Mail prepare(int row) const;
    void sendRow();
    void rowStarted(int row, const QString &address);
    void prepareAhead(int row);
    void workerSend(Mail mail);
    void rowDone(const QString &result, bool nextStarted);
    void waitCheck();
    void afterWait();
    void nextRow();
    void finish(bool stopped);

    RecipientTable &m_table;
    SendRunSetup m_setup;
    qint16 &m_sendFlag;
    Clock &m_clock;
    SendRunHost m_host;
    SendFunction m_send;
    MailMerger m_merger;
    QString m_recipientHeader;

    State m_state = State::Idle;
    SendSummary m_summary;
    int m_row = 0;
    QString m_address;
    // The next row's mail, merged while the current one is on its way; the worker may take it.
    std::mutex m_aheadMutex;
    std::optional<Mail> m_ahead;
    QString m_aheadAddress;
    // Set by the stop button for the worker, which then starts no row of its own accord.
    std::atomic<bool> m_stopAsked = false;
    qint64 m_waitUntil = 0; // monotonic ms at which the interval wait ends
    std::unique_ptr<ClockAlarm> m_alarm;
    QThread *m_thread = nullptr;
    QObject *m_worker = nullptr; // lives in m_thread
};
