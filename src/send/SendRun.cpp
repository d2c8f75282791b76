#include "send/SendRun.h"

#include "platform/Text.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/MailSession.h"
#include "send/SendChecks.h"
#include "send/SendFailure.h"
#include "send/journal/FileStamp.h"
#include "send/journal/RunJournal.h"
#include "send/journal/SendJournal.h"
#include "send/limits/SendLimits.h"
#include "send/limits/SendPacer.h"

#include <QThread>

#include <algorithm>

namespace
{

using Kind = MailOutcome::Kind;

RunJournal::RowState journalState(Kind kind)
{
    switch (kind) {
    case Kind::Accepted: return RunJournal::RowState::Accepted;
    case Kind::Refused: return RunJournal::RowState::Refused;
    case Kind::MayHaveArrived: return RunJournal::RowState::MayHaveArrived;
    // Nothing of these reached anyone: a later continuation sends them again.
    case Kind::Temporary:
    case Kind::Unreachable:
    case Kind::AuthRefused:
    case Kind::QuotaOrPolicy:
    case Kind::LocalFailure: return RunJournal::RowState::Retry;
    }
    return RunJournal::RowState::Retry;
}

// Outcomes after which the run does not go on by itself: the operator is asked or told.
bool needsDecision(Kind kind)
{
    return kind == Kind::Unreachable || kind == Kind::LocalFailure || kind == Kind::AuthRefused ||
           kind == Kind::QuotaOrPolicy;
}

QString clockTime(const QDateTime &t)
{
    return t.toString(QStringLiteral("HH:mm"));
}

// The one message of a run that stops by itself: what the server said and what to do.
QString stoppedText(const MailOutcome &o, int sent, int left)
{
    const QString reply = o.replyText.isEmpty() ? o.description : o.replyText;
    const QString done = QStringLiteral("送信済み：%1件、未送信：%2件。").arg(sent).arg(left);
    if (o.kind == Kind::AuthRefused)
        return QStringLiteral(
                   "メールサーバーでの認証に失敗したため、送信を中止しました。\r\n\r\n"
                   "サーバーの応答：%1\r\n\r\n%3%2\r\nユーザー名とパスワード（またはサインイン）を確かめて"
                   "から、同じ宛先を読み込むと、送信済みの宛先を除いて続きから送信できます。")
            .arg(reply, done, o.advice.isEmpty() ? QString() : o.advice + QStringLiteral("\r\n\r\n"));
    if (o.enhancedCode.section(u'.', 1, 1) == u"7")
        return QStringLiteral(
                   "メールサーバーが送信者またはアカウントからの送信を拒否したため、送信を中止しました。"
                   "\r\n\r\nサーバーの応答：%1\r\n\r\n%2\r\n送信者のアドレスとアカウントの状態を"
                   "メールサーバーの管理者に確かめてください。")
            .arg(reply, done);
    return QStringLiteral(
               "送信数の上限に達したため、送信を中止しました。\r\n\r\nサーバーの応答：%1\r\n\r\n%2\r\n"
               "上限が戻ってから（多くは24時間以内）同じ宛先を読み込むと、送信済みの宛先を除いて"
               "続きから送信できます。")
        .arg(reply, done);
}

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

SendRun::SendRun(RecipientTable &table, const SendRunSetup &setup, Clock &clock, SendRunHost host,
                 RunJournal &journal, SendPacer &pacer, QObject *parent)
    : QObject(parent), m_table(table), m_snapshot(table), m_setup(setup), m_clock(clock),
      m_host(std::move(host)), m_journal(journal), m_pacer(pacer),
      m_merger(m_snapshot, setup.subject, setup.body, setup.attachmentTemplates)
{
    if (setup.target.isOutbox()) {
        m_summary.trial = true;
        m_summary.outboxFolder = setup.target.server().folder;
    }
    const int lastRow = qMax(0, table.lastRow());
    if (setup.rows.empty()) {
        for (int k = 1; k <= lastRow; ++k)
            m_pending.push_back(k);
    } else {
        for (int k : setup.rows)
            if (k >= 1 && k <= lastRow)
                m_pending.push_back(k);
    }
    m_summary.rows = int(m_pending.size());
    m_declared.assign(size_t(lastRow) + 1, false);
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
    m_session.reset();
}

void SendRun::start()
{
    m_host.setSendFlag(-1);
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("SendMail"));
    m_worker = new QObject;
    m_worker->moveToThread(m_thread);
    m_thread->start();
    if (m_pending.empty()) {
        finish(false);
        return;
    }
    plan();
}

