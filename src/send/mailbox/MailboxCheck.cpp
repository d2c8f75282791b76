#include "send/mailbox/MailboxCheck.h"

#include "platform/Text.h"
#include "platform/mail/DeliveryNotice.h"
#include "platform/mail/ImapMailbox.h"
#include "platform/mail/MailArguments.h"
#include "recipients/RecipientTable.h"
#include "send/mailbox/BounceMatcher.h"

#include <QHash>
#include <QUrl>

#include <optional>

namespace
{

using Row = JournalReport::Row;

// The address a row's mail went to, as the envelope had it: trimmed, without angle brackets.
QString rowAddress(const RecipientTable &table, int row)
{
    QString a = table.hasCell(row, 1) ? trimSpaces(table.cell(row, 1)) : QString();
    if (a.startsWith(u'<') && a.endsWith(u'>'))
        a = a.mid(1, a.size() - 2);
    return a;
}

// An address as two mails' envelopes compare it: the local part as written, the domain in lower
// case and ACE form.
QString envelopeForm(const QString &address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return address;
    const QByteArray ace = QUrl::toAce(address.mid(at + 1));
    return address.left(at + 1) + (ace.isEmpty() ? address.mid(at + 1) : QString::fromLatin1(ace)).toLower();
}

QString rowsText(const std::vector<int> &rows)
{
    QStringList list;
    for (size_t i = 0; i < rows.size() && i < 10; ++i)
        list += QStringLiteral("%1行目").arg(rows[i]);
    if (rows.size() > 10)
        list += QStringLiteral("ほか %1 件").arg(rows.size() - 10);
    return list.join(QStringLiteral("、"));
}

} // namespace

QString bouncedReason(const QString &status, const QString &diagnostic, const QString &remoteMta)
{
    QString text = QStringLiteral("不達");
    if (!status.isEmpty())
        text += QStringLiteral("（%1）").arg(status);
    if (!diagnostic.isEmpty())
        text += QStringLiteral(": ") + diagnostic;
    if (!remoteMta.isEmpty())
        text += QStringLiteral("（%1）").arg(remoteMta);
    return text;
}

struct RunNotices::Matcher {
    Matcher(std::vector<SentMail> mails, QByteArray token) : token(token)
    {
        for (const SentMail &m : mails)
            mainAddress.insert(m.row, envelopeForm(m.recipient));
        matcher.emplace(std::move(mails), token + '.');
    }
    std::optional<BounceMatcher> matcher;
    QHash<int, QString> mainAddress; // envelopeForm()
    QByteArray token;
    // The rows already found returned, with the reason: a second notice of one mail changes nothing.
    QHash<int, QString> bounced;
    std::vector<int> order;
};

RunNotices::RunNotices(const JournalReport &report, const RecipientTable &table) : m_report(report)
{
    const RunIdentity &id = report.identity;
    const QString sender = parseSender(id.sender).address;
    std::vector<SentMail> mails;
    for (int row = 1; row <= id.rows; ++row) {
        const Row state = report.rows[size_t(row)].state;
        if (state == Row::Accepted || state == Row::Bounced)
            mails.push_back({row, messageIdOf(id.mailToken, row, sender), rowAddress(table, row)});
    }
    m_matcher = std::make_unique<Matcher>(std::move(mails), id.mailToken);
}

RunNotices::~RunNotices() = default;

bool RunNotices::read(const QByteArray &message, MailboxFindings &into)
{
    ++into.messagesRead;
    const std::optional<DeliveryNotice> notice = readDeliveryNotice(message);
    if (!notice)
        return false;
    ++into.notices;
    // A notice that names a mail of another run (another token, or none of ours) is not about
    // this run, even when it names an address this run also mailed.
    const QByteArray &token = m_matcher->token;
    const auto ours = [&token](const QByteArray &id) {
        return !token.isEmpty() && id.startsWith(token + '.');
    };
    if ((!notice->originalMessageId.isEmpty() && !ours(notice->originalMessageId)) ||
        (!notice->envelopeId.isEmpty() && !ours(notice->envelopeId))) {
        ++into.otherRuns;
        return true;
    }
    const std::vector<BounceMatch> matches = m_matcher->matcher->match(*notice);
    if (matches.empty())
        ++into.otherRuns;
    for (const BounceMatch &m : matches) {
        MailboxFindings::Notice n{
            m.row, m.recipient.address, m.recipient.status,
            bouncedReason(m.recipient.status, m.recipient.diagnostic, m.recipient.remoteMta)};
        if (!m.permanent) {
            into.delayed.push_back(std::move(n));
            continue;
        }
        // The main recipient got the mail; only a copy of it came back.
        if (!m.recipient.address.isEmpty() &&
            envelopeForm(m.recipient.address) != m_matcher->mainAddress.value(m.row)) {
            into.copies.push_back(std::move(n));
            continue;
        }
        if (m_matcher->bounced.contains(m.row))
            continue;
        m_matcher->bounced.insert(m.row, n.reason);
        m_matcher->order.push_back(m.row);
        into.bounced.push_back(std::move(n));
    }
    return true;
}

