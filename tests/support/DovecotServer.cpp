#include "DovecotServer.h"

#include "FreePort.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QString Dovecot = QStringLiteral("/usr/sbin/dovecot");

} // namespace

DovecotServer::DovecotServer(const QStringList &users, const QString &maildirRoot,
                             const QString &introspectionUrl)
    // Short, so that the sockets of the runtime folder stay within the length a socket name may have.
    : m_dir(QStringLiteral("/tmp/velmora-dovecot-XXXXXX")),
      m_root(maildirRoot.isEmpty() ? m_dir.filePath(QStringLiteral("mail")) : maildirRoot)
{
    if (!QFile::exists(Dovecot) || !QFile::exists(QStringLiteral("/usr/lib/dovecot/imap")))
        m_unavailable = QStringLiteral("Dovecot's IMAP server is not installed (dovecot-imapd)");
    else if (!m_dir.isValid())
        m_unavailable = QStringLiteral("no temporary folder under /tmp");
    else if (::geteuid() == 0 && (!::getpwnam("dovecot") || !::getpwnam("dovenull") || !::getpwnam("nobody")))
        m_unavailable = QStringLiteral("the users dovecot, dovenull and nobody are missing");
    if (m_unavailable.isEmpty() && configure(users, introspectionUrl))
        start();
}

DovecotServer::~DovecotServer()
{
    if (m_master.state() == QProcess::NotRunning)
        return;
    m_master.terminate(); // SIGTERM to the master's own pid: it stops its processes and exits
    if (!m_master.waitForFinished(30000)) {
        m_master.kill();
        m_master.waitForFinished(5000);
    }
}

MailboxServer DovecotServer::mailbox(const QString &user, bool startTls, bool oauth) const
{
    MailboxServer s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = startTls ? m_startTlsPort : m_port;
    s.startTls = startTls;
    s.user = user;
    s.oauth = oauth;
    return s;
}

bool DovecotServer::configure(const QStringList &users, const QString &introspectionUrl)
{
    const QDir dir(m_dir.path());
    const bool root = ::geteuid() == 0;
    // As root, mail belongs to nobody, as Postfix's virtual delivery has it; otherwise Dovecot runs
    // entirely as the user running the test.
    const passwd *owner = root ? ::getpwnam("nobody") : ::getpwuid(::geteuid());
    if (!owner) {
        m_unavailable = QStringLiteral("no passwd entry for the mail's owner");
        return false;
    }
    const uid_t uid = m_uid = owner->pw_uid;
    const gid_t gid = m_gid = owner->pw_gid;
    const QByteArray self = root ? QByteArray() : QByteArray(::getpwuid(::geteuid())->pw_name);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    dir.mkdir(QStringLiteral("run"));
    dir.mkdir(QStringLiteral("state"));
    if (!QDir().mkpath(m_root) || ::chown(QFile::encodeName(m_root).constData(), uid, gid) != 0) {
        m_unavailable = QStringLiteral("cannot hand the mail folder %1 to uid %2").arg(m_root).arg(uid);
        return false;
    }

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                   "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", dir.filePath("key.pem"),
                   "-out", caFile()});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        m_unavailable = QStringLiteral("openssl could not make a certificate: %1")
                            .arg(QString::fromLocal8Bit(openssl.readAll()) + openssl.errorString());
        return false;
    }

    QByteArray passwd;
    for (const QString &user : users)
        passwd += (user + QStringLiteral(":{PLAIN}") + Password + u':' + QString::number(uid) + u':' +
                   QString::number(gid) + QStringLiteral("::") + maildir(user) + QStringLiteral("::\n"))
                      .toUtf8();

    m_port = freePort();
    do
        m_startTlsPort = freePort();
    while (m_startTlsPort == m_port);
    const QByteArray d = QFile::encodeName(dir.path());
    QByteArray conf = "base_dir = " + d + "/run\n" + "state_dir = " + d + "/state\n" +
                      "instance_name = velmora-test-" + QByteArray::number(m_port) + "\n" +
                      "log_path = " + d +
                      "/dovecot.log\n"
                      "protocols = imap\n"
                      "listen = 127.0.0.1\n"
                      "ssl = required\n"
                      "ssl_cert = <" +
                      QFile::encodeName(caFile()) + "\nssl_key = <" + d +
                      "/key.pem\n"
                      "ssl_dh = </usr/share/dovecot/dh.pem\n"
                      "auth_mechanisms = plain login xoauth2 oauthbearer\n"
                      "auth_failure_delay = 0\n"
                      "auth_verbose = yes\n"
                      "first_valid_uid = 1\n"
                      "first_valid_gid = 1\n"
                      "mail_location = maildir:" +
                      QFile::encodeName(m_root) +
                      "/%n\n"
                      "mail_fsync = never\n";
    if (!root)
        conf += "default_internal_user = " + self + "\ndefault_login_user = " + self + "\n";
    if (!introspectionUrl.isEmpty()) {
        // Dovecot posts the token to the test OAuth server's introspection endpoint (RFC 7662) and
        // takes the answer's "username" as the user's, which must be the one that signs in.
        const QByteArray oauth = "introspection_mode = post\n"
                                 "introspection_url = " +
                                 introspectionUrl.toUtf8() +
                                 "\n"
                                 "force_introspection = yes\n"
                                 "username_attribute = username\n"
                                 "active_attribute = active\n"
                                 "active_value = true\n";
        if (!writeFile(dir.filePath("oauth2.conf"), oauth)) {
            m_unavailable = QStringLiteral("cannot write the OAuth configuration into %1").arg(dir.path());
            return false;
        }
        conf += "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + d +
                "/oauth2.conf\n}\n";
    }
    conf += "passdb {\n  driver = passwd-file\n  mechanisms = plain login\n  args = scheme=PLAIN " + d +
            "/passwd\n}\n"
            "userdb {\n  driver = passwd-file\n  args = " +
            d +
            "/passwd\n}\n"
            "namespace inbox {\n  inbox = yes\n  separator = /\n"
            "  mailbox " +
            SentFolder.toUtf8() +
            " {\n    special_use = \\Sent\n    auto = subscribe\n  }\n}\n"
            "service imap-login {\n  chroot =\n"
            "  inet_listener imap {\n    address = 127.0.0.1\n    port = " +
            QByteArray::number(m_startTlsPort) +
            "\n  }\n"
            "  inet_listener imaps {\n    address = 127.0.0.1\n    port = " +
            QByteArray::number(m_port) +
            "\n    ssl = yes\n  }\n}\n"
            // No penalty for failed sign-ins: the tests that fail one on purpose must not slow the next.
            "service anvil {\n  chroot =\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
    if (!writeFile(dir.filePath("passwd"), passwd) || !writeFile(dir.filePath("dovecot.conf"), conf)) {
        m_unavailable = QStringLiteral("cannot write the configuration into %1").arg(dir.path());
        return false;
    }
    return true;
}

