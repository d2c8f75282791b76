#include "send/Mailing.h"

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"

#include "platform/Clock.h"
#include "platform/Netrc.h"
#include "platform/OffThread.h"
#include "platform/Text.h"
#include "platform/formats/AddressBook.h"
#include "platform/formats/TextFile.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailServer.h"
#include "recipients/AddressCheck.h"
#include "recipients/Importers.h"
#include "send/Preflight.h"
#include "send/ScheduledRuns.h"
#include "send/SendRun.h"
#include "send/SendTimer.h"
#include "send/journal/FileStamp.h"
#include "send/journal/JournalReport.h"
#include "send/journal/JournalStore.h"
#include "send/journal/Resume.h"
#include "send/journal/RunJournal.h"
#include "send/journal/SendJournal.h"
#include "send/journal/TableLock.h"
#include "send/limits/ProviderPacer.h"
#include "send/limits/SendPacer.h"
#include "send/mailbox/MailboxCheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>

#include <future>

namespace
{
using Answer = UserDialogs::Answer;
using Buttons = UserDialogs::Buttons;
using Icon = UserDialogs::Icon;

const QString ResumeTitle = QStringLiteral("送信の再開");
const QString SaveJobTitle = QStringLiteral("送信の設定の保存");

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
    const int result = m_loader.read(strFileName, askOdbc, m_strODBCconn, m_strODBCrec, m_table, m_source);
    // Loaded or not, the table may be another now.
    m_tableDigest.clear();
    return result;
}

void Mailing::setSendInterval(qint16 seconds)
{
    const SettingKey &rule = Settings::SendInterval;
    m_sendInterval = seconds >= rule.least && seconds <= rule.most ? seconds : qint16(rule.defaultNumber);
}

void Mailing::useSettings(const SettingsStore &settings)
{
    setSendInterval(qint16(settings.number(Settings::SendInterval)));
    m_bccSelf = settings.flag(Settings::BccSelf);
    m_iso2022jp = settings.flag(Settings::Iso2022jp);
    m_sendLimits = readSendLimits(settings);
    m_oauthSettings = readOAuthSettings(settings);
    m_mailbox->setSettings(readMailboxSettings(settings));
}

MailingJob Mailing::job() const
{
    MailingJob job;
    job.source = m_source.source;
    job.odbcConnection = m_source.odbcConnection;
    job.odbcStatement = m_source.odbcStatement;
    job.inputs = m_view.sendInputs();
    job.inputs.haveAddresses = false;
    job.sendInterval = m_sendInterval;
    job.bccSelf = m_bccSelf;
    job.iso2022jp = m_iso2022jp;
    return job;
}

void Mailing::useJob(const MailingJob &job)
{
    setSendInterval(job.sendInterval);
    m_bccSelf = job.bccSelf;
    m_iso2022jp = job.iso2022jp;
    setOdbcSource(job.odbcConnection, job.odbcStatement);
}

bool Mailing::saveJob(QString path)
{
    const MailingJob saved = job();
    if (saved.source.isEmpty()) {
        m_view.ask({QStringLiteral("送信の設定を保存する前に、メールの宛先を読み込んでください。"),
                    SaveJobTitle, Icon::Warning, Buttons::Ok});
        return false;
    }
    if (QFileInfo(path).suffix().isEmpty())
        path += MailingJobSuffix;
    if (const std::optional<Failure> failure = writeMailingJob(path, saved)) {
        showFailure(*failure);
        return false;
    }
    QString told = QStringLiteral("送信の設定を「%1」に保存しました。\r\n"
                                  "velmora-send でウィンドウを開かずに送信できます。")
                       .arg(path);
    if (mailServerWithoutPassword(saved.inputs.server) != saved.inputs.server)
        told += QStringLiteral("\r\n\r\nメールサーバーのパスワードは保存していません。送信のときは"
                               "キーリングに保存したパスワードを使います。");
    m_view.ask({told, SaveJobTitle, Icon::Information, Buttons::Ok});
    return true;
}

PreflightOptions Mailing::preflightOptions() const
{
    return {recipientsPerMessage(m_sendLimits), m_bccSelf, m_iso2022jp};
}

void Mailing::setOdbcSource(const QString &strODBCconn, const QString &strODBCrec)
{
    m_strODBCconn = strODBCconn;
    m_strODBCrec = strODBCrec;
}

