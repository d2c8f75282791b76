#pragma once

#include "Failure.h"
#include "MailingView.h"
#include "RecipientTable.h"
#include "SendLimits.h"

#include <QObject>
#include <QString>

#include <memory>

class Clock;
class RunJournal;
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
    bool busy() const { return m_run || m_timer; }

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

    // The one entry for every load of the table: a path ending in .xls, .csv or .vcf, or the word
    // OUTLOOK or ODBC. Returns 0 when loaded (or when the source names no importer), -1 when the
    // import failed; a failure has been shown before the return, and the table is as it was.
    int AddressRead(const QString &strFileName);

    // The send button: checks the view's inputs, then runs over every row.
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
    int takeImport(Result<RecipientTable> imported);
    void showFailure(const Failure &failure);
    int odbcDataGet();
    void runFinished(const SendSummary &summary);
    void timerDone(bool due);

    MailingView &m_view;
    Clock *m_clock;
    RecipientTable m_table;
    // Where the table came from, as a journal names it: the AddressRead text and, for ODBC, the
    // data source and the table or query.
    QString m_source;
    QString m_sourceOdbcConn;
    QString m_sourceOdbcRec;
    SendRun *m_run = nullptr;
    // The journal and the limits of the run in progress; they outlive it.
    std::unique_ptr<RunJournal> m_journal;
    std::unique_ptr<SendPacer> m_pacer;
    SendTimer *m_timer = nullptr;
    bool m_runFromTimer = false;
};
