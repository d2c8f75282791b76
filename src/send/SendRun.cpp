#include "SendRun.h"

#include "MailServer.h"
#include "SendChecks.h"
#include "SendFailure.h"
#include "SendMail.h"
#include "Text.h"

#include <QThread>

namespace
{
} // namespace

QString SendSummary::statusText() const
{
    const QString ok = QString::number(sent), ng = QString::number(failed);
    if (trial) {
        // Nothing left the machine: say so, and where the mails are.
        if (stopped)
            return QStringLiteral(
                       "試行を中止しました。%1件を「%2」に保存、エラー%3件。メールは送信していません。")
                .arg(ok, outboxFolder, ng);
        return QStringLiteral("試行完了：%1件中、%2件を「%3」に保存、エラー%4件。メールは送信していません。")
            .arg(QString::number(rows), ok, outboxFolder, ng);
    }
    if (stopped)
        return QStringLiteral("送信を中止しました。正常") + ok + QStringLiteral("件、エラー") + ng +
               QStringLiteral("件。");
    return QStringLiteral("送信完了：") + QString::number(rows) + QStringLiteral("件中、正常") + ok +
           QStringLiteral("件、エラー") + ng + QStringLiteral("件。");
}

SendRun::SendRun(RecipientTable &table, const SendRunSetup &setup, qint16 &sendFlag, Clock &clock,
                 SendRunHost host, QObject *parent)
    : QObject(parent), m_table(table), m_setup(setup), m_sendFlag(sendFlag), m_clock(clock),
      m_host(std::move(host)), m_send(&SendMail), m_merger(table, setup.subject, setup.body)
{
    m_recipientHeader = setup.html ? QStringLiteral(">Content-Type: text/html;")
                                   : QStringLiteral(">Content-Type: text/plain;");
    m_summary.rows = qMax(0, table.lastRow());
    const MailServerParse destination = parseMailServer(setup.server);
    if (destination.error.isEmpty() && destination.server.kind == MailServer::Kind::Outbox) {
        m_summary.trial = true;
        m_summary.outboxFolder = destination.server.folder;
    }
}

SendRun::~SendRun()
{
    m_alarm.reset();
    m_stopAsked = true; // the worker starts no further row
    if (m_thread) {
        // A mail in flight is finished first; its outcome is no longer wanted.
        m_thread->quit();
        m_thread->wait();
        delete m_worker;
        delete m_thread;
    }
}

void SendRun::start()
{
    m_sendFlag = -1;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("SendMail"));
    m_worker = new QObject;
    m_worker->moveToThread(m_thread);
    m_thread->start();
    m_row = 1;
    if (m_summary.rows == 0) {
        finish(false);
        return;
    }
    sendRow();
}

void SendRun::sendRow()
{
    m_state = State::Sending;
    const int k = m_row;
    if (m_setup.interval > 0 && k < m_summary.rows) {
        // Whole clock seconds: the wait ends when the clock's second count has moved on by the
        // interval since this row began, so a send longer than the interval gets no pause.
        const int msInSecond = m_clock.now().time().msec();
        m_waitUntil = m_clock.monotonicMs() - msInSecond + qint64(m_setup.interval) * 1000;
    }
    Mail mail;
    {
        std::lock_guard lock(m_aheadMutex);
        if (m_ahead && m_ahead->row == k)
            mail = std::move(*m_ahead);
        m_ahead.reset();
    }
    if (mail.row != k)
        mail = prepare(k);
    rowStarted(k, mail.address);
    QMetaObject::invokeMethod(
        m_worker, [this, mail = std::move(mail)]() mutable { workerSend(std::move(mail)); },
        Qt::QueuedConnection);
    prepareAhead(k + 1);
}

void SendRun::rowStarted(int k, const QString &address)
{
    m_address = address;
    m_host.progress(k, m_summary.rows);
    m_host.status(QString::number(k) + QStringLiteral(") ") + m_address +
                  (m_summary.trial ? QStringLiteral("を保存中...") : QStringLiteral("を送信中...")));
}

void SendRun::prepareAhead(int k)
{
    if (k > m_summary.rows)
        return;
    Mail next = prepare(k);
    m_aheadAddress = next.address;
    std::lock_guard lock(m_aheadMutex);
    m_ahead = std::move(next);
}

