#include "send/Mailing.h"

#include "platform/formats/AddressBook.h"
#include "recipients/AddressCheck.h"
#include "platform/Clock.h"
#include "recipients/Importers.h"
#include "send/journal/JournalReport.h"
#include "send/journal/JournalStore.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailServer.h"
#include "platform/Netrc.h"
#include "platform/OffThread.h"
#include "send/Preflight.h"
#include "send/limits/ProviderPacer.h"
#include "send/journal/Resume.h"
#include "send/journal/RunJournal.h"
#include "send/journal/SendJournal.h"
#include "send/limits/SendPacer.h"
#include "send/SendRun.h"
#include "send/SendTimer.h"
#include "send/journal/TableLock.h"
#include "platform/Text.h"
#include "platform/formats/TextFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>

namespace
{
using Answer = UserDialogs::Answer;
using Buttons = UserDialogs::Buttons;
using Icon = UserDialogs::Icon;

const QString ResumeTitle = QStringLiteral("送信の再開");

const QString StopQuestion =
    QStringLiteral("本当に送信を中止して良いですか？\r\n中止したら、既に送信済みの宛先に再度同じ内容の"
                   "メールが送られないように注意してください。");
} // namespace

Mailing::Mailing(MailingView &view, QObject *parent)
    : QObject(parent), m_view(view), m_clock(&SystemClock::instance())
{
}

Mailing::~Mailing()
{
    // A run still going (the window destroyed without a close request) ends before the table does;
    // a check still running reads its own copy of the table, but is waited for all the same.
    if (m_checkThread)
        m_checkThread->wait();
    for (const std::unique_ptr<QThread> &stopped : m_stoppedImports)
        stopped->wait();
    delete m_run;
    delete m_timer;
}

void Mailing::showFailure(const Failure &failure)
{
    m_view.ask({failure.description, QString::number(failure.number), Icon::Critical, Buttons::Ok});
}

int Mailing::AddressRead(const QString &strFileName)
{
    const int result = readSource(strFileName, true);
    if (result == 0 && recipientSourceOf(strFileName) != RecipientSource::None)
        offerRunsOfTable();
    return result;
}

int Mailing::readSource(const QString &strFileName, bool askOdbc)
{
    // Kept so that a table the address check cannot use never replaces a good one.
    const RecipientTable previous = m_table;
    const RecipientSource source = recipientSourceOf(strFileName);
    int result = 0;
    if (source != RecipientSource::None)
        m_view.showStatus(sourceStatusText(source));
    switch (source) {
    case RecipientSource::Excel:
    case RecipientSource::OpenDocument:
        result = takeImport(importOffThread([strFileName](const CancelFlag &cancel, const StatusSink &) {
            return ExcelDataGet(strFileName, &cancel);
        }));
        break;
    case RecipientSource::Csv:
        result = takeImport(importOffThread(
            [strFileName](const CancelFlag &, const StatusSink &) { return CSVDataGet(strFileName); }));
        break;
    case RecipientSource::Outlook: {
        const AddressBookPlaces places = AddressBookPlaces::fromEnvironment();
        result = takeImport(importOffThread([places](const CancelFlag &cancel, const StatusSink &status) {
            return OutlookDataGet(places, status, &cancel);
        }));
        break;
    }
    case RecipientSource::Odbc: result = odbcDataGet(askOdbc); break;
    case RecipientSource::VCard:
        result = takeImport(importOffThread(
            [strFileName](const CancelFlag &, const StatusSink &) { return VCardDataGet(strFileName); }));
        break;
    case RecipientSource::None: break;
    }
    if (result < 0)
        return -1;

    const Result<AddressCheck> check = checkAddresses(m_table);
    if (!check) {
        m_table = previous;
        m_tableDigest.clear();
        showFailure(check.failure());
        return -1;
    }
    if (source != RecipientSource::None) {
        m_source = strFileName;
        m_sourceOdbcConn = source == RecipientSource::Odbc ? strODBCconn : QString();
        m_sourceOdbcRec = source == RecipientSource::Odbc ? strODBCrec : QString();
    }
    m_view.showAddresses(check->addresses);
    m_view.showStatus(check->statusText());
    if (check->suspect > 0 &&
        m_view.ask({QStringLiteral("読込エラーの行があります。表示しますか？"), QStringLiteral("読込エラー"),
                    Icon::Warning, Buttons::YesNo}) == Answer::Yes)
        m_view.showText(QStringLiteral("読込エラー"), check->suspectList);
    return 0;
}

