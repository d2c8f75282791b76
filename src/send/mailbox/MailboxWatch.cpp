#include "send/mailbox/MailboxWatch.h"

#include "platform/OffThread.h"
#include "platform/mail/MailTarget.h"
#include "platform/mail/SendMail.h"
#include "recipients/RecipientTable.h"
#include "send/journal/SendJournal.h"

MailboxWatch::MailboxWatch(QObject *parent) : QObject(parent)
{
}

MailboxWatch::~MailboxWatch()
{
    // The look reads the report and the table it was given a copy of; it ends within its time-outs.
    if (m_look)
        m_look->wait();
}

ImapSettings MailboxWatch::imapSettings() const
{
    if (m_imap)
        return *m_imap;
    const SendMailOptions o = sendMailOptions();
    ImapSettings s;
    s.connectTimeoutSeconds = o.connectTimeoutSeconds;
    s.caFile = o.caFile;
    return s;
}

Result<MailboxServer> MailboxWatch::mailboxFor(const MailServer &sending) const
{
    if (!m_settings.configured())
        return Failure{
            0, QStringLiteral("受信箱（IMAP）が設定されていません。「送信」メニューの「受信箱の設定」で"
                              "設定してください。")};
    MailboxServerParse parsed = parseMailboxServer(m_settings.server);
    if (!parsed.error.isEmpty())
        return Failure{0, parsed.error};
    if (parsed.server.user.isEmpty())
        parsed.server.user = sending.user;
    // The sending server's login is used: an OAuth account signs in to its mailbox the same way.
    if (sending.oauth && !parsed.server.oauth)
        return Failure{
            0, QStringLiteral("送信サーバーは OAuth でサインインしますが、受信箱の設定はパスワードです。"
                              "受信箱の設定を「imaps+oauth://」にしてください。")};
    return parsed.server;
}

bool MailboxWatch::copiesFor(const MailTarget &target) const
{
    return m_settings.configured() && m_settings.copyToSent && !target.isOutbox() &&
           target.destination.error.isEmpty();
}

std::unique_ptr<SentCopies> MailboxWatch::sentCopies(const MailboxServer &mailbox,
                                                     const MailLogin &login) const
{
    // The spool lies beside the journals, private to the user.
    if (preparePrivateFolder(journalFolder()))
        return nullptr;
    return std::make_unique<SentCopies>(mailbox, imapSettings(), login, journalFolder());
}

void MailboxWatch::finishCopies(std::unique_ptr<SentCopies> copies, std::function<void(const QString &)> done)
{
    if (!copies)
        return;
    SentCopies *c = copies.get();
    m_copies.push_back(std::move(copies));
    connect(
        c, &SentCopies::finished, this,
        [this, c, done = std::move(done)] {
            const QString text = c->outcomeText();
            const auto it =
                std::find_if(m_copies.begin(), m_copies.end(), [c](const auto &p) { return p.get() == c; });
            if (it == m_copies.end())
                return;
            std::unique_ptr<SentCopies> ended = std::move(*it);
            m_copies.erase(it);
            ended.reset();
            if (done)
                done(text);
        },
        Qt::QueuedConnection);
    c->noMore();
}

bool MailboxWatch::look(const MailboxServer &mailbox, const MailLogin &login, const JournalReport &report,
                        const RecipientTable &table, bool lookInSent,
                        std::function<void(Result<MailboxFindings>)> done)
{
    if (m_look)
        return false;
    auto run = std::make_shared<std::pair<JournalReport, RecipientTable>>(report, table);
    const ImapSettings settings = imapSettings();
    m_look = runOffThread<Result<MailboxFindings>>(
        this,
        [mailbox, login, run, lookInSent, settings]() -> Result<MailboxFindings> {
            ImapMailbox box(mailbox, settings, login);
            if (std::optional<Failure> failed = box.open())
                return *failed;
            Result<MailboxFindings> found = checkMailbox(box, run->first, run->second, lookInSent);
            box.close();
            return found;
        },
        std::move(done));
    return true;
}
