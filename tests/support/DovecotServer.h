#pragma once

#include "platform/mail/MailboxServer.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A Dovecot of its own on 127.0.0.1, for the life of this object: IMAP with TLS from the first byte
// on port(), plain with STARTTLS required on startTlsPort(), its self-signed certificate (for
// 127.0.0.1 and localhost) at caFile(). Configuration, runtime folder, certificate and log all lie in
// one temporary folder; so does the mail unless the caller names a Maildir root.
//
// Mail layout: user U's INBOX is the Maildir <root>/U/ (new/, cur/, tmp/), each other folder the
// Maildir++ folder <root>/U/.<name in modified UTF-7>/, "a/b" as ".a.b". That is where Postfix's
// virtual delivery of PostfixServer puts the mail of U@example.test, so a DovecotServer given
// PostfixServer::maildirRoot() serves what Postfix delivered. Mail belongs to nobody when the test
// runs as root (Postfix delivers as nobody), otherwise to the user running it.
//
// Every user signs in with Password; with an introspection URL (the test OAuth server's) a user
// also signs in with SASL XOAUTH2 or OAUTHBEARER and an access token that server issued for the
// same user name. The folder SentFolder exists in every mailbox, flagged \Sent.
class DovecotServer
{
  public:
    static inline const QString Password = QStringLiteral("imap-secret");
    static inline const QString SentFolder = QStringLiteral("送信済み");

    // `maildirRoot` empty: a folder of its own.
    explicit DovecotServer(const QStringList &users, const QString &maildirRoot = {},
                           const QString &introspectionUrl = {});
    ~DovecotServer();
    DovecotServer(const DovecotServer &) = delete;
    DovecotServer &operator=(const DovecotServer &) = delete;

    // Empty once the server listens; otherwise why it cannot run here (for GTEST_SKIP).
    const QString &unavailable() const { return m_unavailable; }
    int port() const { return m_port; }
    int startTlsPort() const { return m_startTlsPort; }
    QString caFile() const { return m_dir.filePath(QStringLiteral("cert.pem")); }
    QString maildirRoot() const { return m_root; }
    // User `user`'s INBOX, a Maildir.
    QString maildir(const QString &user) const { return m_root + u'/' + user; }
    // The mailbox of `user` on this server, with TLS from the first byte or with STARTTLS.
    MailboxServer mailbox(const QString &user, bool startTls = false, bool oauth = false) const;
    // Puts `message` into the INBOX of `user` as a delivery does (tmp/, then new/, unread, owned by
    // the mail's owner); false when it cannot be written.
    bool deliver(const QString &user, const QByteArray &message);
    // What Dovecot logged.
    QString log() const;

  private:
    bool configure(const QStringList &users, const QString &introspectionUrl);
    bool start();

    QTemporaryDir m_dir;
    QString m_root;
    QProcess m_master;
    int m_port = 0;
    int m_startTlsPort = 0;
    uint m_uid = 0; // the mail's owner
    uint m_gid = 0;
    int m_delivered = 0;
    QString m_unavailable;
};