Result<RecipientTable>
Mailing::importOffThread(std::function<Result<RecipientTable>(const CancelFlag &, const StatusSink &)> work)
{
    // The reader runs on a thread of its own while the window goes on answering: its status texts
    // reach the status line (painted a few times a second at most), and the stop button ends the
    // wait at once. A stopped reader's table is never used; the thread ends on its own.
    struct Job {
        CancelFlag cancel{false};
        std::optional<Result<RecipientTable>> result;
    };
    auto job = std::make_shared<Job>();
    QPointer<Mailing> self(this);
    auto lastPaint = std::make_shared<QElapsedTimer>();
    lastPaint->start();
    const StatusSink status = [self, lastPaint](const QString &text) {
        QMetaObject::invokeMethod(
            self,
            [self, text, lastPaint] {
                if (!self)
                    return;
                const bool paint = lastPaint->elapsed() >= 50;
                if (paint)
                    lastPaint->restart();
                self->m_view.showStatus(text, paint);
            },
            Qt::QueuedConnection);
    };
    // The thread object is owned here, never left to a deferred delete: the nested loop below
    // would run that delete before the thread is asked whether it finished.
    std::unique_ptr<QThread> owned(QThread::create(
        [job, status, work = std::move(work)] { job->result.emplace(work(job->cancel, status)); }));
    QThread *thread = owned.get();
    QEventLoop loop;
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    m_cancelImport = [job, &loop] {
        job->cancel = true;
        loop.quit();
    };
    thread->start();
    m_view.showActivity(MailingView::Activity::Importing);
    loop.exec();
    m_cancelImport = {};
    m_view.showActivity(MailingView::Activity::Idle);
    // Stopped imports that have ended since are let go; one still reading is kept until it ends.
    std::erase_if(m_stoppedImports,
                  [](const std::unique_ptr<QThread> &stopped) { return stopped->isFinished(); });
    if (thread->isFinished()) {
        thread->wait();
        if (job->result) {
            QCoreApplication::sendPostedEvents(this); // the last status texts before the outcome
            return std::move(*job->result);
        }
    } else {
        m_stoppedImports.push_back(std::move(owned));
    }
    return Failure::importCancelled();
}

int Mailing::takeImport(Result<RecipientTable> imported)
{
    // The new table replaces the loaded one only when it was read whole.
    if (!imported) {
        if (imported.failure().number == FailureNumber::UserInterrupt)
            m_view.showStatus(imported.failure().description);
        else
            showFailure(imported.failure());
        return -1;
    }
    m_table = std::move(imported.value());
    m_tableDigest.clear();
    return 0;
}

int Mailing::odbcDataGet(bool ask)
{
    m_view.showStatus(QString());
    // A continued run reads the data source and the table or query it recorded.
    if (ask)
        m_view.chooseOdbcSource(strODBCconn, strODBCrec);
    if (strODBCrec.isEmpty() || strODBCconn.isEmpty())
        return -1;
    const QString connection = strODBCconn, statement = strODBCrec;
    Result<RecipientTable> imported =
        importOffThread([connection, statement](const CancelFlag &cancel, const StatusSink &status) {
            return ODBCDataGet(
                connection, statement,
                [&status](qint64 records) {
                    status(QStringLiteral("ODBCデータベースから読込中：%1件").arg(records));
                },
                &cancel);
        });
    if (!imported)
        m_view.showStatus(QString());
    return takeImport(std::move(imported));
}

