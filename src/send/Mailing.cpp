#include "Mailing.h"

#include "AddressBook.h"
#include "AddressCheck.h"
#include "Clock.h"
#include "Importers.h"
#include "JournalReport.h"
#include "MailArguments.h"
#include "MailServer.h"
#include "ProviderPacer.h"
#include "RunJournal.h"
#include "SendJournal.h"
#include "SendPacer.h"
#include "SendRun.h"
#include "SendTimer.h"
#include "Text.h"
#include "TextFile.h"

#include <QElapsedTimer>

namespace
{
using Answer = UserDialogs::Answer;
using Buttons = UserDialogs::Buttons;
using Icon = UserDialogs::Icon;

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
    // A run still going (the window destroyed without a close request) ends before the table does.
    delete m_run;
    delete m_timer;
}

void Mailing::showFailure(const Failure &failure)
{
    m_view.ask({failure.description, QString::number(failure.number), Icon::Critical, Buttons::Ok});
}

int Mailing::AddressRead(const QString &strFileName)
{
    // Kept so that a table the address check cannot use never replaces a good one.
    const RecipientTable previous = m_table;
    const RecipientSource source = recipientSourceOf(strFileName);
    int result = 0;
    if (source != RecipientSource::None)
        m_view.showStatus(sourceStatusText(source));
    switch (source) {
    case RecipientSource::Excel:
    case RecipientSource::OpenDocument: result = takeImport(ExcelDataGet(strFileName)); break;
    case RecipientSource::Csv: result = takeImport(CSVDataGet(strFileName)); break;
    case RecipientSource::Outlook: {
        // Every entry passes through the status line; painting it for each of thousands of entries
        // would cost more than reading the book, so it is painted at most every 50 ms.
        QElapsedTimer sincePaint;
        sincePaint.start();
        const StatusSink status = [&](const QString &text) {
            const bool paint = sincePaint.elapsed() >= 50;
            if (paint)
                sincePaint.restart();
            m_view.showStatus(text, paint);
        };
        result = takeImport(OutlookDataGet(AddressBookPlaces::fromEnvironment(), status));
        break;
    }
    case RecipientSource::Odbc: result = odbcDataGet(); break;
    case RecipientSource::VCard: result = takeImport(VCardDataGet(strFileName)); break;
    case RecipientSource::None: break;
    }
    if (result < 0)
        return -1;

    const Result<AddressCheck> check = checkAddresses(m_table);
    if (!check) {
        m_table = previous;
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

int Mailing::takeImport(Result<RecipientTable> imported)
{
    // The new table replaces the loaded one only when it was read whole.
    if (!imported) {
        showFailure(imported.failure());
        return -1;
    }
    m_table = std::move(imported.value());
    return 0;
}

int Mailing::odbcDataGet()
{
    m_view.showStatus(QString());
    m_view.chooseOdbcSource(strODBCconn, strODBCrec);
    if (strODBCrec.isEmpty() || strODBCconn.isEmpty())
        return -1;
    Result<RecipientTable> imported = ODBCDataGet(strODBCconn, strODBCrec, [this](qint64 records) {
        m_view.showStatus(QStringLiteral("ODBCデータベースから読込中：%1件").arg(records));
    });
    if (!imported)
        m_view.showStatus(QString());
    return takeImport(std::move(imported));
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
        if (m_runFromTimer) {
            m_runFromTimer = false;
            timerFlag = 0;
        }
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
    setup.interval = qBound<int>(0, sendInterval, 60);

    SendRunHost host;
    auto row = std::make_shared<std::pair<int, int>>(0, qMax(0, m_table.lastRow()));
    host.progress = [row](int k, int rows) { *row = {k, rows}; };
    host.status = [this, row](const QString &text) { m_view.showRunProgress(text, row->first, row->second); };
    host.askStop = [this] {
        return m_view.ask({StopQuestion, QStringLiteral("送信中止"), Icon::Warning, Buttons::YesNo}) ==
               Answer::Yes;
    };
    host.askGoOn = [this](const QString &question) {
        return m_view.ask({question, QStringLiteral("送信エラー"), Icon::Warning, Buttons::YesNo}) ==
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

    // A run that sends keeps a journal from its first mail on; a trial into a folder keeps none.
    const bool trial = parseMailServer(setup.server).server.kind == MailServer::Kind::Outbox;
    if (trial) {
        m_journal = std::make_unique<NoJournal>();
    } else {
        RunIdentity identity;
        identity.source = m_source;
        identity.odbcDataSource = m_sourceOdbcConn;
        identity.odbcTableOrSql = m_sourceOdbcRec;
        identity.tableDigest = tableDigest(m_table);
        identity.subject = setup.subject;
        identity.body = setup.body;
        identity.html = setup.html;
        identity.sender = setup.sender;
        identity.attachments = setup.attachments;
        identity.server = setup.server;
        identity.rows = qMax(0, m_table.lastRow());
        identity.startedAt = m_clock->now();
        Result<std::unique_ptr<SendJournal>> journal = SendJournal::create(std::move(identity));
        if (!journal) {
            showFailure(journal.failure());
            return;
        }
        m_journal = std::move(journal.value());
    }
    // The account's record of the last 24 hours is kept even without limits, so that limits set
    // later count what already went out. A trial into a folder counts nothing.
    const MailServerParse destination = parseMailServer(setup.server);
    if (destination.error.isEmpty() && destination.server.kind != MailServer::Kind::Outbox) {
        const SendAccount account{destination.server.host, destination.server.user,
                                  parseSender(setup.sender).address};
        Result<std::unique_ptr<ProviderPacer>> pacer =
            ProviderPacer::open(sendLimits, account, m_clock->now());
        if (!pacer) {
            showFailure(pacer.failure());
            return;
        }
        m_pacer = std::move(pacer.value());
    } else {
        m_pacer = std::make_unique<UnlimitedPacer>();
    }
    m_run = new SendRun(m_table, setup, sendFlag, *m_clock, std::move(host), *m_journal, *m_pacer, this);
    m_view.showActivity(MailingView::Activity::Sending);
    m_view.showRunProgress(QString(), 0, row->second);
    m_run->start();
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
    if (m_runFromTimer) {
        m_runFromTimer = false;
        timerFlag = 0;
    }
}

void Mailing::stop()
{
    sendFlag = 0;
    timerFlag = 0;
    // A waiting run or timer notices at once; a mail in flight is finished first.
    if (m_run)
        m_run->stopRequested();
    if (m_timer)
        m_timer->stopRequested();
}

void Mailing::startTimer()
{
    if (m_timer || m_run)
        return;
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