QString SendRun::addressOf(int row) const
{
    return m_table.hasCell(row, 1) ? trimSpaces(m_table.cell(row, 1)) : QString();
}

void SendRun::showRow(int row)
{
    const int done = m_summary.sent + m_summary.failed;
    m_host.progress(qMin(done + 1, m_summary.rows), m_summary.rows);
    m_host.status(QString::number(row) + QStringLiteral(") ") + addressOf(row) +
                  (m_summary.trial ? QStringLiteral("を保存中...") : QStringLiteral("を送信中...")));
}

// Between two groups: the stop check, then what is due, within the provider's limits.
void SendRun::plan()
{
    if (m_host.sendFlag() == 0 && !askStopNow())
        return;
    const qint64 now = m_clock.monotonicMs();
    std::stable_sort(m_retries.begin(), m_retries.end(),
                     [](const Retry &a, const Retry &b) { return a.dueMs < b.dueMs; });
    const bool retryDue = !m_retries.empty() && m_retries.front().dueMs <= now;
    if (m_pending.empty() && m_retries.empty()) {
        finish(false);
        return;
    }
    if (!retryDue) {
        if (m_pending.empty()) {
            const int n = int(m_retries.size());
            const QDateTime at = m_clock.now().addMSecs(m_retries.front().dueMs - now);
            waitUntil(m_retries.front().dueMs, Wait::Retry,
                      QStringLiteral("再送待ち：%1件（%2 に再送します）").arg(n).arg(clockTime(at)));
            return;
        }
        if (now < m_holdUntilMs) {
            const QDateTime at = m_clock.now().addMSecs(m_holdUntilMs - now);
            waitUntil(m_holdUntilMs, Wait::Hold,
                      QStringLiteral("メールサーバーが一時的に受け付けないため待機中：%1 に再開")
                          .arg(clockTime(at)));
            return;
        }
    }

    const SendPacer::Allowance allowance = m_pacer.allowance(m_clock.now());
    if (allowance.now <= 0) {
        const qint64 due = now + qMax<qint64>(0, m_clock.now().msecsTo(allowance.nextAt));
        if (allowance.daily) {
            m_state = State::Asking;
            if (!m_host.askWaitDay(allowance.nextAt)) {
                finish(true);
                return;
            }
        }
        waitUntil(due, Wait::Limit, limitWaitText(allowance.nextAt));
        return;
    }

    // The provider counts recipients, not mails: a group takes rows while their recipients fit in
    // what may go now, and at least one row.
    const int size = m_setup.interval > 0 ? 1 : m_groupSize;
    std::vector<int> rows, attempts;
    qint64 recipients = 0;
    const auto fits = [&](int row) {
        const int more = recipientsOf(row);
        if (!rows.empty() && recipients + more > allowance.now)
            return false;
        recipients += more;
        return true;
    };
    while (int(rows.size()) < size && !m_retries.empty() && m_retries.front().dueMs <= now &&
           fits(m_retries.front().row)) {
        rows.push_back(m_retries.front().row);
        attempts.push_back(m_retries.front().attempt + 1);
        m_retries.erase(m_retries.begin());
    }
    while (int(rows.size()) < size && !m_pending.empty() && now >= m_holdUntilMs && fits(m_pending.front())) {
        rows.push_back(m_pending.front());
        attempts.push_back(1);
        m_pending.pop_front();
    }
    if (m_setup.interval > 0) {
        // Whole clock seconds: the wait ends when the clock's second count has moved on by the
        // interval since this row began, so a send longer than the interval gets no pause.
        m_groupStartMs = now - m_clock.now().time().msec();
    }
    std::vector<int> declareNow, ahead;
    for (int row : rows) {
        if (!m_declared[size_t(row)])
            declareNow.push_back(row);
        m_declared[size_t(row)] = true;
    }
    if (m_setup.interval == 0) {
        for (size_t i = 0; i < m_pending.size() && int(ahead.size()) < m_groupSize; ++i) {
            const int row = m_pending[i];
            if (!m_declared[size_t(row)]) {
                ahead.push_back(row);
                m_declared[size_t(row)] = true;
            }
        }
    }
    m_groupRows = rows;
    m_groupAttempts = attempts;
    m_groupDone = 0;
    showRow(rows.front());
    m_state = State::Sending;
    QMetaObject::invokeMethod(
        m_worker,
        [this, rows = std::move(rows), attempts = std::move(attempts), declareNow = std::move(declareNow),
         ahead = std::move(ahead), inARow = m_temporaryInARow]() mutable {
            workerSend(std::move(rows), std::move(attempts), std::move(declareNow), std::move(ahead), inARow);
        },
        Qt::QueuedConnection);
}