void Mailing::endTimerStart()
{
    if (m_runFromTimer) {
        m_runFromTimer = false;
        timerFlag = 0;
    }
}

void Mailing::startRun()
{
    if (m_run)
        return;
    m_view.showStatus(QString());
    const SendInputs inputs = m_view.sendInputs();
    const SendCheck check = checkSendInputs(inputs, &fileExists);
    if (check.refusal) {
        m_view.ask(*check.refusal);
        if (check.clearAttachments)
            m_view.clearAttachments();
        endTimerStart();
        return;
    }

    SendRunSetup setup;
    setup.server = trimSpaces(inputs.server);
    setup.sender = inputs.sender;
    setup.subject = inputs.subject;
    // The body goes out with the line ends an operator's text box holds: CR LF.
    setup.body = QString(inputs.body).replace(u'\n', QStringLiteral("\r\n"));
    setup.attachments = check.attachmentList.split(u'\t', Qt::SkipEmptyParts);
    setup.html = inputs.html;

    // A run that sends keeps a journal from its first mail on; a trial into a folder keeps none.
    const bool trial = parseMailServer(setup.server).server.kind == MailServer::Kind::Outbox;
    if (!trial) {
        JournalScan scan = readJournals(Journals::OfTable);
        if (scan.tableBeingSent) {
            // Another Velmora is sending this very table: a second run would mail its rows again.
            RunIdentity loaded;
            loaded.source = m_source;
            loaded.odbcDataSource = m_sourceOdbcConn;
            loaded.odbcTableOrSql = m_sourceOdbcRec;
            showFailure(Failure::tableBeingSent(loaded.sourceText()));
            endTimerStart();
            return;
        }
        std::vector<JournalReport> unfinished;
        for (JournalStore::Entry &e : scan.entries)
            unfinished.push_back(std::move(e.report.value()));
        if (!unfinished.empty()) {
            const JournalReport &last = unfinished.front();
            const Answer answer = m_view.ask(
                {QStringLiteral("この宛先の表には、途中で終わった送信があります。\r\n\r\n") +
                     unfinishedRunText(last) +
                     QStringLiteral("\r\n\r\n「はい」：続きから送信します（前回と同じ件名・本文で、まだ"
                                    "送っていない宛先にだけ送ります）。\r\n「いいえ」：1件目から全員に送信し"
                                    "直します（前回の記録は破棄します）。\r\n「キャンセル」：送信しません。"),
                 ResumeTitle, Icon::Question, Buttons::YesNoCancel, Answer::Cancel});
            if (answer == Answer::Yes) {
                if (!continueRun(last.path))
                    endTimerStart();
                return;
            }
            if (answer != Answer::No) {
                endTimerStart();
                return;
            }
            // Starting over leaves no unfinished record behind that could send these rows again.
            if (const std::optional<Failure> failure = JournalStore().abandon(last.path)) {
                showFailure(*failure);
                endTimerStart();
                return;
            }
        }
    }

    if (m_runFromTimer) {
        // Checked when the timer was set; nobody may be there to answer now.
        SendRunSetup chosen = setup;
        chosen.rows = m_timerRows;
        startNewRun(chosen);
        return;
    }
    checkThen(inputs, [this, setup](std::optional<std::vector<int>> rows) {
        if (!rows)
            return;
        SendRunSetup chosen = setup;
        chosen.rows = std::move(*rows);
        startNewRun(chosen);
    });
}

void Mailing::checkThen(const SendInputs &inputs, std::function<void(std::optional<std::vector<int>>)> go)
{
    m_checkStopped = false;
    m_view.showActivity(MailingView::Activity::Sending);
    m_view.showStatus(QStringLiteral("送信前の確認をしています..."));
    const RecipientTable table = m_table;
    m_checkThread = runOffThread<PreflightReport>(
        this, [table, inputs] { return checkBeforeSending(table, inputs); },
        [this, go = std::move(go)](PreflightReport report) {
            m_checkThread = nullptr;
            m_view.showActivity(MailingView::Activity::Idle);
            m_view.showStatus(QString());
            if (m_checkStopped) {
                sendFlag = timerFlag = 0;
                go(std::nullopt);
                return;
            }
            if (!report.clean() && m_view.ask(report.question()) == Answer::Yes) {
                m_view.showText(QStringLiteral("送信前の確認"), report.text);
                go(std::nullopt);
                return;
            }
            std::vector<int> rows;
            if (report.repeatedRows > 0 && m_view.ask(report.repeatQuestion()) == Answer::Yes)
                rows = report.onePerAddress;
            go(std::move(rows));
        });
}

