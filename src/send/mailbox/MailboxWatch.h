#pragma once

#include "platform/Failure.h"
#include "platform/mail/ImapMailbox.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/MailboxServer.h"
#include "send/mailbox/MailboxCheck.h"
#include "send/mailbox/MailboxSettings.h"
#include "send/mailbox/SentCopies.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

struct MailTarget;
class RecipientTable;

// The operator's mailbox for the runs: which mailbox a sending server has, the Sent copies of a
// run, and the look into the mailbox after it, each on a thread of its own.
class MailboxWatch : public QObject
{
    Q_OBJECT
  public:
    explicit MailboxWatch(QObject *parent = nullptr);
    ~MailboxWatch() override; // waits for a look into the mailbox in progress

    const MailboxSettings &settings() const { return m_settings; }
    void setSettings(const MailboxSettings &settings) { m_settings = settings; }
    // The transport settings of the IMAP sessions; by default the mail library's time-outs and
    // certificate authorities.
    void setImapSettings(const ImapSettings &settings) { m_imap = settings; }
    ImapSettings imapSettings() const;

    // The mailbox of the settings, its user the sending server's when the text names none; or
    // why there is none to use.
    Result<MailboxServer> mailboxFor(const MailServer &sending) const;

    // Whether a run to this target keeps copies for the Sent folder: the settings ask for them, a
    // mailbox is set, and it is no trial into a folder.
    bool copiesFor(const MailTarget &target) const;
    // The Sent copies of a run, into this mailbox with this login.
    std::unique_ptr<SentCopies> sentCopies(const MailboxServer &mailbox, const MailLogin &login) const;
    // Keeps a run's copies until they are all appended, then tells `done` how they went (on this
    // object's thread).
    void finishCopies(std::unique_ptr<SentCopies> copies, std::function<void(const QString &)> done);
    bool copying() const { return !m_copies.empty(); }

    // Reads the mailbox for a run (see checkMailbox()); `done` gets the findings on this object's
    // thread. False, with nothing started, while a look is in progress.
    bool look(const MailboxServer &mailbox, const MailLogin &login, const JournalReport &report,
              const RecipientTable &table, bool lookInSent,
              std::function<void(Result<MailboxFindings>)> done);
    bool looking() const { return !m_look.isNull(); }

  private:
    MailboxSettings m_settings;
    std::optional<ImapSettings> m_imap;
    std::vector<std::unique_ptr<SentCopies>> m_copies;
    QPointer<QThread> m_look;
};