void SendRun::workerSend(std::vector<int> rows, std::vector<int> attempts, std::vector<int> declareNow,
                         std::vector<int> ahead, int temporaryInARow)
{
    // On the worker: one group, back to back, the next mail's envelope pipelined behind each end of
    // data. It ends early on a stop request and after any outcome that needs the operator.
    auto post = [this](RowResult r) {
        bool wake = false;
        {
            std::lock_guard lock(m_resultsMutex);
            m_results.push_back(std::move(r));
            wake = !m_takePosted;
            m_takePosted = true;
        }
        if (wake)
            QMetaObject::invokeMethod(this, &SendRun::takeResults, Qt::QueuedConnection);
    };
    auto content = [this](int row, MailContent &mail, QString &failure) {
        const QString address = m_snapshot.hasCell(row, 1) ? trimSpaces(m_snapshot.cell(row, 1)) : QString();
        mail.address = addressElement(address);
        mail.html = m_setup.html;
        Result<MergedMail> merged = m_merger.mail(row);
        if (!merged) {
            // The row's own text grew past the size limit: it is this row's failure alone.
            failure = merged.failure().description;
            return;
        }
        // A row's own file that is not there or cannot be read fails that row alone; the file as
        // it goes out is recorded with the row.
        for (const QString &file : merged->attachments) {
            failure = rowAttachmentProblem(file);
            std::optional<FileStamp> stamp;
            if (failure.isEmpty() && !(stamp = stampOf(file)))
                failure = unreadableAttachmentText(file);
            if (!failure.isEmpty())
                return;
            m_journal.attached(row, *stamp);
        }
        failure.clear();
        mail.subject = std::move(merged->subject);
        mail.body = std::move(merged->body);
        mail.cc = std::move(merged->cc);
        mail.bcc = std::move(merged->bcc);
        if (m_setup.bccSelf)
            mail.bcc.append(m_setup.target.sender.address);
        mail.replyTo = std::move(merged->replyTo);
        mail.plainText = m_setup.plainText;
        mail.attachments = std::move(merged->attachments);
        mail.messageId = messageIdOf(m_setup.mailToken, row, m_setup.target.sender.address);
        mail.envelopeId = envelopeIdOf(m_setup.mailToken, row);
    };

    // The group is declared first (its sync goes on while the session opens), then the next one.
    if (!declareNow.empty())
        m_journal.declare(declareNow);
    if (!ahead.empty())
        m_journal.declare(ahead);
    std::vector<int> unsent;
    // Another password or sign-in after a refusal: the next mail opens a new session with it.
    if (m_renewSession.exchange(false))
        m_session.reset();
    if (!m_session) {
        Result<std::unique_ptr<MailSession>> opened = MailSession::open(m_setup.target);
        if (!opened) {
            // Nothing can go out: the first row carries the reason, the operator decides.
            MailOutcome o;
            o.kind = Kind::Unreachable;
            o.description = opened.failure().description;
            m_journal.outcome(rows.front(), RunJournal::RowState::Retry, o.description);
            post({rows.front(), attempts.front(), o, {}});
            unsent.assign(rows.begin() + 1, rows.end());
            QMetaObject::invokeMethod(
                this, [this, unsent = std::move(unsent)]() mutable { groupDone(std::move(unsent)); },
                Qt::QueuedConnection);
            return;
        }
        m_session = std::move(opened.value());
        if (m_setup.onAccepted)
            m_session->setOnAccepted(
                [this](const QByteArray &message) { m_setup.onAccepted(m_sendingRow, message); });
    }

    auto journalFailed = [&](size_t i) {
        if (!m_journal.failure())
            return false;
        RowResult r{rows[i], attempts[i], {}, m_journal.failure()};
        post(std::move(r));
        unsent.assign(rows.begin() + qsizetype(i), rows.end());
        return true;
    };
    MailContent mail, next;
    QString failure, nextFailure;
    content(rows.front(), mail, failure);
    // Whether the last mail sent carried the next one's envelope behind its end of data.
    bool announced = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        const int row = rows[i];
        if (i > 0 && m_stopAsked.load()) {
            unsent.assign(rows.begin() + qsizetype(i), rows.end());
            break;
        }
        if (journalFailed(i))
            break;
        const bool haveNext = i + 1 < rows.size() && !m_stopAsked.load();
        if (haveNext)
            content(rows[i + 1], next, nextFailure);
        MailOutcome o;
        if (!failure.isEmpty()) {
            o.kind = Kind::Refused;
            o.description = failure;
            announced = false;
        } else {
            announced = haveNext && nextFailure.isEmpty();
            m_sendingRow = row;
            // The end of the data goes out only once the journal holds the row's start.
            o = m_session->send(mail, announced ? &next : nullptr, [this, row] {
                m_journal.started(row);
                return !m_journal.failure();
            });
        }
        // The start could not be recorded: the mail was held back and nothing more goes out.
        if (journalFailed(i))
            break;
        // An accepted mail keeps the copies the server refused as its reason.
        m_journal.outcome(row, journalState(o.kind), o.accepted() ? o.copiesRefused : o.description);
        if (o.kind == Kind::Accepted)
            temporaryInARow = 0;
        else if (o.kind == Kind::Temporary)
            ++temporaryInARow;
        // A server that asks for a pause gets it: no further row of the group starts before the
        // retry is due.
        const bool stop = needsDecision(o.kind) ||
                          (o.kind == Kind::Temporary &&
                           (o.serverWide || o.replyCode == 421 || temporaryInARow >= m_retry.holdAfter));
        post({row, attempts[i], std::move(o), {}});
        if (stop) {
            unsent.assign(rows.begin() + qsizetype(i) + 1, rows.end());
            break;
        }
        if (!haveNext) {
            // The last of the group, or a stop was asked: the rest goes back unsent.
            unsent.assign(rows.begin() + qsizetype(i) + 1, rows.end());
            break;
        }
        std::swap(mail, next);
        std::swap(failure, nextFailure);
    }
    // An envelope announced for a mail that will not follow now is cleared by ending the session.
    if (announced && !unsent.empty())
        m_session->close();
    QMetaObject::invokeMethod(
        this, [this, unsent = std::move(unsent)]() mutable { groupDone(std::move(unsent)); },
        Qt::QueuedConnection);
}