bool DovecotServer::start()
{
    const QDir dir(m_dir.path());
    m_master.setProcessChannelMode(QProcess::MergedChannels);
    m_master.setStandardOutputFile(dir.filePath("master.out"));
    // -F: in the foreground, a child of this test.
    m_master.start(Dovecot, {"-F", "-c", dir.filePath("dovecot.conf")});
    if (!m_master.waitForStarted(30000)) {
        m_unavailable = QStringLiteral("cannot start %1: %2").arg(Dovecot, m_master.errorString());
        return false;
    }
    const QDeadlineTimer deadline(60000);
    while (!listening(m_port) || !listening(m_startTlsPort)) {
        if (m_master.waitForFinished(100)) {
            QFile out(dir.filePath("master.out"));
            m_unavailable =
                QStringLiteral("Dovecot exited with %1 before it listened: %2 %3")
                    .arg(m_master.exitCode())
                    .arg(out.open(QIODevice::ReadOnly) ? QString::fromUtf8(out.readAll()) : QString(), log());
            return false;
        }
        if (deadline.hasExpired()) {
            m_unavailable =
                QStringLiteral("Dovecot did not listen on port %1; its log: %2").arg(m_port).arg(log());
            return false;
        }
    }
    return true;
}

QString DovecotServer::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("dovecot.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool DovecotServer::deliver(const QString &user, const QByteArray &message)
{
    const QString box = maildir(user);
    for (const char *sub : {"", "/tmp", "/new", "/cur"}) {
        const QString path = box + QLatin1String(sub);
        if (!QDir().mkpath(path) || ::chown(QFile::encodeName(path).constData(), m_uid, m_gid) != 0)
            return false;
    }
    const QString name = QStringLiteral("%1.M%2P%3.velmora-test")
                             .arg(QDateTime::currentSecsSinceEpoch())
                             .arg(++m_delivered)
                             .arg(::getpid());
    QFile f(box + QStringLiteral("/tmp/") + name);
    if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size())
        return false;
    f.close();
    return ::chown(QFile::encodeName(f.fileName()).constData(), m_uid, m_gid) == 0 &&
           QFile::rename(f.fileName(), box + QStringLiteral("/new/") + name);
}
