#pragma once

#include "platform/Failure.h"
#include "send/journal/JournalReport.h"
#include "send/journal/SendJournal.h"

#include <QString>

#include <vector>

class ImapMailbox;
class RecipientTable;
struct DeliveryNotice;

// What the mailbox says of a run after its mails went out.
struct MailboxFindings {
    // For the run's journal: rows returned as undeliverable, and rows of unknown outcome that the
    // provider filed as sent.
    std::vector<SendJournal::Finding> findings;
    struct Notice {
        int row = 0;
        QString address; // the recipient the notice names
        QString status;  // "5.1.1"
        QString reason;  // the operator's text: the remote server's reply and the status
    };
    std::vector<Notice> bounced;     // permanent failures (5.x.x) of this run's mails
    std::vector<Notice> delayed;     // still being tried (4.x.x): shown, nothing changes
    std::vector<Notice> copies;      // a CC or BCC of the row came back: shown, the row stays 送信OK
    int messagesRead = 0;            // of the inbox since the run began
    int notices = 0;                 // delivery notices among them
    int otherRuns = 0;               // notices of mails that are not this run's
    std::vector<int> foundInSent;    // rows of unknown outcome found in the Sent folder
    std::vector<int> notFoundInSent; // and those not found there

    // One text for the operator: what changed, and what was only seen.
    QString summary(const RecipientTable &table) const;
};

// The reason a row returned as undeliverable is shown with.
QString bouncedReason(const QString &status, const QString &diagnostic, const QString &remoteMta);

// Reads the run's returned mails and, when `lookInSent`, its mails of unknown outcome in the Sent
// folder. The notices are the inbox's messages since the day the run began, read without marking
// them read and matched to rows by the run's Message-IDs and ENVIDs, or by the recipient address
// among the run's accepted mails when a notice names neither. Blocks: call it off the window's thread.
// `table` is the run's table (row addresses in column 1).
Result<MailboxFindings> checkMailbox(ImapMailbox &mailbox, const JournalReport &report,
                                     const RecipientTable &table, bool lookInSent);

// The rows of unknown outcome whose mail the provider filed in the Sent folder (looked up by the
// run's Message-ID), and those it did not; `into` gets both lists and a finding for each row found.
std::optional<Failure> findInSent(ImapMailbox &mailbox, const JournalReport &report, MailboxFindings &into);

// The matching alone, for messages already fetched: each notice's rows. Used by checkMailbox().
class RunNotices
{
  public:
    RunNotices(const JournalReport &report, const RecipientTable &table);
    ~RunNotices();
    RunNotices(const RunNotices &) = delete;
    RunNotices &operator=(const RunNotices &) = delete;
    // One message of the inbox; true when it was a delivery notice.
    bool read(const QByteArray &message, MailboxFindings &into);
    // The findings for the journal from what was read, once every message was.
    void finish(MailboxFindings &into) const;

  private:
    struct Matcher;
    const JournalReport &m_report;
    std::unique_ptr<Matcher> m_matcher;
};