void Mailing::startNewRun(const SendRunSetup &runSetup)
{
    const bool trial = parseMailServer(runSetup.server).server.kind == MailServer::Kind::Outbox;
    SendRunSetup setup = runSetup;
    std::optional<MailLogin> login = loginFor(setup.server);
    if (!login) {
        endTimerStart();
        return;
    }
    setup.login = std::move(*login);
    std::unique_ptr<SendPacer> pacer = openPacer(setup.server, setup.sender);
    if (!pacer) {
        endTimerStart();
        return;
    }
    std::unique_ptr<RunJournal> journal;
    if (trial) {
        journal = std::make_unique<NoJournal>();
    } else {
        RunIdentity identity;
        identity.source = m_source;
        identity.odbcDataSource = m_sourceOdbcConn;
        identity.odbcTableOrSql = m_sourceOdbcRec;
        identity.tableDigest = loadedTableDigest();
        identity.subject = setup.subject;
        identity.body = setup.body;
        identity.html = setup.html;
        identity.sender = setup.sender;
        identity.attachments = setup.attachments;
        identity.server = setup.server;
        identity.rows = qMax(0, m_table.lastRow());
        // A continuation sends only within the rows chosen now (one mail per address, say).
        identity.chosenRows = setup.rows;
        identity.startedAt = m_clock->now();
        Result<std::unique_ptr<SendJournal>> created = SendJournal::create(std::move(identity));
        if (!created) {
            showFailure(created.failure());
            endTimerStart();
            return;
        }
        journal = std::move(created.value());
    }
    launch(setup, std::move(journal), std::move(pacer));
}

std::unique_ptr<SendPacer> Mailing::openPacer(const QString &server, const QString &sender)
{
    // The account's record of the last 24 hours is kept even without limits, so that limits set
    // later count what already went out. A trial into a folder counts nothing.
    const MailServerParse destination = parseMailServer(server);
    if (!destination.error.isEmpty() || destination.server.kind == MailServer::Kind::Outbox)
        return std::make_unique<UnlimitedPacer>();
    const SendAccount account{destination.server.host, destination.server.user, parseSender(sender).address};
    Result<std::unique_ptr<ProviderPacer>> pacer = ProviderPacer::open(sendLimits, account, m_clock->now());
    if (!pacer) {
        showFailure(pacer.failure());
        return nullptr;
    }
    return std::move(pacer.value());
}

void Mailing::launch(const SendRunSetup &runSetup, std::unique_ptr<RunJournal> journal,
                     std::unique_ptr<SendPacer> pacer)
{
    SendRunSetup setup = runSetup;
    setup.interval = qBound<int>(0, sendInterval, 60);

    SendRunHost host;
    const int total = setup.rows.empty() ? qMax(0, m_table.lastRow()) : int(setup.rows.size());
    auto row = std::make_shared<std::pair<int, int>>(0, total);
    host.progress = [row](int k, int rows) { *row = {k, rows}; };
    host.status = [this, row](const QString &text) { m_view.showRunProgress(text, row->first, row->second); };
    host.askStop = [this] {
        return m_view.ask({StopQuestion, QStringLiteral("送信中止"), Icon::Warning, Buttons::YesNo}) ==
               Answer::Yes;
    };
    host.askGoOn = [this](const QString &question) {
        return m_view.ask({question, QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo, Answer::No}) ==
               Answer::Yes;
    };
    host.tellStopped = [this](const QString &why) {
        m_view.ask({why, QStringLiteral("送信エラー"), Icon::Critical, Buttons::Ok});
    };
    host.askWaitDay = [this](const QDateTime &until) {
        return m_view.ask({dailyLimitQuestion(until, sendLimits.perDay), QStringLiteral("送信制限"),
                           Icon::Question, Buttons::YesNo}) == Answer::Yes;
    };
    host.finished = [this](const SendSummary &summary) { runFinished(summary); };
    host.askLogin = [this, server = setup.server](const MailOutcome &refusal) {
        return loginFor(server, &refusal);
    };

    m_journal = std::move(journal);
    m_pacer = std::move(pacer);
    m_run = new SendRun(m_table, setup, sendFlag, *m_clock, std::move(host), *m_journal, *m_pacer, this);
    m_view.showActivity(MailingView::Activity::Sending);
    m_view.showRunProgress(QString(), 0, total);
    m_run->start();
}

