#include "OdbcSources.h"

#include "FreePort.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

void appendSection(const QString &file, const QString &name, const QMap<QString, QString> &keys)
{
    QFile f(file);
    if (!f.open(QIODevice::Append))
        qFatal("cannot write %s", qPrintable(file));
    QByteArray text = "[" + name.toUtf8() + "]\n";
    for (auto it = keys.begin(); it != keys.end(); ++it)
        text += it.key().toUtf8() + "=" + it.value().toUtf8() + "\n";
    f.write(text + "\n");
}

void restoreEnv(const char *name, const QByteArray &old)
{
    if (old.isNull())
        qunsetenv(name);
    else
        qputenv(name, old);
}

QString postgresBin(const QString &program)
{
    for (const char *version : {"15", "16", "17", "14", "13"}) {
        const QString p =
            QStringLiteral("/usr/lib/postgresql/%1/bin/%2").arg(QLatin1String(version), program);
        if (QFile::exists(p))
            return p;
    }
    return QString();
}

} // namespace

OdbcTestConfig::OdbcTestConfig() : m_oldSysIni(qgetenv("ODBCSYSINI")), m_oldIni(qgetenv("ODBCINI"))
{
    if (!qEnvironmentVariableIsSet("ODBCSYSINI"))
        m_oldSysIni = QByteArray();
    if (!qEnvironmentVariableIsSet("ODBCINI"))
        m_oldIni = QByteArray();
    for (const char *name : {"odbcinst.ini", "odbc.ini", "user.ini"}) {
        QFile f(m_dir.filePath(QString::fromLatin1(name)));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", name);
    }
    // Drivers by name, kept loaded to the end of the process: the driver manager's own
    // allocations then stay attributable to it for the leak checker.
    for (const auto &[name, path] :
         {std::pair{SqliteDriverName, sqliteDriver()}, std::pair{PostgresDriverName, postgresDriver()}})
        if (!path.isEmpty())
            appendSection(
                m_dir.filePath(QStringLiteral("odbcinst.ini")), name,
                {{QStringLiteral("Driver"), path}, {QStringLiteral("DontDLClose"), QStringLiteral("1")}});
    qputenv("ODBCSYSINI", QFile::encodeName(m_dir.path()));
    qputenv("ODBCINI", QFile::encodeName(m_dir.filePath(QStringLiteral("user.ini"))));
}

OdbcTestConfig::~OdbcTestConfig()
{
    restoreEnv("ODBCSYSINI", m_oldSysIni);
    restoreEnv("ODBCINI", m_oldIni);
}

QString OdbcTestConfig::driverPath(const QString &fileName)
{
    for (const QString &dir :
         {QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc"), QStringLiteral("/usr/lib/aarch64-linux-gnu/odbc"),
          QStringLiteral("/usr/lib/odbc"), QStringLiteral("/usr/lib64")}) {
        const QString p = dir + u'/' + fileName;
        if (QFile::exists(p))
            return p;
    }
    return QString();
}

void OdbcTestConfig::addSystemSource(const QString &name, const QMap<QString, QString> &keys)
{
    appendSection(m_dir.filePath(QStringLiteral("odbc.ini")), name, keys);
}

void OdbcTestConfig::addUserSource(const QString &name, const QMap<QString, QString> &keys)
{
    appendSection(m_dir.filePath(QStringLiteral("user.ini")), name, keys);
}

void OdbcTestConfig::addSqlite(const QString &name, const QString &databasePath)
{
    addSystemSource(name, {{QStringLiteral("Driver"), SqliteDriverName},
                           {QStringLiteral("Database"), databasePath},
                           {QStringLiteral("Timeout"), QStringLiteral("2000")}});
}

QString sqliteExec(const QString &databasePath, const QString &sql)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(databasePath).constData(), &db) != SQLITE_OK) {
        const QString e = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return e;
    }
    char *error = nullptr;
    QString result;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK)
        result = QString::fromUtf8(error ? error : "error");
    sqlite3_free(error);
    sqlite3_close(db);
    return result;
}

QString PostgresServer::unavailableReason()
{
    if (postgresBin(QStringLiteral("initdb")).isEmpty())
        return QStringLiteral("PostgreSQL server programs are not installed (scripts/install-deps)");
    if (OdbcTestConfig::postgresDriver().isEmpty())
        return QStringLiteral("the PostgreSQL ODBC driver is not installed (scripts/install-deps)");
    if (geteuid() == 0 && !getpwnam("nobody"))
        return QStringLiteral("running as root and there is no user nobody to run the server");
    return QString();
}

PostgresServer::PostgresServer() = default;

PostgresServer::~PostgresServer()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    const pid_t pid = pid_t(m_server.processId());
    ::kill(pid, SIGINT); // fast shutdown
    if (!m_server.waitForFinished(30000)) {
        ::kill(pid, SIGKILL);
        m_server.waitForFinished(5000);
    }
}

QString PostgresServer::run(const QString &program, const QStringList &arguments, bool asServerUser) const
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (asServerUser && geteuid() == 0) {
        const passwd *pw = getpwnam("nobody");
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        p.setChildProcessModifier([uid, gid] {
            if (setgid(gid) != 0 || setuid(uid) != 0)
                _exit(126);
        });
    }
    p.start(program, arguments);
    if (!p.waitForFinished(120000))
        return program + QStringLiteral(": did not finish");
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll());
    return QString();
}