void SendRun::workerSend(Mail mail)
{
    // On the worker. Without an interval, a row that went well (or failed for its own reason) is
    // followed at once by the next one when it is ready and no stop was asked for: the window's
    // round trip stays out of the way of the mails. Anything that needs a question stops here.
    for (;;) {
        const QString result = !mail.mergeFailure.isEmpty()
                                   ? mail.mergeFailure
                                   : m_send(m_setup.server, mail.recipients, m_setup.sender, mail.subject,
                                            mail.body, m_setup.attachmentList);
        std::optional<Mail> next;
        if (m_setup.interval == 0 && !m_stopAsked.load() &&
            (result.isEmpty() || sendFailureScope(result) == SendFailureScope::Row)) {
            std::lock_guard lock(m_aheadMutex);
            if (m_ahead && m_ahead->row == mail.row + 1) {
                next = std::move(m_ahead);
                m_ahead.reset();
            }
        }
        const bool nextStarted = next.has_value();
        QMetaObject::invokeMethod(
            this, [this, result, nextStarted] { rowDone(result, nextStarted); }, Qt::QueuedConnection);
        if (!nextStarted)
            return;
        mail = std::move(*next);
    }
}

SendRun::Mail SendRun::prepare(int k) const
{
    // The merge reads data columns only, so a row merged ahead is the same as one merged when due.
    Mail mail;
    mail.row = k;
    mail.address = m_table.hasCell(k, 1) ? trimSpaces(m_table.cell(k, 1)) : QString();
    mail.recipients = m_recipientHeader + u'\t' + addressElement(mail.address);
    Result<MergedMail> merged = m_merger.mail(k);
    if (!merged) {
        mail.mergeFailure = merged.failure().description;
        return mail;
    }
    mail.subject = std::move(merged->subject);
    mail.body = std::move(merged->body);
    return mail;
}

void SendRun::rowDone(const QString &result, bool nextStarted)
{
    const int k = m_row;
    // A trial writes files only: no row is marked as sent, nor as failed to send.
    const bool mark = !m_summary.trial && m_table.hasCell(k, 0);
    if (result.isEmpty()) {
        ++m_summary.sent;
        if (mark) {
            m_table.setCell(k, 0, StatusSent);
            m_table.setReason(k, QString());
        }
    } else {
        ++m_summary.failed;
        if (mark) {
            m_table.setCell(k, 0, StatusFailed);
            // The list window shows why, beside the grid's columns.
            m_table.setReason(k, oneLine(result));
        }
        const QString where = QString::number(k) + QStringLiteral("行目の [") + m_address + u']';
        m_summary.errorList += where + u' ' + oneLine(result) + QStringLiteral("\r\n");
        m_host.status(
            where + (m_summary.trial ? QStringLiteral("は保存エラー！") : QStringLiteral("は送信エラー！")));
        if (sendFailureScope(result) == SendFailureScope::Server) {
            m_state = State::Asking;
            if (!m_host.askGoOn(serverFailureQuestion(k, m_address, result))) {
                m_sendFlag = 0;
                finish(true);
                return;
            }
        }
    }
    if (nextStarted) {
        // The next row is already on its way (no interval): a pending stop is asked after it,
        // as if it had been asked during that row.
        ++m_row;
        rowStarted(m_row, m_aheadAddress);
        prepareAhead(m_row + 1);
        return;
    }
    if (m_setup.interval > 0 && k < m_summary.rows) {
        m_state = State::Waiting;
        waitCheck();
    } else {
        afterWait();
    }
}

void SendRun::waitCheck()
{
    if (m_state != State::Waiting)
        return;
    m_alarm.reset();
    for (;;) {
        const qint64 left = m_waitUntil - m_clock.monotonicMs();
        if (left <= 0) {
            afterWait();
            return;
        }
        if (m_sendFlag != 0) {
            m_alarm = m_clock.callAfter(left, [this] { waitCheck(); });
            return;
        }
        m_state = State::Asking;
        if (m_host.askStop()) {
            finish(true);
            return;
        }
        m_sendFlag = -1;
        m_stopAsked = false;
        m_state = State::Waiting;
    }
}

void SendRun::stopRequested()
{
    m_stopAsked = true;
    // Asked from the event loop rather than from inside the click or the close request.
    if (m_state == State::Waiting)
        QMetaObject::invokeMethod(this, &SendRun::waitCheck, Qt::QueuedConnection);
}

void SendRun::afterWait()
{
    if (m_sendFlag == 0) {
        m_state = State::Asking;
        if (m_host.askStop()) {
            finish(true);
            return;
        }
        m_sendFlag = -1;
        m_stopAsked = false;
    }
    nextRow();
}

void SendRun::nextRow()
{
    ++m_row;
    if (m_row > m_summary.rows) {
        finish(false);
        return;
    }
    sendRow();
}

void SendRun::finish(bool stopped)
{
    m_alarm.reset();
    m_state = State::Done;
    m_summary.stopped = stopped;
    m_host.finished(m_summary);
}