void Mailing::endTimerStart()
{
    if (m_runFromTimer) {
        m_runFromTimer = false;
        m_timerFlag = 0;
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
    // The server text and the sender are parsed here, once for the whole run.
    setup.target =
        mailTargetOf(inputs.server, inputs.sender, check.attachmentList.split(u'\t', Qt::SkipEmptyParts));
    setup.target.iso2022jp = m_iso2022jp;
    setup.target.imageFolder = inputs.bodyFolder;
    setup.subject = inputs.subject;
    // The body goes out with the line ends an operator's text box holds: CR LF.
    setup.body = QString(inputs.body).replace(u'\n', QStringLiteral("\r\n"));
    setup.html = inputs.html;
    if (inputs.html)
        setup.plainText = QString(inputs.plainText).replace(u'\n', QStringLiteral("\r\n"));
    setup.attachmentTemplates = check.attachmentTemplates;
    setup.bccSelf = m_bccSelf;

    // A run that sends keeps a journal from its first mail on; a trial into a folder keeps none.
    if (!setup.target.isOutbox()) {
        JournalScan scan = readJournals(Journals::OfTable);
        if (scan.tableBeingSent) {
            // Another Velmora is sending this very table: a second run would mail its rows again.
            RunIdentity loaded;
            loaded.source = m_source.source;
            loaded.odbcDataSource = m_source.odbcConnection;
            loaded.odbcTableOrSql = m_source.odbcStatement;
            showFailure(Failure::tableBeingSent(loaded.sourceText()));
            endTimerStart();
            return;
        }
        std::vector<JournalReport> unfinished;
        for (JournalStore::Entry &e : scan.entries)
            unfinished.push_back(std::move(e.report.value()));
        if (!unfinished.empty()) {
            JournalReport &last = unfinished.front();
            const Answer answer = m_view.ask(
                {QStringLiteral("この宛先の表には、途中で終わった送信があります。\r\n\r\n") +
                     unfinishedRunText(last) +
                     QStringLiteral("\r\n\r\n「はい」：続きから送信します（前回と同じ件名・本文で、まだ"
                                    "送っていない宛先にだけ送ります）。\r\n「いいえ」：1件目から全員に送信し"
                                    "直します（前回の記録は破棄します）。\r\n「キャンセル」：送信しません。"),
                 ResumeTitle, Icon::Question, Buttons::YesNoCancel, Answer::Cancel});
            if (answer == Answer::Yes) {
                if (!continueRun(last.path, &last))
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
        this,
        [table, inputs, options = preflightOptions()] { return checkBeforeSending(table, inputs, options); },
        [this, go = std::move(go)](PreflightReport report) {
            m_checkThread = nullptr;
            m_view.showActivity(MailingView::Activity::Idle);
            m_view.showStatus(QString());
            if (m_checkStopped) {
                m_sendFlag = m_timerFlag = 0;
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
    SendRunSetup setup = runSetup;
    std::optional<MailLogin> login = m_logins.loginFor(setup.target.destination);
    if (!login) {
        endTimerStart();
        return;
    }
    setup.target.login = std::move(*login);
    std::unique_ptr<SendPacer> pacer = openPacer(setup.target);
    if (!pacer) {
        endTimerStart();
        return;
    }
    std::unique_ptr<RunJournal> journal;
    if (setup.target.isOutbox()) {
        journal = std::make_unique<NoJournal>();
    } else {
        RunIdentity identity;
        identity.source = m_source.source;
        identity.odbcDataSource = m_source.odbcConnection;
        identity.odbcTableOrSql = m_source.odbcStatement;
        identity.tableDigest = loadedTableDigest();
        identity.subject = setup.subject;
        identity.body = setup.body;
        identity.html = setup.html;
        identity.sender = setup.target.senderText;
        identity.attachments = setup.target.attachments;
        identity.attachmentTemplates = setup.attachmentTemplates;
        identity.plainText = setup.plainText;
        identity.imageFolder = setup.target.imageFolder;
        identity.bccSelf = setup.bccSelf;
        identity.iso2022jp = setup.target.iso2022jp;
        // What every row's attachments were when the run began, to tell a change on continuing.
        for (const QString &file : setup.target.attachments)
            if (const std::optional<FileStamp> stamp = stampOf(file))
                identity.attachmentStamps.push_back(*stamp);
        identity.server = setup.target.serverText;
        identity.rows = qMax(0, m_table.lastRow());
        // A continuation sends only within the rows chosen now (one mail per address, say).
        identity.chosenRows = setup.rows;
        identity.startedAt = m_clock->now();
        identity.mailToken = setup.mailToken = newMailToken();
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

std::unique_ptr<SendPacer> Mailing::openPacer(const MailTarget &target)
{
    // The account's record of the last 24 hours is kept even without limits, so that limits set
    // later count what already went out. A trial into a folder counts nothing.
    if (!target.destination.error.isEmpty() || target.isOutbox())
        return std::make_unique<UnlimitedPacer>();
    const SendAccount account{target.server().host, target.server().user, target.sender.address};
    Result<std::unique_ptr<ProviderPacer>> pacer = ProviderPacer::open(m_sendLimits, account, m_clock->now());
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
    setup.interval = m_sendInterval;

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
        return m_view.ask({question, QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo,
                           Answer::No}) == Answer::Yes;
    };
    host.tellStopped = [this](const QString &why) {
        m_view.ask({why, QStringLiteral("送信エラー"), Icon::Critical, Buttons::Ok});
    };
    host.askWaitDay = [this](const QDateTime &until) {
        return m_view.ask({dailyLimitQuestion(until, m_sendLimits.perDay), QStringLiteral("送信制限"),
                           Icon::Question, Buttons::YesNo, std::nullopt, MailingTopic::WaitForLimit}) ==
               Answer::Yes;
    };
    host.finished = [this](const SendSummary &summary) { runFinished(summary); };
    host.askLogin = [this, destination = setup.target.destination](const MailOutcome &refusal) {
        return m_logins.loginFor(destination, &refusal);
    };
    host.sendFlag = [this] { return m_sendFlag; };
    host.setSendFlag = [this](qint16 flag) { m_sendFlag = flag; };

    // Copies for the Sent folder are only spooled by the sending thread; their own thread appends them.
    if (m_mailbox->copiesFor(setup.target))
        if (std::optional<std::pair<MailboxServer, MailLogin>> box = mailboxLogin(setup.target.serverText))
            m_sentCopies = m_mailbox->sentCopies(box->first, box->second);
    if (SentCopies *copies = m_sentCopies.get())
        setup.onAccepted = [copies](int, const QByteArray &message) { copies->keep(message); };
    m_journal = std::move(journal);
    m_pacer = std::move(pacer);
    m_run = new SendRun(m_table, setup, *m_clock, std::move(host), *m_journal, *m_pacer, this);
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
        // The loaded table's digest tells its runs from the others, and continuing one needs it:
        // it is made on the other core meanwhile.
        std::future<QByteArray> made;
        if (digest.isEmpty() && (which == Journals::OfTable || table.lastRow() > 0))
            made = std::async(std::launch::async, [&table] { return tableDigest(table); });
        JournalScan found;
        const JournalStore store;
        if (which == Journals::AllTidied)
            store.removeOld(QDateTime::currentDateTime());
        std::vector<JournalStore::Entry> unfinished = store.unfinished();
        if (made.valid())
            digest = made.get();
        if (which == Journals::OfTable)
            found.tableBeingSent = TableLock::held(journalFolder(), digest);
        for (JournalStore::Entry &e : unfinished) {
            if (which == Journals::OfTable && (!e.report || e.report->identity.rows != table.lastRow() ||
                                               e.report->identity.tableDigest != digest))
                continue;
            found.entries.push_back(std::move(e));
        }
        return found;
    });
    m_readingJournals = false;
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
    for (JournalReport &report : unfinishedRunsOfTable()) {
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

void Mailing::tellLostScheduledRuns()
{
    if (busy())
        return;
    // The session is asked about each timer: off the window's thread.
    m_readingJournals = true;
    const std::vector<ScheduledRun> runs =
        waitOffThread<std::vector<ScheduledRun>>([] { return ScheduledRuns::list(); });
    m_readingJournals = false;
    QStringList lines;
    for (const ScheduledRun &run : runs) {
        if (run.state != ScheduledRun::State::Lost || run.told)
            continue;
        lines.append(
            QStringLiteral("・%1　%2")
                .arg(run.at.toString(QStringLiteral("yyyy/MM/dd HH:mm")), QFileInfo(run.source).fileName()));
        ScheduledRuns::markTold(run);
    }
    if (lines.isEmpty())
        return;
    m_view.ask({QStringLiteral("Velmora を閉じても送信するよう予約した次の送信は、開始されませんでした"
                               "（ログアウトや再起動で予約が消えた可能性があります）。\r\n\r\n%1\r\n\r\n"
                               "「予約した送信(Y)...」の一覧で確かめて、もう一度予約するか送信してください。")
                    .arg(lines.join(QStringLiteral("\r\n"))),
                QStringLiteral("予約した送信"), Icon::Warning, Buttons::Ok});
}

bool Mailing::offerRun(JournalReport &report)
{
    const QString text = QStringLiteral("前回の送信が途中で終わっています。\r\n\r\n") +
                         unfinishedRunText(report) + QStringLiteral("\r\n\r\n続きから送信しますか？");
    if (m_view.ask({text, ResumeTitle, Icon::Question, Buttons::YesNo, Answer::No,
                    MailingTopic::ContinueRun}) == Answer::Yes) {
        continueRun(report.path, &report);
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

bool Mailing::continueRun(const QString &path, JournalReport *listed)
{
    if (busy())
        return false;
    // Locked from here on: another Velmora cannot continue the same run meanwhile. Read again under
    // the lock (unless unchanged since it was listed), off the window's thread. Mails of unknown
    // outcome that the provider filed as sent are settled first, which changes the journal.
    const QString resolved = resolveInSent(path, m_view.sendInputs().server, listed);
    m_readingJournals = true;
    Result<std::unique_ptr<SendJournal>> reopened = waitOffThread<Result<std::unique_ptr<SendJournal>>>(
        [path, listed] { return SendJournal::reopen(path, currentBootId(), listed); });
    m_readingJournals = false;
    if (!reopened) {
        showFailure(reopened.failure());
        return false;
    }
    std::unique_ptr<SendJournal> journal = std::move(reopened.value());
    const JournalReport &report = *journal->report();
    const RunIdentity &id = report.identity;

    // The run's own table: the one loaded when it is that table, else its source read again.
    const auto sameTable = [&] {
        return m_table.lastRow() == id.rows && loadedTableDigest() == id.tableDigest;
    };
    if (!sameTable()) {
        const RecipientSource source = recipientSourceOf(id.source);
        if (source == RecipientSource::None) {
            showFailure(Failure::sourceNotSupported(id.source));
            return false;
        }
        if (source == RecipientSource::Odbc)
            setOdbcSource(id.odbcDataSource, id.odbcTableOrSql);
        if (readSource(id.source, false) != 0)
            return false;
        if (!sameTable()) {
            showFailure(Failure::journalOtherTable(report.path, id.sourceText()));
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
    if (!resolved.isEmpty() && report.mayHaveArrived == 0)
        m_view.ask({resolved, ResumeTitle, Icon::Information, Buttons::Ok});
    const QString note = resolved.isEmpty() ? QString() : resolved + QStringLiteral("\r\n\r\n");
    const bool resendUnknown =
        report.mayHaveArrived > 0 &&
        m_view.ask({note + unknownRowsQuestion(report, m_table), ResumeTitle, Icon::Warning, Buttons::YesNo,
                    Answer::No, MailingTopic::ResendUnknown}) == Answer::Yes;

    SendRunSetup setup;
    setup.target = mailTargetOf(inputs.server, id.sender, id.attachments);
    setup.target.iso2022jp = id.iso2022jp;
    setup.target.imageFolder = id.imageFolder;
    setup.subject = id.subject;
    setup.body = id.body;
    setup.html = id.html;
    setup.plainText = id.plainText;
    setup.attachmentTemplates = id.attachmentTemplates;
    setup.bccSelf = id.bccSelf;
    setup.rows = rowsToContinue(report, resendUnknown);
    setup.mailToken = id.mailToken;
    // A file changed since it was recorded is not sent without the operator's word.
    const QString changed = changedAttachments(report, setup.rows);
    if (!changed.isEmpty() &&
        m_view.ask({QStringLiteral("次の添付ファイルは、前回の送信のときから変わっています。\r\n\r\n%1\r\n"
                                   "このまま続きを送信しますか？（「いいえ」で送信しません）")
                        .arg(changed),
                    ResumeTitle, Icon::Warning, Buttons::YesNo, Answer::No}) != Answer::Yes)
        return false;
    std::optional<MailLogin> login = m_logins.loginFor(setup.target.destination);
    if (!login)
        return false;
    setup.target.login = std::move(*login);
    std::unique_ptr<SendPacer> pacer = openPacer(setup.target);
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
    // A run that started late says so with its outcome.
    m_view.showStatus(m_lateStart.isEmpty() ? summary.statusText()
                                            : m_lateStart + QStringLiteral("。") + summary.statusText());
    m_lateStart.clear();
    m_sendFlag = 0;
    const QString errorList = summary.errorList;
    const bool failures = summary.failed > 0;
    m_run->deleteLater();
    m_run = nullptr;
    m_mailbox->finishCopies(std::move(m_sentCopies),
                            [this](const QString &text) { m_view.showStatus(text); });
    const MailboxSettings &box = m_mailbox->settings();
    if (box.configured() && box.autoCheck && !summary.trial && summary.sent > 0)
        m_mailboxAlarm = m_clock->callAfter(qint64(box.autoCheckMinutes) * 60 * 1000, [this] {
            m_mailboxAlarm.reset();
            checkMailbox(true);
        });
    if (failures && m_view.ask({QStringLiteral("送信エラーの行があります。表示しますか？"),
                                QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo}) == Answer::Yes)
        m_view.showText(QStringLiteral("送信エラー"), errorList);
    endTimerStart();
    m_view.showRunEnded(summary);
}

std::optional<std::pair<MailboxServer, MailLogin>> Mailing::mailboxLogin(const QString &serverText)
{
    const MailServerParse sending = parseMailServer(trimSpaces(serverText));
    if (!sending.error.isEmpty()) {
        m_view.ask({sending.error, QStringLiteral("受信箱"), Icon::Warning, Buttons::Ok});
        return std::nullopt;
    }
    Result<MailboxServer> box = m_mailbox->mailboxFor(sending.server);
    if (!box) {
        m_view.ask({box.failure().description, QStringLiteral("受信箱"), Icon::Warning, Buttons::Ok});
        return std::nullopt;
    }
    // The mailbox signs in as the sending server does: its password, or its OAuth sign-in. A server
    // that takes mail without signing in (a relay of the office) leaves the mailbox its own password,
    // asked for and kept as a sending server's is.
    MailServerParse signIn = sending;
    if (sending.server.user.isEmpty() && !box->oauth) {
        signIn.server.kind = MailServer::Kind::Smtps;
        signIn.server.host = box->host;
        signIn.server.port = box->port;
        signIn.server.user = box->user;
        signIn.server.password.clear();
    }
    std::optional<MailLogin> login = m_logins.loginFor(signIn);
    if (!login)
        return std::nullopt;
    // A password written in the server text goes to the sending server apart from the login.
    if (login->password.isEmpty() && !login->oauth)
        login->password = signIn.server.password;
    return std::pair{box.value(), std::move(*login)};
}

QString Mailing::resolveInSent(const QString &path, const QString &server, const JournalReport *listed)
{
    if (!m_mailbox->settings().configured() || (listed && listed->mayHaveArrived == 0))
        return {};
    m_readingJournals = true;
    Result<JournalReport> report = waitOffThread<Result<JournalReport>>([path] { return readJournal(path); });
    m_readingJournals = false;
    if (!report || report->mayHaveArrived == 0 || report->identity.mailToken.isEmpty())
        return {};
    // The run's server, with the window's password when the window holds the same server.
    std::optional<std::pair<MailboxServer, MailLogin>> box =
        mailboxLogin(continuationInputs(report->identity, server).server);
    if (!box)
        return {};
    m_view.showStatus(QStringLiteral("届いたかどうか分からないメールを送信済みフォルダーで確認しています…"));
    const ImapSettings settings = m_mailbox->imapSettings();
    m_readingJournals = true;
    Result<MailboxFindings> found =
        waitOffThread<Result<MailboxFindings>>([&box, &report, settings]() -> Result<MailboxFindings> {
            ImapMailbox mailbox(box->first, settings, box->second);
            if (std::optional<Failure> failed = mailbox.open())
                return *failed;
            MailboxFindings f;
            if (std::optional<Failure> failed = findInSent(mailbox, report.value(), f))
                return *failed;
            mailbox.close();
            return f;
        });
    m_readingJournals = false;
    m_view.showStatus(QString());
    if (!found) {
        // Without the mailbox the question stays as it always was.
        m_view.ask({QStringLiteral("送信済みフォルダーを確認できませんでした。\r\n%1")
                        .arg(found.failure().description),
                    ResumeTitle, Icon::Warning, Buttons::Ok});
        return {};
    }
    if (found->foundInSent.empty())
        return {};
    if (std::optional<Failure> failed = SendJournal::recordFindings(path, found->findings)) {
        showFailure(*failed);
        return {};
    }
    QStringList rows;
    for (const int row : found->foundInSent)
        rows += QStringLiteral("%1行目").arg(row);
    return QStringLiteral(
               "届いたかどうか分からなかった %1 件（%2）は送信済みフォルダーにあったため、送信OKとしました。")
        .arg(found->foundInSent.size())
        .arg(rows.mid(0, 20).join(QStringLiteral("、")) +
             (rows.size() > 20 ? QStringLiteral("ほか") : QString()));
}

void Mailing::checkMailbox(bool quiet)
{
    const QString title = QStringLiteral("不達の確認");
    if (m_mailbox->looking() || m_run) {
        if (!quiet)
            m_view.ask({QStringLiteral("送信中または確認中のため、いまは確認できません。"), title,
                        Icon::Information, Buttons::Ok});
        return;
    }
    if (!quiet && !m_mailbox->settings().configured()) {
        m_view.ask({QStringLiteral("受信箱（IMAP）が設定されていません。「送信」メニューの「受信箱の設定」で"
                                   "設定してください。"),
                    title, Icon::Information, Buttons::Ok});
        return;
    }
    const QByteArray digest = loadedTableDigest();
    m_readingJournals = true;
    std::optional<JournalStore::Entry> run = waitOffThread<std::optional<JournalStore::Entry>>(
        [digest] { return JournalStore().latestOfTable(digest); });
    m_readingJournals = false;
    if (!run) {
        if (!quiet)
            m_view.ask({QStringLiteral("読み込んだ宛先に送信した記録がありません。"), title,
                        Icon::Information, Buttons::Ok});
        return;
    }
    if (!run->report) {
        showFailure(run->report.failure());
        return;
    }
    std::optional<std::pair<MailboxServer, MailLogin>> box =
        mailboxLogin(continuationInputs(run->report->identity, m_view.sendInputs().server).server);
    if (!box)
        return;
    m_view.showStatus(QStringLiteral("受信箱の配信の通知を確認しています…"));
    const QString path = run->path;
    m_mailbox->look(box->first, box->second, run->report.value(), m_table, true,
                    [this, path, digest, quiet, title](Result<MailboxFindings> found) {
                        if (!found) {
                            m_view.showStatus(QStringLiteral("不達の確認ができませんでした"));
                            if (!quiet)
                                m_view.ask({found.failure().description, title, Icon::Warning, Buttons::Ok});
                            return;
                        }
                        std::optional<Failure> failed = SendJournal::recordFindings(path, found->findings);
                        // The rows of the table still loaded show what the journal now says.
                        if (!failed && digest == loadedTableDigest()) {
                            if (Result<JournalReport> now = readJournal(path))
                                restoreStatuses(m_table, now.value());
                        }
                        const bool changed = !found->bounced.empty() || !found->foundInSent.empty();
                        m_view.showStatus(QStringLiteral("不達 %1 件、遅延 %2 件")
                                              .arg(found->bounced.size())
                                              .arg(found->delayed.size()));
                        if (failed)
                            showFailure(*failed);
                        else if (!quiet || changed)
                            m_view.showText(title, found->summary(m_table));
                    });
}

void Mailing::stop()
{
    m_sendFlag = 0;
    m_timerFlag = 0;
    m_loader.cancel();
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
    startTimerAt(std::nullopt, false);
}

void Mailing::startTimerAt(std::optional<QDateTime> at, bool askWhenLate)
{
    if (m_timer || m_run || m_checkThread)
        return;
    // The check comes now, while the operator is here; the run at the timer's end asks nothing.
    checkThen(m_view.sendInputs(), [this, at, askWhenLate](std::optional<std::vector<int>> rows) {
        // The password or sign-in too is asked now; the run at the timer's end finds it kept.
        if (rows && m_logins.loginFor(mailTargetOf(m_view.sendInputs().server, QString(), {}).destination)) {
            m_timerRows = std::move(*rows);
            m_askWhenLate = askWhenLate;
            waitForTimer(at);
        }
    });
}

void Mailing::handOff(const QDateTime &at, bool askWhenLate)
{
    if (m_timer || m_run || m_checkThread)
        return;
    const MailingJob saved = job();
    if (saved.source.isEmpty())
        return;
    checkThen(m_view.sendInputs(), [this, at, askWhenLate, saved](std::optional<std::vector<int>> rows) {
        const MailServerParse destination = mailTargetOf(saved.inputs.server, QString(), {}).destination;
        if (!rows || !m_logins.loginFor(destination) || !m_logins.keptForLater(destination))
            return;
        // The operator answered the check now; velmora-send keeps to those answers at the time.
        SendCommandOptions answers;
        answers.ignoreCheck = true;
        answers.everyRow = rows->empty();
        answers.skipIfLate = askWhenLate; // nobody is there to be asked
        const Result<ScheduledRun> run = ScheduledRuns::add(saved, at, answers);
        if (!run) {
            showFailure(run.failure());
            return;
        }
        QString told = QStringLiteral("%1 に送信します。Velmora を閉じても送信されます。\r\n"
                                      "予約は「送信 → 予約した送信」で確認や取り消しができます。")
                           .arg(at.toString(QStringLiteral("yyyy/MM/dd HH:mm")));
        if (askWhenLate)
            told += QStringLiteral("\r\nスリープなどで予定時刻を過ぎたときは送信しません。");
        if (const QString warning = ScheduledRuns::logoutWarning(); !warning.isEmpty())
            told += QStringLiteral("\r\n\r\n") + warning;
        m_view.ask({told, QStringLiteral("送信の予約"), Icon::Information, Buttons::Ok});
    });
}

void Mailing::waitForTimer(std::optional<QDateTime> at)
{
    auto flag = [this] { return m_timerFlag; };
    auto setFlag = [this](qint16 value) { m_timerFlag = value; };
    auto done = [this](bool due) { timerDone(due); };
    m_timer = at ? new SendTimer(*at, flag, setFlag, *m_clock, done, this)
                 : new SendTimer(m_timerHours, flag, setFlag, *m_clock, done, this);
    m_timerAtDateTime = at.has_value();
    m_timer->start();
    m_view.showStatus(m_timer->scheduledText());
    m_view.showActivity(MailingView::Activity::TimerWaiting);
}

void Mailing::timerDone(bool due)
{
    if (!due)
        m_view.showStatus(QStringLiteral("送信タイマーを停止しました"));
    m_view.showActivity(MailingView::Activity::Idle);
    const bool late = due && m_timerAtDateTime && m_timer->late();
    const QDateTime scheduled = m_timer->scheduled();
    m_timer->deleteLater();
    m_timer = nullptr;
    m_lateStart.clear();
    if (late) {
        // The machine slept through the time: nobody may expect these mails to go now.
        if (m_askWhenLate &&
            m_view.ask({QStringLiteral("スリープ中などに予定時刻（%1）を過ぎました。今から送信しますか？")
                            .arg(scheduled.toString(QStringLiteral("M月d日 HH:mm"))),
                        QStringLiteral("送信タイマー"), Icon::Question, Buttons::YesNo, Answer::No}) !=
                Answer::Yes) {
            m_view.showStatus(QStringLiteral("予定時刻を過ぎたため、送信しませんでした"));
            m_timerFlag = 0;
            return;
        }
        m_lateStart = lateStartText(m_clock->now());
        m_view.showStatus(m_lateStart);
    }
    if (due && m_timerFlag != 0) {
        // timerFlag stays set during the run it starts; the run's end clears it.
        m_runFromTimer = true;
        startRun();
        return;
    }
    m_timerFlag = 0;
}

bool Mailing::requestClose()
{
    // While a run or a timer exists every close request is a stop request, also after a first one
    // cleared the flags and the mail in flight is still on its way: the run asks its stop question
    // once that mail is done, and the exit question comes only when nothing runs.
    if (m_sendFlag == -1 || m_timerFlag == -1 || busy()) {
        stop();
        return false;
    }
    return m_view.ask({QStringLiteral("本当にこのプログラムを終了して良いですか"),
                       QStringLiteral("Velmoraの終了"), Icon::Question, Buttons::OkCancel}) == Answer::Ok;
}