void RunNotices::finish(MailboxFindings &into) const
{
    for (const int row : m_matcher->order) {
        const JournalReport::RowEntry e = m_report.rows[size_t(row)];
        const QString &reason = m_matcher->bounced[row];
        // Already recorded the same way by an earlier check: nothing to add.
        if (e.state == Row::Bounced && e.reason == reason)
            continue;
        into.findings.push_back({row, SendJournal::Finding::Kind::Bounced, reason});
    }
}

Result<MailboxFindings> checkMailbox(ImapMailbox &mailbox, const JournalReport &report,
                                     const RecipientTable &table, bool lookInSent)
{
    MailboxFindings found;
    RunNotices notices(report, table);
    const RunIdentity &id = report.identity;
    const QDate since = id.startedAt.toLocalTime().date();
    Result<std::vector<quint32>> uids = mailbox.searchSince(QStringLiteral("INBOX"), since);
    if (!uids)
        return uids.failure();
    if (std::optional<Failure> failed =
            mailbox.fetch(QStringLiteral("INBOX"), uids.value(), [&](quint32, const QByteArray &message) {
                notices.read(message, found);
                return true;
            }))
        return *failed;
    notices.finish(found);

    if (lookInSent)
        if (std::optional<Failure> failed = findInSent(mailbox, report, found))
            return *failed;
    return found;
}

std::optional<Failure> findInSent(ImapMailbox &mailbox, const JournalReport &report, MailboxFindings &into)
{
    const RunIdentity &id = report.identity;
    // A run from before mails were named cannot be looked up.
    if (id.mailToken.isEmpty() || report.mayHaveArrived == 0)
        return std::nullopt;
    Result<QString> sent = mailbox.sentFolder();
    if (!sent)
        return sent.failure();
    const QString sender = parseSender(id.sender).address;
    for (int row = 1; row <= id.rows; ++row) {
        if (report.rows[size_t(row)].state != Row::MayHaveArrived)
            continue;
        Result<std::vector<quint32>> hits =
            mailbox.searchHeader(sent.value(), "Message-ID", messageIdOf(id.mailToken, row, sender));
        if (!hits)
            return hits.failure();
        if (hits->empty()) {
            into.notFoundInSent.push_back(row);
            continue;
        }
        into.foundInSent.push_back(row);
        into.findings.push_back(
            {row, SendJournal::Finding::Kind::FoundInSent,
             QStringLiteral(
                 "最後の応答は届きませんでしたが、送信済みフォルダーにあるため送信済みとしました。")});
    }
    return std::nullopt;
}

QString MailboxFindings::summary(const RecipientTable &table) const
{
    QStringList lines;
    lines += QStringLiteral("受信箱のメール %1 通のうち、配信の通知は %2 通でした。")
                 .arg(messagesRead)
                 .arg(notices);
    if (bounced.empty()) {
        lines += QStringLiteral("この送信で不達になった宛先はありません。");
    } else {
        lines += QStringLiteral("不達になった宛先が %1 件あります（一覧では「%2」と表示します）。")
                     .arg(bounced.size())
                     .arg(StatusBounced);
        for (size_t i = 0; i < bounced.size() && i < 20; ++i)
            lines += QStringLiteral("  %1行目 [%2] %3")
                         .arg(bounced[i].row)
                         .arg(bounced[i].address.isEmpty() ? rowAddress(table, bounced[i].row)
                                                           : bounced[i].address,
                              bounced[i].reason);
        if (bounced.size() > 20)
            lines += QStringLiteral("  ほか %1 件").arg(bounced.size() - 20);
    }
    if (!delayed.empty()) {
        std::vector<int> rows;
        for (const Notice &n : delayed)
            rows.push_back(n.row);
        lines += QStringLiteral("配信が遅れているという通知が %1 件あります（まだ送信OKのままです）: %2")
                     .arg(delayed.size())
                     .arg(rowsText(rows));
    }
    if (!copies.empty()) {
        lines +=
            QStringLiteral("CC・BCC の宛先に届かなかったメールが %1 件あります（その行は送信OKのままです）:")
                .arg(copies.size());
        for (size_t i = 0; i < copies.size() && i < 20; ++i)
            lines += QStringLiteral("  %1行目 [%2] %3")
                         .arg(copies[i].row)
                         .arg(copies[i].address, copies[i].reason);
    }
    if (!foundInSent.empty())
        lines += QStringLiteral("届いたかどうか分からなかった宛先のうち %1 "
                                "件は送信済みフォルダーにあったため、送信OKにしました: %2")
                     .arg(foundInSent.size())
                     .arg(rowsText(foundInSent));
    if (!notFoundInSent.empty())
        lines += QStringLiteral("届いたかどうか分からない宛先が %1 件、送信済みフォルダーにもありません: %2")
                     .arg(notFoundInSent.size())
                     .arg(rowsText(notFoundInSent));
    return lines.join(u'\n');
}
