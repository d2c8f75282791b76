#pragma once

#include "platform/Failure.h"
#include "platform/mail/ImapMailbox.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailboxServer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// Copies of a run's accepted mails for the Sent folder of the operator's mailbox. The sending
// thread hands each mail over with keep(), which only writes it to a private spool file, so the
// SMTP run never waits for the mailbox and memory does not grow with the run; a thread of the
// copies' own appends them over IMAP once the run has ended, in the order they were accepted,
// each once.
class SentCopies : public QObject
{
    Q_OBJECT
  public:
    // The spool file is made in `spoolFolder` (0600) and removed when the copies are done.
    SentCopies(MailboxServer server, ImapSettings settings, MailLogin login, QString spoolFolder,
               QObject *parent = nullptr);
    // Waits for the mail being appended, if any; what is left unappended is dropped with the spool.
    ~SentCopies() override;
    SentCopies(const SentCopies &) = delete;
    SentCopies &operator=(const SentCopies &) = delete;

    // Any thread, cheap: one write of the message to the spool.
    void keep(const QByteArray &message);
    // The run ended: the copies left are appended, then finished() is emitted.
    void noMore();

    struct Progress {
        qint64 kept = 0;
        qint64 copied = 0;
        std::optional<Failure> failure; // why copying stopped; the rest was not appended
        bool done = false;
    };
    Progress progress() const;
    // The operator's text of how the copies went ("送信済みフォルダーに 12 通コピーしました" or why not).
    QString outcomeText() const;

  signals:
    // Emitted once, from the copies' thread, when every kept mail was appended or copying failed.
    void finished();

  private:
    void work();
    std::optional<Failure> appendNext(ImapMailbox &box, const QString &folder, qint64 &offset);

    MailboxServer m_server;
    ImapSettings m_settings;
    MailLogin m_login;
    QString m_spoolPath;
    int m_spool = -1;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    Progress m_progress;
    bool m_noMore = false;
    bool m_quit = false;
    std::optional<Failure> m_spoolFailure; // a write to the spool failed: that copy is lost
    std::thread m_thread;
};