Mailing::JournalScan Mailing::readJournals(Journals which)
{
    // Journals are files anyone's program may have left, of any size: they are read on a thread of
    // their own while the window goes on answering. Nothing loads or sends meanwhile (busy()).
    const RecipientTable table = m_table;
    QByteArray digest = m_tableDigest;
    m_readingJournals = true;
    JournalScan scan = waitOffThread<JournalScan>([&digest, table, which] {
        JournalScan found;
        const JournalStore store;
        if (which == Journals::AllTidied)
            store.removeOld(QDateTime::currentDateTime());
        if (which == Journals::OfTable) {
            if (digest.isEmpty())
                digest = tableDigest(table);
            found.tableBeingSent = TableLock::held(journalFolder(), digest);
        }
        for (JournalStore::Entry &e : store.unfinished()) {
            if (which == Journals::OfTable && (!e.report || e.report->identity.rows != table.lastRow() ||
                                               e.report->identity.tableDigest != digest))
                continue;
            found.entries.push_back(std::move(e));
        }
        return found;
    });
    m_readingJournals = false;
    if (which == Journals::OfTable)
        m_tableDigest = digest;
    return scan;
}

std::vector<JournalReport> Mailing::unfinishedRunsOfTable()
{
    std::vector<JournalReport> runs;
    for (JournalStore::Entry &e : readJournals(Journals::OfTable).entries)
        runs.push_back(std::move(e.report.value()));
    return runs;
}

const QByteArray &Mailing::loadedTableDigest()
{
    if (m_tableDigest.isEmpty())
        m_tableDigest = tableDigest(m_table);
    return m_tableDigest;
}

void Mailing::offerRunsOfTable()
{
    if (busy())
        return;
    for (const JournalReport &report : unfinishedRunsOfTable()) {
        m_offered.insert(report.path);
        if (offerRun(report))
            return;
    }
}

void Mailing::offerUnfinishedRuns()
{
    if (busy())
        return;
    // Finished and abandoned records are kept a month, to show who was mailed; then they go.
    for (JournalStore::Entry &e : readJournals(Journals::AllTidied).entries) {
        if (m_offered.contains(e.path))
            continue;
        m_offered.insert(e.path);
        if (!e.report) {
            // It cannot be continued; it is kept unless the operator throws it away.
            showFailure(e.report.failure());
            askThrowAway(e.path);
            continue;
        }
        if (offerRun(e.report.value()))
            return;
    }
}

bool Mailing::offerRun(const JournalReport &report)
{
    const QString text = QStringLiteral("前回の送信が途中で終わっています。\r\n\r\n") +
                         unfinishedRunText(report) + QStringLiteral("\r\n\r\n続きから送信しますか？");
    if (m_view.ask({text, ResumeTitle, Icon::Question, Buttons::YesNo, Answer::No}) == Answer::Yes) {
        continueRun(report.path);
        return true;
    }
    askThrowAway(report.path);
    return false;
}

