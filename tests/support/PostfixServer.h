#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A Postfix instance of its own on 127.0.0.1 and a free port, for the life of this object: its
// configuration, queue, data and Maildirs all in one temporary folder, no DNS, nothing relayed.
// Every mailbox named is a virtual mailbox <name>@example.test delivered into a Maildir; any other
// address of the domain is refused at RCPT TO (550 5.1.1). Postfix's master runs as a child in the
// foreground and is stopped by its own process id.
class PostfixServer
{
  public:
    // `bounceUnknown`: another address of the domain is accepted at RCPT TO and then returned to
    // the sender by Postfix's own delivery-status notification (5.1.1 unknown user), as a
    // provider that checks its users only behind the submission server does.
    explicit PostfixServer(const QStringList &mailboxes, bool bounceUnknown = false);
    ~PostfixServer();
    PostfixServer(const PostfixServer &) = delete;
    PostfixServer &operator=(const PostfixServer &) = delete;

    // Empty once the server listens; otherwise why it cannot run here (for GTEST_SKIP).
    const QString &unavailable() const { return m_unavailable; }
    int port() const { return m_port; }
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    static QString address(const QString &mailbox) { return mailbox + QStringLiteral("@example.test"); }

    // The files delivered to the mailbox, once there are at least `count` or `timeoutMs` passed.
    QStringList waitForMail(const QString &mailbox, int count, int timeoutMs = 90000) const;
    // The files delivered so far.
    QStringList delivered(const QString &mailbox) const;
    // Where the Maildirs are: mailbox `name` is the Maildir <root>/<name>/ (new/ holds what arrived),
    // owned by nobody, who delivers. A DovecotServer given this root serves the same mailboxes.
    QString maildirRoot() const { return m_dir.filePath(QStringLiteral("mail")); }
    // What Postfix logged (its maillog goes to a file of the folder).
    QString log() const;

  private:
    bool configure(const QStringList &mailboxes);
    bool start();

    bool m_bounceUnknown = false;
    QTemporaryDir m_dir;
    QProcess m_master;
    int m_port = 0;
    QString m_unavailable;
};
