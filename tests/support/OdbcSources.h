#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Real data sources for the ODBC tests and benchmark; nothing outside a scratch folder is touched.

// The driver manager reads its drivers and data sources from a scratch folder (ODBCSYSINI for the
// system sources, ODBCINI for the user sources) while this object lives.
class OdbcTestConfig
{
  public:
    OdbcTestConfig();
    ~OdbcTestConfig();

    // The names under which the drivers are installed in the scratch odbcinst.ini.
    static inline const QString SqliteDriverName = QStringLiteral("Velmora test SQLite");
    static inline const QString PostgresDriverName = QStringLiteral("Velmora test PostgreSQL");

    // Full path of a driver library in the system's ODBC folder; empty when not installed.
    static QString driverPath(const QString &fileName);
    static QString sqliteDriver() { return driverPath(QStringLiteral("libsqlite3odbc.so")); }
    static QString postgresDriver() { return driverPath(QStringLiteral("psqlodbcw.so")); }

    // Adds a data source with the given keys (Driver= must be among them).
    void addSystemSource(const QString &name, const QMap<QString, QString> &keys);
    void addUserSource(const QString &name, const QMap<QString, QString> &keys);
    void addSqlite(const QString &name, const QString &databasePath);

    QString path(const QString &name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_oldSysIni, m_oldIni;
};

// Runs SQL on an SQLite database file (made when missing); returns the error text, empty on success.
QString sqliteExec(const QString &databasePath, const QString &sql);

// A throw-away PostgreSQL cluster: initdb in a scratch folder (as the user nobody when run as root),
// postgres on a free loopback port, stopped by its process id when the object goes away.
class PostgresServer
{
  public:
    // Empty when the server programs are installed, else why the server cannot run.
    static QString unavailableReason();

    PostgresServer();
    ~PostgresServer();
    // Makes and starts the cluster; the error text, empty on success.
    QString start();
    // Runs SQL with psql on the database "postgres"; the error text, empty on success.
    QString psql(const QString &sql) const;

    int port() const { return m_port; }
    // Keys of a data source for the database "postgres" of this server.
    QMap<QString, QString> sourceKeys() const;

  private:
    QString run(const QString &program, const QStringList &arguments, bool asServerUser) const;

    QTemporaryDir m_dir;
    QProcess m_server;
    int m_port = 0;
};

// The data sources of a whole test run. The driver manager keeps the folder of its system ini file
// from its first call to the end of the process, so every source is defined once, before any test:
//   "members" (system) and "個人用" (user): one SQLite database, made anew by each test;
//   "members_plain": the same, its source turning row-by-row reading and transactions off;
//   "nodriver": a source whose driver library does not exist;
//   "pg": the database "postgres" of a throw-away PostgreSQL server; "pg_cursor" the same, its
//   source asking for 100 rows at a time; "pg_plain" the same, its source turning the server-side
//   cursor off; "pg_nobody" a role the server does not know.
class OdbcTestWorld
{
  public:
    OdbcTestWorld();
    // Empties the SQLite database of "members" and returns its path.
    QString freshSqliteDatabase();
    // Empty when the PostgreSQL sources can be used, else why not.
    QString postgresUnavailable() const { return m_postgresError; }
    // True when the server programs are installed but the server could not be started: a failure,
    // not a reason to skip.
    bool postgresBroken() const { return m_postgresBroken; }
    PostgresServer &postgres() { return m_postgres; }

  private:
    OdbcTestConfig m_config;
    QString m_sqlite;
    PostgresServer m_postgres;
    QString m_postgresError;
    bool m_postgresBroken = false;
};

// The world of the running test binary; set up before the first test.
OdbcTestWorld &odbcWorld();
void setOdbcWorld(OdbcTestWorld *world);
// A test program whose tests use odbcWorld() registers it once, before main():
//   [[maybe_unused]] const bool odbc = useOdbcWorld();
bool useOdbcWorld();