QString PostgresServer::start()
{
    if (const QString why = unavailableReason(); !why.isEmpty())
        return why;
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (geteuid() == 0) {
        // The cluster belongs to nobody: postgres refuses to run as root.
        const passwd *pw = getpwnam("nobody");
        if (::chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0)
            return QStringLiteral("chown failed");
    }
    QString e = run(postgresBin(QStringLiteral("initdb")),
                    {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("postgres"),
                     QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
                     QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("--no-sync")},
                    true);
    if (!e.isEmpty())
        return e;

    m_port = freePort();
    if (geteuid() == 0) {
        const passwd *pw = getpwnam("nobody");
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        m_server.setChildProcessModifier([uid, gid] {
            if (setgid(gid) != 0 || setuid(uid) != 0)
                _exit(126);
        });
    }
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(m_dir.filePath(QStringLiteral("server.log")));
    m_server.start(postgresBin(QStringLiteral("postgres")),
                   {QStringLiteral("-D"), data, QStringLiteral("-p"), QString::number(m_port),
                    QStringLiteral("-k"), m_dir.path(), QStringLiteral("-c"),
                    QStringLiteral("listen_addresses=127.0.0.1"), QStringLiteral("-c"),
                    QStringLiteral("fsync=off")});
    if (!m_server.waitForStarted(10000))
        return QStringLiteral("postgres did not start");

    const QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        if (m_server.state() == QProcess::NotRunning)
            return QStringLiteral("postgres stopped; see ") + m_dir.filePath(QStringLiteral("server.log"));
        if (run(postgresBin(QStringLiteral("pg_isready")),
                {QStringLiteral("-q"), QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                 QStringLiteral("-p"), QString::number(m_port)},
                false)
                .isEmpty())
            return QString();
        QThread::msleep(100);
    }
    return QStringLiteral("postgres did not accept connections");
}

QString PostgresServer::psql(const QString &sql) const
{
    return run(postgresBin(QStringLiteral("psql")),
               {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"),
                QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"),
                QStringLiteral("postgres"), QStringLiteral("-d"), QStringLiteral("postgres"),
                QStringLiteral("-c"), sql},
               false);
}

QMap<QString, QString> PostgresServer::sourceKeys() const
{
    return {{QStringLiteral("Driver"), OdbcTestConfig::PostgresDriverName},
            {QStringLiteral("Servername"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("Port"), QString::number(m_port)},
            {QStringLiteral("Database"), QStringLiteral("postgres")},
            {QStringLiteral("Username"), QStringLiteral("postgres")}};
}

OdbcTestWorld::OdbcTestWorld() : m_sqlite(m_config.path(QStringLiteral("members.db")))
{
    m_config.addSqlite(QStringLiteral("members"), m_sqlite);
    m_config.addSystemSource(
        QStringLiteral("nodriver"),
        {{QStringLiteral("Driver"), m_config.path(QStringLiteral("missing/libnone.so"))}});
    m_config.addUserSource(QStringLiteral("個人用"),
                           {{QStringLiteral("Driver"), OdbcTestConfig::SqliteDriverName},
                            {QStringLiteral("Database"), m_sqlite}});
    m_config.addSystemSource(QStringLiteral("members_plain"),
                             {{QStringLiteral("Driver"), OdbcTestConfig::SqliteDriverName},
                              {QStringLiteral("Database"), m_sqlite},
                              {QStringLiteral("StepAPI"), QStringLiteral("0")},
                              {QStringLiteral("NoTXN"), QStringLiteral("1")}});
    m_postgresError = PostgresServer::unavailableReason();
    if (!m_postgresError.isEmpty())
        return;
    m_postgresError = m_postgres.start();
    if (!m_postgresError.isEmpty()) {
        m_postgresBroken = true;
        return;
    }
    QMap<QString, QString> keys = m_postgres.sourceKeys();
    m_config.addSystemSource(QStringLiteral("pg"), keys);
    keys[QStringLiteral("Username")] = QStringLiteral("nobody_here");
    m_config.addSystemSource(QStringLiteral("pg_nobody"), keys);
    keys = m_postgres.sourceKeys();
    keys[QStringLiteral("UseDeclareFetch")] = QStringLiteral("1");
    keys[QStringLiteral("Fetch")] = QStringLiteral("100");
    m_config.addSystemSource(QStringLiteral("pg_cursor"), keys);
    keys = m_postgres.sourceKeys();
    keys[QStringLiteral("UseDeclareFetch")] = QStringLiteral("0");
    m_config.addSystemSource(QStringLiteral("pg_plain"), keys);
}

QString OdbcTestWorld::freshSqliteDatabase()
{
    QFile::remove(m_sqlite);
    return m_sqlite;
}

namespace
{
OdbcTestWorld *theWorld = nullptr;
}

OdbcTestWorld &odbcWorld()
{
    if (!theWorld)
        qFatal("the ODBC test world is not set up");
    return *theWorld;
}

void setOdbcWorld(OdbcTestWorld *world)
{
    theWorld = world;
}