void SendRun::takeResults()
{
    std::vector<RowResult> results;
    {
        std::lock_guard lock(m_resultsMutex);
        results.swap(m_results);
        m_takePosted = false;
    }
    for (const RowResult &r : results)
        handle(r);
}

int SendRun::recipientsOf(int row) const
{
    const CopyColumns &copies = m_merger.copyColumns();
    int count = 1 + (m_setup.bccSelf ? 1 : 0);
    if (!copies.empty())
        count += int(rowAddresses(m_snapshot, row, copies.cc).size() +
                     rowAddresses(m_snapshot, row, copies.bcc).size());
    return count;
}

void SendRun::markFailed(int row, const QString &reason)
{
    ++m_summary.failed;
    if (!m_summary.trial && m_table.hasCell(row, 0)) {
        m_table.setCell(row, 0, StatusFailed);
        // The list window shows why, beside the grid's columns.
        m_table.setReason(row, oneLine(reason));
    }
    const QString where = QString::number(row) + QStringLiteral("行目の [") + addressOf(row) + u']';
    m_summary.errorList += where + u' ' + oneLine(reason) + QStringLiteral("\r\n");
    m_host.status(where +
                  (m_summary.trial ? QStringLiteral("は保存エラー！") : QStringLiteral("は送信エラー！")));
}