void Mailing::askThrowAway(const QString &path)
{
    const QString text = QStringLiteral(
        "この送信の記録を破棄しますか？\r\n「はい」：破棄します。この送信は続きから送信できなくなります。"
        "\r\n「いいえ」：記録を残します。同じ宛先を読み込んだときや次の起動時に、もう一度お知らせします。");
    if (m_view.ask({text, ResumeTitle, Icon::Question, Buttons::YesNo, Answer::No}) != Answer::Yes)
        return;
    if (const std::optional<Failure> failure = JournalStore().abandon(path))
        showFailure(*failure);
}

bool Mailing::continueRun(const QString &path)
{
    if (busy())
        return false;
    // Locked from here on: another Velmora cannot continue the same run meanwhile. Read again under
    // the lock, off the window's thread.
    m_readingJournals = true;
    Result<std::unique_ptr<SendJournal>> reopened =
        waitOffThread<Result<std::unique_ptr<SendJournal>>>([path] { return SendJournal::reopen(path); });
    m_readingJournals = false;
    if (!reopened) {
        showFailure(reopened.failure());
        return false;
    }
    std::unique_ptr<SendJournal> journal = std::move(reopened.value());
    const JournalReport &report = *journal->report();
    const RunIdentity &id = report.identity;

    // The run's own table: the one loaded when it is that table, else its source read again.
    if (checkJournalTable(report, m_table)) {
        const RecipientSource source = recipientSourceOf(id.source);
        if (source == RecipientSource::None) {
            showFailure(Failure::sourceNotSupported(id.source));
            return false;
        }
        if (source == RecipientSource::Odbc) {
            strODBCconn = id.odbcDataSource;
            strODBCrec = id.odbcTableOrSql;
        }
        if (readSource(id.source, false) != 0)
            return false;
        if (const std::optional<Failure> other = checkJournalTable(report, m_table)) {
            showFailure(*other);
            return false;
        }
    }
    restoreStatuses(m_table, report);
    m_view.restoreInputs(continuationInputs(id, m_view.sendInputs().server));
    const SendInputs inputs = m_view.sendInputs();
    const SendCheck check = checkSendInputs(inputs, &fileExists);
    if (check.refusal) {
        m_view.ask(*check.refusal);
        if (check.clearAttachments)
            m_view.clearAttachments();
        return false;
    }
    // Nobody whose mail may have arrived is mailed again unless the operator says so.
    const bool resendUnknown =
        report.mayHaveArrived > 0 && m_view.ask({unknownRowsQuestion(report, m_table), ResumeTitle,
                                                 Icon::Warning, Buttons::YesNo, Answer::No}) == Answer::Yes;

    SendRunSetup setup;
    setup.server = trimSpaces(inputs.server);
    setup.sender = id.sender;
    setup.subject = id.subject;
    setup.body = id.body;
    setup.attachments = id.attachments;
    setup.html = id.html;
    setup.rows = rowsToContinue(report, resendUnknown);
    std::optional<MailLogin> login = loginFor(setup.server);
    if (!login)
        return false;
    setup.login = std::move(*login);
    std::unique_ptr<SendPacer> pacer = openPacer(setup.server, setup.sender);
    if (!pacer)
        return false;
    if (const std::optional<Failure> failure = journal->resume()) {
        showFailure(*failure);
        return false;
    }
    if (setup.rows.empty()) {
        // Every row has its outcome, or stays as the operator chose: the run is done.
        journal->closed(true);
        m_view.showStatus(QStringLiteral("続きから送信する宛先はありません。送信を終了しました。"));
        return false;
    }
    launch(setup, std::move(journal), std::move(pacer));
    return true;
}

void Mailing::runFinished(const SendSummary &summary)
{
    m_view.showActivity(MailingView::Activity::Idle);
    m_view.showStatus(summary.statusText());
    sendFlag = 0;
    const QString errorList = summary.errorList;
    const bool failures = summary.failed > 0;
    m_run->deleteLater();
    m_run = nullptr;
    if (failures && m_view.ask({QStringLiteral("送信エラーの行があります。表示しますか？"),
                                QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo}) == Answer::Yes)
        m_view.showText(QStringLiteral("送信エラー"), errorList);
    endTimerStart();
}

