#include "PostfixServer.h"

#include "FreePort.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QString Master = QStringLiteral("/usr/lib/postfix/sbin/master");
const QString Postfix = QStringLiteral("/usr/sbin/postfix");

// Every service runs outside a chroot (the folder holds no copy of /etc) and as the Postfix user;
// the maillog goes through postlogd to the master's output.
const char MasterServices[] = R"(pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
smtp      unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
)";

} // namespace

PostfixServer::PostfixServer(const QStringList &mailboxes, bool bounceUnknown)
    // Short, so that the sockets of the queue folder stay within the length a socket name may have.
    : m_bounceUnknown(bounceUnknown), m_dir(QStringLiteral("/tmp/velmora-postfix-XXXXXX"))
{
    if (!QFile::exists(Master) || !QFile::exists(Postfix))
        m_unavailable = QStringLiteral("Postfix is not installed (%1)").arg(Master);
    else if (::geteuid() != 0)
        m_unavailable = QStringLiteral("Postfix's master must be started as root; this test runs as uid %1")
                            .arg(::geteuid());
    else if (!::getpwnam("postfix") || !::getpwnam("nobody") || !::getgrnam("postdrop"))
        m_unavailable = QStringLiteral("the users postfix and nobody or the group postdrop are missing");
    else if (!m_dir.isValid())
        m_unavailable = QStringLiteral("no temporary folder under /tmp");
    if (m_unavailable.isEmpty() && configure(mailboxes))
        start();
}

PostfixServer::~PostfixServer()
{
    if (m_master.state() == QProcess::NotRunning)
        return;
    m_master.terminate(); // SIGTERM to the master's own pid: it stops its services and exits
    if (!m_master.waitForFinished(30000)) {
        m_master.kill();
        m_master.waitForFinished(5000);
    }
}

bool PostfixServer::configure(const QStringList &mailboxes)
{
    const QString root = m_dir.path();
    // getpwnam() answers in one static buffer.
    const uid_t ownerUid = ::getpwnam("postfix")->pw_uid;
    const gid_t ownerGid = ::getpwnam("postfix")->pw_gid;
    const uid_t nobodyUid = ::getpwnam("nobody")->pw_uid;
    const gid_t nobodyGid = ::getpwnam("nobody")->pw_gid;
    const QDir dir(root);
    // The services run as postfix and deliver as nobody: both must reach into the folder.
    ::chmod(QFile::encodeName(root).constData(), 0755);
    for (const char *sub : {"etc", "queue", "data", "mail"})
        dir.mkdir(sub);
    if (::chown(QFile::encodeName(dir.filePath("data")).constData(), ownerUid, ownerGid) != 0 ||
        ::chown(QFile::encodeName(dir.filePath("mail")).constData(), nobodyUid, nobodyGid) != 0) {
        m_unavailable = QStringLiteral("cannot hand the data and mail folders to postfix and nobody");
        return false;
    }
    m_port = freePort();

    QByteArray mailboxMap;
    for (const QString &m : mailboxes)
        mailboxMap += (address(m) + u' ' + m + u'/' + u'\n').toUtf8();
    const QByteArray r = QFile::encodeName(root);
    const QByteArray main =
        "compatibility_level = 3.6\n"
        "queue_directory = " +
        r +
        "/queue\n"
        "data_directory = " +
        r +
        "/data\n"
        "mail_owner = postfix\n"
        "setgid_group = postdrop\n"
        "myhostname = mx.velmora.test\n"
        "mydomain = velmora.test\n"
        "inet_interfaces = 127.0.0.1\n"
        "inet_protocols = ipv4\n"
        "mynetworks = 127.0.0.0/8\n"
        "mydestination =\n"
        "relay_domains =\n"
        "alias_maps =\n"
        "alias_database =\n"
        "smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination\n"
        "smtp_dns_support_level = disabled\n"
        "disable_dns_lookups = yes\n"
        "smtpd_peername_lookup = no\n"
        "virtual_mailbox_domains = example.test\n"
        "virtual_mailbox_base = " +
        r +
        "/mail\n"
        "virtual_mailbox_maps = texthash:" +
        r +
        "/etc/mailboxes\n"
        "virtual_uid_maps = static:" +
        QByteArray::number(nobodyUid) +
        "\n"
        "virtual_gid_maps = static:" +
        QByteArray::number(nobodyGid) +
        "\n"
        "maillog_file = /dev/stdout\n"
        "biff = no\n" +
        (m_bounceUnknown ? QByteArray("smtpd_reject_unlisted_recipient = no\n") : QByteArray());
    const QByteArray master =
        "127.0.0.1:" + QByteArray::number(m_port) + " inet n - n - - smtpd\n" + MasterServices;
    if (!writeFile(dir.filePath("etc/main.cf"), main) || !writeFile(dir.filePath("etc/master.cf"), master) ||
        !writeFile(dir.filePath("etc/mailboxes"), mailboxMap)) {
        m_unavailable = QStringLiteral("cannot write the configuration into %1").arg(root);
        return false;
    }

    // "check" makes the queue's folders with their owners and modes.
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(Postfix, {"-c", dir.filePath("etc"), "check"});
    if (!check.waitForFinished(120000) || check.exitStatus() != QProcess::NormalExit ||
        check.exitCode() != 0) {
        m_unavailable =
            QStringLiteral("postfix check failed: %1").arg(QString::fromLocal8Bit(check.readAll()));
        return false;
    }
    return true;
}

bool PostfixServer::start()
{
    const QDir dir(m_dir.path());
    m_master.setStandardOutputFile(dir.filePath("maillog"));
    m_master.setStandardErrorFile(dir.filePath("maillog"), QIODevice::Append);
    // -s: in the foreground, logging to its output; -e: it ends by itself should the test die first.
    m_master.start(Master, {"-c", dir.filePath("etc"), "-s", "-e", "1800"});
    if (!m_master.waitForStarted(30000)) {
        m_unavailable = QStringLiteral("cannot start %1: %2").arg(Master, m_master.errorString());
        return false;
    }
    const QDeadlineTimer deadline(90000);
    while (!listening(m_port)) {
        if (m_master.waitForFinished(100)) {
            m_unavailable = QStringLiteral("Postfix's master exited with %1 before it listened; its log: %2")
                                .arg(m_master.exitCode())
                                .arg(log());
            return false;
        }
        if (deadline.hasExpired()) {
            m_unavailable =
                QStringLiteral("Postfix did not listen on port %1; its log: %2").arg(m_port).arg(log());
            return false;
        }
    }
    return true;
}

QStringList PostfixServer::delivered(const QString &mailbox) const
{
    const QDir folder(m_dir.filePath(QStringLiteral("mail/%1/new").arg(mailbox)));
    QStringList files;
    for (const QString &name : folder.entryList(QDir::Files, QDir::Name))
        files += folder.filePath(name);
    return files;
}

QStringList PostfixServer::waitForMail(const QString &mailbox, int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    QStringList files = delivered(mailbox);
    while (files.size() < count && !deadline.hasExpired()) {
        QThread::msleep(50);
        files = delivered(mailbox);
    }
    return files;
}

QString PostfixServer::log() const
{
    QFile f(m_dir.filePath(QStringLiteral("maillog")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