void SendRun::handle(const RowResult &r)
{
    if (r.journalFailure) {
        m_decision = r;
        return;
    }
    const MailOutcome &o = r.outcome;
    const QDateTime now = m_clock.now();
    switch (o.kind) {
    case Kind::Accepted:
        ++m_summary.sent;
        m_temporaryInARow = 0;
        m_pacer.sent(now, recipientsOf(r.row));
        if (!m_summary.trial && m_table.hasCell(r.row, 0)) {
            m_table.setCell(r.row, 0, StatusSent);
            // Sent to the main address; a CC or BCC the server refused is named in the reason.
            m_table.setReason(r.row, oneLine(o.copiesRefused));
            m_table.setMayHaveArrived(r.row, false);
        }
        break;
    case Kind::Temporary: {
        ++m_temporaryInARow;
        const bool serverWide = o.serverWide || o.replyCode == 421 || m_temporaryInARow >= m_retry.holdAfter;
        if (r.attempt <= int(m_retry.backoffSeconds.size())) {
            const qint64 due =
                m_clock.monotonicMs() + qint64(m_retry.backoffSeconds[size_t(r.attempt) - 1]) * 1000;
            m_retries.push_back({r.row, r.attempt, due});
            m_declared[size_t(r.row)] = false;
            if (serverWide)
                m_holdUntilMs = qMax(m_holdUntilMs, due);
            m_host.status(QString::number(r.row) + QStringLiteral("行目の [") + addressOf(r.row) +
                          QStringLiteral("] は一時的なエラーのため、後で送り直します"));
            break;
        }
        markFailed(r.row, o.description);
        // The server refuses every mail for now, not this one: each further row would use its
        // tries the same way. The operator decides, as for a server out of reach.
        if (serverWide)
            m_decision = r;
        break;
    }
    case Kind::MayHaveArrived:
        m_pacer.sent(now, recipientsOf(r.row));
        if (!m_summary.trial && m_table.hasCell(r.row, 0))
            m_table.setMayHaveArrived(r.row, true);
        markFailed(r.row, o.description);
        break;
    case Kind::AuthRefused:
        // The first refusal may be answered with another password or a new sign-in: that row is
        // then sent again, so it is not marked yet.
        if (!m_loginAsked && m_host.askLogin)
            break;
        markFailed(r.row, o.description);
        break;
    case Kind::Refused:
    case Kind::Unreachable:
    case Kind::LocalFailure:
    case Kind::QuotaOrPolicy: markFailed(r.row, o.description); break;
    }
    if (needsDecision(o.kind))
        m_decision = r;
    // The next row of the group is on its way already.
    ++m_groupDone;
    if (m_groupDone < m_groupRows.size() && !needsDecision(o.kind))
        showRow(m_groupRows[m_groupDone]);
}