void Mailing::stop()
{
    sendFlag = 0;
    timerFlag = 0;
    if (m_cancelImport)
        m_cancelImport();
    // A check before sending still running: the run it leads to does not start.
    if (m_checkThread)
        m_checkStopped = true;
    // A waiting run or timer notices at once; a mail in flight is finished first.
    if (m_run)
        m_run->stopRequested();
    if (m_timer)
        m_timer->stopRequested();
}

void Mailing::startTimer()
{
    if (m_timer || m_run || m_checkThread)
        return;
    // The check comes now, while the operator is here; the run at the timer's end asks nothing.
    checkThen(m_view.sendInputs(), [this](std::optional<std::vector<int>> rows) {
        // The password or sign-in too is asked now; the run at the timer's end finds it kept.
        if (rows && loginFor(trimSpaces(m_view.sendInputs().server))) {
            m_timerRows = std::move(*rows);
            waitForTimer();
        }
    });
}

void Mailing::waitForTimer()
{
    m_timer = new SendTimer(
        timerHours, timerFlag, *m_clock, [this](bool due) { timerDone(due); }, this);
    m_timer->start();
    m_view.showStatus(m_timer->scheduledText());
    m_view.showActivity(MailingView::Activity::TimerWaiting);
}

void Mailing::timerDone(bool due)
{
    if (!due)
        m_view.showStatus(QStringLiteral("送信タイマーを停止しました"));
    m_view.showActivity(MailingView::Activity::Idle);
    m_timer->deleteLater();
    m_timer = nullptr;
    if (due && timerFlag != 0) {
        // timerFlag stays set during the run it starts; the run's end clears it.
        m_runFromTimer = true;
        startRun();
        return;
    }
    timerFlag = 0;
}

bool Mailing::requestClose()
{
    // While a run or a timer exists every close request is a stop request, also after a first one
    // cleared the flags and the mail in flight is still on its way: the run asks its stop question
    // once that mail is done, and the exit question comes only when nothing runs.
    if (sendFlag == -1 || timerFlag == -1 || busy()) {
        stop();
        return false;
    }
    return m_view.ask({QStringLiteral("本当にこのプログラムを終了して良いですか"),
                       QStringLiteral("Velmoraの終了"), Icon::Question, Buttons::OkCancel}) == Answer::Ok;
}

std::optional<MailLogin> Mailing::loginFor(const QString &serverText, const MailOutcome *refusal)
{
    const MailServerParse parsed = parseMailServer(serverText);
    const MailServer &server = parsed.server;
    // Forms that never authenticate, or name nobody: nothing to find, and nothing to ask again.
    if (!parsed.error.isEmpty() || server.kind == MailServer::Kind::Smtp ||
        server.kind == MailServer::Kind::Outbox || server.user.isEmpty()) {
        if (refusal)
            return std::nullopt;
        return MailLogin{};
    }
    if (server.oauth)
        return oauthLoginFor(server, refusal != nullptr);

    const QString key = secretKey(server.scheme(), server.user, server.host, server.port);
    if (!refusal) {
        if (!server.password.isEmpty())
            return MailLogin{};
        m_keyringPasswordKey.clear();
        if (SecretStore::Read typed = m_sessionSecrets.read(key); typed.status == SecretStore::Status::Found)
            return MailLogin{typed.secret, {}};
        const SecretStore::Read kept = m_secrets->read(key);
        if (kept.status == SecretStore::Status::Found) {
            m_keyringPasswordKey = key;
            return MailLogin{kept.secret, {}};
        }
        if (kept.status == SecretStore::Status::Refused)
            showFailure(Failure::keyringRefused(kept.detail));
        // libcurl reads the file itself; the check only spares the question.
        if (netrcPassword(netrcPath(), server.host, server.user))
            return MailLogin{};
    } else {
        // The refused password is forgotten wherever this session took it from.
        m_sessionSecrets.remove(key);
        if (m_keyringPasswordKey == key)
            m_secrets->remove(key);
        m_keyringPasswordKey.clear();
    }

    PasswordRequest request;
    request.endpoint = server.endpoint();
    request.user = server.user;
    request.canSave = m_secrets->available();
    if (refusal)
        request.refusal = refusal->replyText.isEmpty()
                              ? refusal->description
                              : refusal->replyText + QStringLiteral("\r\n") + refusal->advice;
    const std::optional<PasswordAnswer> answer = m_view.askPassword(request);
    if (!answer)
        return std::nullopt;
    keepLoginSecret(key, answer->password, answer->save && request.canSave);
    return MailLogin{answer->password, {}};
}