void SendRun::groupDone(std::vector<int> unsent)
{
    takeResults();
    // Rows the group did not reach go back where they came from, first in line.
    const qint64 now = m_clock.monotonicMs();
    for (auto it = unsent.rbegin(); it != unsent.rend(); ++it) {
        const auto at = std::find(m_groupRows.begin(), m_groupRows.end(), *it) - m_groupRows.begin();
        const int attempt = at < qsizetype(m_groupAttempts.size()) ? m_groupAttempts[size_t(at)] : 1;
        if (attempt > 1)
            m_retries.push_back({*it, attempt - 1, now});
        else
            m_pending.push_front(*it);
    }
    m_groupRows.clear();
    if (m_decision) {
        const RowResult d = *m_decision;
        m_decision.reset();
        m_state = State::Asking;
        if (d.journalFailure) {
            m_host.tellStopped(QStringLiteral("送信の記録を書き込めないため、送信を中止しました。\r\n\r\n%1")
                                   .arg(d.journalFailure->description));
            m_host.setSendFlag(0);
            finish(true);
            return;
        }
        const Kind kind = d.outcome.kind;
        if (kind == Kind::AuthRefused && !m_loginAsked && m_host.askLogin) {
            m_loginAsked = true;
            std::optional<MailLogin> login = m_host.askLogin(d.outcome);
            if (!login) {
                markFailed(d.row, d.outcome.description);
                m_host.tellStopped(
                    stoppedText(d.outcome, m_summary.sent, int(m_pending.size() + m_retries.size())));
                m_host.setSendFlag(0);
                finish(true);
                return;
            }
            m_setup.target.login = std::move(*login);
            m_renewSession = true;
            m_pending.push_front(d.row);
            m_declared[size_t(d.row)] = false;
        } else if (kind == Kind::AuthRefused || kind == Kind::QuotaOrPolicy) {
            m_host.tellStopped(
                stoppedText(d.outcome, m_summary.sent, int(m_pending.size() + m_retries.size())));
            m_host.setSendFlag(0);
            finish(true);
            return;
        } else if (!m_host.askGoOn(serverFailureQuestion(d.row, addressOf(d.row), d.outcome.description))) {
            m_host.setSendFlag(0);
            finish(true);
            return;
        }
    }
    const bool more = !m_pending.empty() || !m_retries.empty();
    if (m_setup.interval > 0 && more) {
        waitUntil(m_groupStartMs + qint64(m_setup.interval) * 1000, Wait::Interval, QString());
        return;
    }
    m_state = State::Idle;
    plan();
}

void SendRun::waitUntil(qint64 dueMs, Wait why, const QString &status)
{
    m_state = State::Waiting;
    m_wait = why;
    m_waitUntilMs = dueMs;
    if (!status.isEmpty())
        m_host.status(status);
    waitCheck();
}

void SendRun::waitCheck()
{
    if (m_state != State::Waiting)
        return;
    m_alarm.reset();
    for (;;) {
        const qint64 left = m_waitUntilMs - m_clock.monotonicMs();
        if (left <= 0) {
            m_wait = Wait::None;
            m_state = State::Idle;
            plan();
            return;
        }
        if (m_host.sendFlag() != 0) {
            // Nothing polls: the clock calls back when the wait is over, or the stop button does.
            m_alarm = m_clock.callAfter(left, [this] { waitCheck(); });
            return;
        }
        m_state = State::Asking;
        if (m_host.askStop()) {
            finish(true);
            return;
        }
        m_host.setSendFlag(-1);
        m_stopAsked = false;
        m_state = State::Waiting;
    }
}

// The stop question; false when the run has ended.
bool SendRun::askStopNow()
{
    m_state = State::Asking;
    if (m_host.askStop()) {
        finish(true);
        return false;
    }
    m_host.setSendFlag(-1);
    m_stopAsked = false;
    return true;
}

void SendRun::stopRequested()
{
    m_stopAsked = true;
    // Asked from the event loop rather than from inside the click or the close request.
    if (m_state == State::Waiting)
        QMetaObject::invokeMethod(this, &SendRun::waitCheck, Qt::QueuedConnection);
}

void SendRun::finish(bool stopped)
{
    m_alarm.reset();
    m_state = State::Done;
    m_summary.stopped = stopped;
    m_journal.closed(!stopped && m_pending.empty() && m_retries.empty());
    m_host.finished(m_summary);
}