std::optional<MailLogin> Mailing::oauthLoginFor(const MailServer &server, bool again)
{
    std::optional<OAuthClient> client = oauthClientForHost(oauthSettings, server.host);
    if (!client) {
        showFailure(Failure::oauthNotConfigured(server.endpoint()));
        return std::nullopt;
    }
    if (client->provider != OAuthClient::Provider::Microsoft) {
        // Google's desktop clients come with a secret; it was entered once into the keyring.
        const QString secretName = clientSecretKey(client->provider, client->clientId);
        SecretStore::Read secret = m_sessionSecrets.read(secretName);
        if (secret.status != SecretStore::Status::Found)
            secret = m_secrets->read(secretName);
        if (secret.status == SecretStore::Status::Found)
            client->clientSecret = secret.secret;
    }
    const QString key = secretKey(server.scheme(), server.user, server.host, server.port);
    Clock *clock = m_clock;
    auto source = [&](const QString &refreshToken) {
        auto tokens = std::make_shared<OAuthTokenSource>(*client, refreshToken,
                                                         [clock] { return clock->monotonicMs(); });
        // A provider that hands out a new refresh token with each refresh wants the new one kept.
        QPointer<Mailing> self(this);
        tokens->setRefreshTokenChanged([self, key](const QString &rotated) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, key, rotated] {
                    if (self)
                        self->keepLoginSecret(key, rotated, self->m_secrets->available(), false);
                },
                Qt::QueuedConnection);
        });
        return tokens;
    };
    if (!again) {
        SecretStore::Read kept = m_sessionSecrets.read(key);
        if (kept.status != SecretStore::Status::Found) {
            kept = m_secrets->read(key);
            if (kept.status == SecretStore::Status::Refused)
                showFailure(Failure::keyringRefused(kept.detail));
        }
        if (kept.status == SecretStore::Status::Found && !kept.secret.isEmpty())
            return MailLogin{QString(), source(kept.secret)};
    } else {
        // A sign-in the server or the token endpoint refused is over: it is not tried again.
        m_sessionSecrets.remove(key);
        m_secrets->remove(key);
    }
    const TokenReply reply = m_view.signIn(*client, server.user);
    if (!reply.ok()) {
        showFailure(reply.failure.value_or(Failure::signInCancelled()));
        return std::nullopt;
    }
    std::shared_ptr<OAuthTokenSource> tokens = source(reply.refreshToken);
    tokens->setAccessToken(reply.accessToken, reply.expiresInSeconds);
    if (!reply.refreshToken.isEmpty())
        keepLoginSecret(key, reply.refreshToken, m_secrets->available());
    return MailLogin{QString(), tokens};
}

std::optional<Failure> Mailing::keepSecret(const QString &key, const QString &secret)
{
    m_sessionSecrets.write(key, secret);
    return m_secrets->write(key, secret);
}

void Mailing::keepLoginSecret(const QString &key, const QString &secret, bool inKeyring, bool tell)
{
    m_sessionSecrets.write(key, secret);
    if (!inKeyring)
        return;
    // A keyring that refuses leaves the secret in this session only; the operator is told why.
    // A token rotated during a run is not worth a box in the middle of it.
    if (const std::optional<Failure> failure = m_secrets->write(key, secret); failure && tell)
        showFailure(*failure);
}
