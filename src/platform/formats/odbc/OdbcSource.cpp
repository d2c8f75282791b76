#include "platform/formats/odbc/OdbcSource.h"

#include "platform/Text.h"

#include <odbcinst.h>
#include <sql.h>
#include <sqlext.h>

#include <vector>

#include <clocale>
#include <langinfo.h>
#include <locale.h>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16 wide characters");

namespace
{

const SQLWCHAR *wide(const QString &s)
{
    return reinterpret_cast<const SQLWCHAR *>(s.utf16());
}

QString fromWide(const SQLWCHAR *s, qsizetype length)
{
    return QString(reinterpret_cast<const QChar *>(s), length);
}

// "[SQLSTATE] message" for each diagnostic record the driver left on the handle.
QString diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QStringList lines;
    for (SQLSMALLINT rec = 1; rec <= 8; ++rec) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> text(2048);
        SQLSMALLINT length = 0;
        const SQLRETURN rc =
            SQLGetDiagRecW(type, handle, rec, state, &native, text.data(), SQLSMALLINT(text.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        length = std::min<SQLSMALLINT>(length, SQLSMALLINT(text.size() - 1));
        lines << QStringLiteral("[%1] %2").arg(fromWide(state, 5), fromWide(text.data(), length));
    }
    return lines.join(u'\n');
}

// Whether state is the SQLSTATE of the first diagnostic record.
bool firstStateIs(SQLSMALLINT type, SQLHANDLE handle, const char *expected)
{
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, nullptr, 0, &length)))
        return false;
    return fromWide(state, 5) == QLatin1String(expected);
}

// Length of one identifier part at the start of s: a bare name, or one quoted with "", [] or ``
// (a doubled closing quote stands for itself). 0 when s does not start with one.
qsizetype identifierPart(QStringView s)
{
    if (s.isEmpty())
        return 0;
    const QChar open = s[0];
    const QChar close = open == u'"' ? u'"' : open == u'[' ? u']' : open == u'`' ? u'`' : QChar();
    if (!close.isNull()) {
        for (qsizetype i = 1; i < s.size(); ++i) {
            if (s[i] != close)
                continue;
            if (i + 1 < s.size() && s[i + 1] == close && close != u']') {
                ++i;
                continue;
            }
            return i > 1 ? i + 1 : 0;
        }
        return 0;
    }
    if (s[0].isDigit())
        return 0;
    qsizetype i = 0;
    while (i < s.size() &&
           (s[i].isLetterOrNumber() || s[i] == u'_' || s[i] == u'$' || s[i].unicode() >= 0x80) &&
           !s[i].isSpace())
        ++i;
    return i;
}

bool isTableName(QStringView s)
{
    for (int part = 0; part < 3; ++part) {
        const qsizetype n = identifierPart(s);
        if (n == 0)
            return false;
        s = s.mid(n);
        if (s.isEmpty())
            return true;
        if (s[0] != u'.')
            return false;
        s = s.mid(1);
    }
    return false;
}

bool isSqlSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

// Length of the white space and comments at the start of s; -1 when a comment is one that some
// databases read differently (unclosed, nested, or "/*!" whose text MySQL runs).
qsizetype leadingFiller(QStringView s)
{
    qsizetype i = 0;
    for (;;) {
        while (i < s.size() && isSqlSpace(s[i]))
            ++i;
        const QStringView rest = s.mid(i);
        if (rest.startsWith(u"--")) {
            const qsizetype end = rest.indexOf(u'\n');
            if (end < 0)
                return -1;
            i += end + 1;
        } else if (rest.startsWith(u"/*")) {
            const qsizetype end = rest.indexOf(u"*/", 2);
            if (end < 0 || rest.mid(2, end - 2).contains(u"/*") || rest.mid(2).startsWith(u'!'))
                return -1;
            i += end + 2;
        } else {
            return i;
        }
    }
}

// "DSN=name", with the name in braces when it holds a character the connection text reserves.
QString connectionText(const QString &dataSource)
{
    static const QString reserved = QStringLiteral(";{}=");
    for (QChar c : dataSource)
        if (reserved.contains(c) || c == u' ')
            return QStringLiteral("DSN={%1}").arg(QString(dataSource).replace(u'}', QStringLiteral("}}")));
    return QStringLiteral("DSN=") + dataSource;
}

// The driver manager and the drivers convert between wide and narrow text in the character set of
// the calling thread's locale. Texts are UTF-8 here whatever the operator's locale says (a missing
// locale or the C locale would turn Japanese names and values into garbage or failures), so every
// call into ODBC runs with a UTF-8 character type. uselocale is per thread: nothing else is touched.
class Utf8CharacterType
{
  public:
    Utf8CharacterType()
    {
        static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
        const char *codeset = nl_langinfo(CODESET);
        if (!utf8 || qstrcmp(codeset, "UTF-8") == 0 || qstrcmp(codeset, "utf8") == 0)
            return;
        m_previous = uselocale(utf8);
    }
    ~Utf8CharacterType()
    {
        if (m_previous)
            uselocale(m_previous);
    }
    Utf8CharacterType(const Utf8CharacterType &) = delete;
    Utf8CharacterType &operator=(const Utf8CharacterType &) = delete;

  private:
    locale_t m_previous = locale_t(nullptr);
};

// The drivers whose reading the cursor sets up itself; every other driver is read in a transaction
// that is rolled back, with its own settings.
enum class Driver { Other, Sqlite, Postgres };

QString info(SQLHDBC dbc, SQLUSMALLINT type)
{
    SQLWCHAR text[256] = {};
    SQLSMALLINT bytes = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, type, text, SQLSMALLINT(sizeof text), &bytes)))
        return QString();
    qsizetype n = 0;
    while (n < qsizetype(std::size(text)) - 1 && text[n] != 0)
        ++n;
    return fromWide(text, n);
}

// Told apart by both names the driver reports: another driver for the same database may not know
// the first one's keys, and the same driver may talk to a server that only resembles the database.
Driver driverOf(SQLHDBC dbc)
{
    const QString dbms = info(dbc, SQL_DBMS_NAME);
    const QString driver = info(dbc, SQL_DRIVER_NAME);
    if (dbms == QLatin1String("SQLite") &&
        driver.startsWith(QLatin1String("sqlite3odbc"), Qt::CaseInsensitive))
        return Driver::Sqlite;
    if (dbms == QLatin1String("PostgreSQL") &&
        driver.startsWith(QLatin1String("psqlodbc"), Qt::CaseInsensitive))
        return Driver::Postgres;
    return Driver::Other;
}

// Rows the PostgreSQL driver asks its server cursor for at a time, unless the data source names its
// own count: few enough to keep memory flat, enough that round trips cost little.
constexpr int PostgresFetchRows = 1000;

// Keys added after "DSN=…" so that the driver hands over rows as it reads them instead of holding
// the whole result first. They take precedence over the data source's own.
QString streamingKeys(Driver driver, const QString &dataSource)
{
    switch (driver) {
    case Driver::Sqlite:
        // Row by row (the driver does so only outside a transaction); NoTXN=0 keeps the rollback
        // of the fallback path meaningful should the read-only setting not hold.
        return QStringLiteral(";StepAPI=1;NoTXN=0");
    case Driver::Postgres: {
        // A server-side cursor read in batches.
        char fetch[32] = {};
        const QByteArray name = dataSource.toUtf8();
        const bool ownFetch = SQLGetPrivateProfileString(name.constData(), "Fetch", "", fetch,
                                                         int(sizeof fetch), "odbc.ini") > 0;
        return ownFetch ? QStringLiteral(";UseDeclareFetch=1")
                        : QStringLiteral(";UseDeclareFetch=1;Fetch=%1").arg(PostgresFetchRows);
    }
    case Driver::Other: break;
    }
    return QString();
}

// Runs one statement on its own handle, freed before returning so that it leaves nothing open
// (the SQLite driver reads row by row only while no other statement is). The first column of the
// first row goes to firstValue when asked for.
bool runSetup(SQLHDBC dbc, const QString &sql, QString *firstValue = nullptr)
{
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        return false;
    bool ok = SQL_SUCCEEDED(SQLExecDirectW(stmt, const_cast<SQLWCHAR *>(wide(sql)), SQL_NTS));
    if (ok && firstValue) {
        SQLWCHAR value[64] = {};
        SQLLEN indicator = 0;
        ok = SQL_SUCCEEDED(SQLFetch(stmt)) &&
             SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_WCHAR, value, SQLLEN(sizeof value), &indicator)) &&
             indicator != SQL_NULL_DATA;
        qsizetype n = 0;
        while (ok && n < qsizetype(std::size(value)) - 1 && value[n] != 0)
            ++n;
        *firstValue = fromWide(value, n);
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return ok;
}

// SQLite refuses every change on a query-only connection, including those of a statement that
// begins with WITH. Read back, since an SQLite too old to know the setting ignores it silently.
bool sqliteQueryOnly(SQLHDBC dbc)
{
    QString value;
    return runSetup(dbc, QStringLiteral("PRAGMA query_only = ON")) &&
           runSetup(dbc, QStringLiteral("PRAGMA query_only"), &value) && value == QLatin1String("1");
}

// The transaction is read-only: the server then refuses also what a rollback cannot undo (nextval,
// a function with side effects). Run as the transaction's first statement, after autocommit is
// off; only the transaction is marked, so a pooled server connection keeps nothing of it.
bool postgresReadOnly(SQLHDBC dbc)
{
    return runSetup(dbc, QStringLiteral("SET TRANSACTION READ ONLY"));
}

// Whether the first diagnostic says the database refused to write: SQLite's SQLITE_READONLY (the
// driver's native error), PostgreSQL's read_only_sql_transaction.
bool writeRefused(Driver driver, SQLHSTMT stmt)
{
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (driver == Driver::Other ||
        !SQL_SUCCEEDED(SQLGetDiagRecW(SQL_HANDLE_STMT, stmt, 1, state, &native, nullptr, 0, &length)))
        return false;
    if (driver == Driver::Sqlite)
        return native == 8;
    return fromWide(state, 5) == QLatin1String("25006");
}

} // namespace

QStringList odbcDataSourceNames()
{
    // The driver manager keeps the names as the bytes of its ini files (UTF-8 here) and its wide
    // entry point widens them byte by byte, so the names are asked for in their narrow form. The
    // first call asks for user and system sources together.
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return names;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    std::vector<SQLCHAR> name(1024), description(1024);
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        SQLSMALLINT nameLength = 0, descriptionLength = 0;
        const SQLRETURN rc =
            SQLDataSources(env, direction, name.data(), SQLSMALLINT(name.size()), &nameLength,
                           description.data(), SQLSMALLINT(description.size()), &descriptionLength);
        if (!SQL_SUCCEEDED(rc))
            break;
        const QString n = QString::fromUtf8(reinterpret_cast<const char *>(name.data()),
                                            std::min<qsizetype>(nameLength, qsizetype(name.size()) - 1));
        if (!trimSpaces(QStringView(n)).isEmpty())
            names << n;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

QString odbcStatementFor(const QString &tableOrStatement)
{
    const QStringView name = trimSpaces(QStringView(tableOrStatement));
    return isTableName(name) ? QStringLiteral("SELECT * FROM ") + name.toString() : tableOrStatement;
}

bool odbcIsQuery(const QString &statement)
{
    const QStringView s(statement);
    // Quoting rules differ between databases, so a ";" inside a string or a comment is not told
    // apart: any ";" but a last one would let a second statement follow.
    const qsizetype semicolon = s.indexOf(u';');
    if (semicolon >= 0) {
        for (const QChar c : s.mid(semicolon + 1))
            if (!isSqlSpace(c))
                return false;
    }
    const qsizetype start = leadingFiller(s);
    if (start < 0)
        return false;
    qsizetype end = start;
    while (end < s.size() && s[end].unicode() < 0x80 && s[end].isLetterOrNumber())
        ++end;
    if (end < s.size() && (s[end] == u'_' || s[end] == u'$' || s[end].unicode() >= 0x80))
        return false;
    const QStringView word = s.mid(start, end - start);
    for (const char *query : {"SELECT", "WITH", "VALUES"})
        if (word.compare(QLatin1String(query), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

struct OdbcCursor::Handles {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    Driver driver = Driver::Other;
    bool connected = false;
    bool inTransaction = false;
    std::vector<SQLWCHAR> buffer = std::vector<SQLWCHAR>(4096);

    ~Handles()
    {
        if (stmt != SQL_NULL_HSTMT) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        }
        // Whatever the statement changed is undone, also after a failure.
        if (inTransaction)
            SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
        if (connected)
            SQLDisconnect(dbc);
        if (dbc != SQL_NULL_HDBC)
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

OdbcCursor::OdbcCursor(std::unique_ptr<Handles> handles) : m_handles(std::move(handles))
{
}

OdbcCursor::~OdbcCursor()
{
    const Utf8CharacterType utf8;
    m_handles.reset();
}

Result<std::unique_ptr<OdbcCursor>> OdbcCursor::open(const QString &dataSource,
                                                     const QString &tableOrStatement)
{
    if (!isTableName(trimSpaces(QStringView(tableOrStatement))) && !odbcIsQuery(tableOrStatement))
        return Failure::odbcNotAQuery(tableOrStatement);

    const Utf8CharacterType utf8;
    auto h = std::make_unique<Handles>();
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env))) {
        h->env = SQL_NULL_HENV;
        return Failure::odbcUnavailable();
    }
    SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
        h->dbc = SQL_NULL_HDBC;
        return Failure::odbcUnavailable();
    }
    SQLSetConnectAttr(h->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(30), 0);

    // The data-source name is matched against the ini files' bytes, so the connection text goes
    // in its narrow (UTF-8) form; everything after it uses the wide entry points.
    const auto connect = [&h](const QString &text) {
        QByteArray connection = text.toUtf8();
        SQLCHAR completed[1024];
        SQLSMALLINT completedLength = 0;
        const SQLRETURN rc = SQLDriverConnect(h->dbc, nullptr, reinterpret_cast<SQLCHAR *>(connection.data()),
                                              SQL_NTS, completed, SQLSMALLINT(std::size(completed)),
                                              &completedLength, SQL_DRIVER_NOPROMPT);
        h->connected = SQL_SUCCEEDED(rc);
        return h->connected;
    };
    if (!connect(connectionText(dataSource)))
        return Failure::odbcConnect(dataSource, diagnostics(SQL_HANDLE_DBC, h->dbc));

    // Only a connection tells which driver serves the data source; one that can stream is
    // connected again with the keys that make it do so.
    h->driver = driverOf(h->dbc);
    if (const QString keys = streamingKeys(h->driver, dataSource); !keys.isEmpty()) {
        SQLDisconnect(h->dbc);
        h->connected = false;
        if (!connect(connectionText(dataSource) + keys))
            return Failure::odbcConnect(dataSource, diagnostics(SQL_HANDLE_DBC, h->dbc));
    }

    // A hint only: drivers that honour it refuse statements that would change the source. What
    // decides is SQLite's query-only connection (its driver streams only in autocommit mode), or
    // else a transaction rolled back when the cursor closes, read-only too on PostgreSQL (its
    // server cursor needs the transaction anyway). A driver that cannot leave autocommit mode is
    // not read from.
    SQLSetConnectAttr(h->dbc, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
    const bool queryOnly = h->driver == Driver::Sqlite && sqliteQueryOnly(h->dbc);
    if (!queryOnly) {
        if (!SQL_SUCCEEDED(SQLSetConnectAttr(h->dbc, SQL_ATTR_AUTOCOMMIT,
                                             reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                                             SQL_IS_UINTEGER)))
            return Failure::odbcNoTransaction(dataSource, diagnostics(SQL_HANDLE_DBC, h->dbc));
        h->inTransaction = true;
        if (h->driver == Driver::Postgres)
            postgresReadOnly(h->dbc); // should the server refuse it, the rollback still undoes what it can
    }

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, h->dbc, &h->stmt))) {
        h->stmt = SQL_NULL_HSTMT;
        return Failure::odbcConnect(dataSource, diagnostics(SQL_HANDLE_DBC, h->dbc));
    }
    QString statement = odbcStatementFor(tableOrStatement);
    // The PostgreSQL driver writes more after the text when it declares its cursor, which a line
    // comment at the very end would swallow.
    if (h->driver == Driver::Postgres)
        statement += u'\n';
    const SQLRETURN rc = SQLExecDirectW(h->stmt, const_cast<SQLWCHAR *>(wide(statement)), SQL_NTS);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        return writeRefused(h->driver, h->stmt)
                   ? Failure::odbcWriteRefused(tableOrStatement, diagnostics(SQL_HANDLE_STMT, h->stmt))
                   : Failure::odbcStatement(tableOrStatement, diagnostics(SQL_HANDLE_STMT, h->stmt));

    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(h->stmt, &columns)))
        return Failure::odbcStatement(tableOrStatement, diagnostics(SQL_HANDLE_STMT, h->stmt));
    if (columns <= 0)
        return Failure::odbcNoColumns(tableOrStatement);

    std::unique_ptr<OdbcCursor> cursor(new OdbcCursor(std::move(h)));
    cursor->m_source = tableOrStatement;
    Handles &hh = *cursor->m_handles;
    std::vector<SQLWCHAR> name(256);
    for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        for (;;) {
            const SQLRETURN rc = SQLDescribeColW(hh.stmt, c, name.data(), SQLSMALLINT(name.size()), &length,
                                                 &type, &size, &digits, &nullable);
            if (!SQL_SUCCEEDED(rc))
                return Failure::odbcStatement(tableOrStatement, diagnostics(SQL_HANDLE_STMT, hh.stmt));
            if (length < SQLSMALLINT(name.size()) || name.size() >= 0x7fff)
                break;
            name.resize(std::min<size_t>(size_t(length) + 1, 0x7fff));
        }
        // Some drivers report the length of the name's UTF-8 form; the name ends at its NUL.
        qsizetype n = 0;
        const qsizetype limit = std::min<qsizetype>(length, qsizetype(name.size()) - 1);
        while (n < limit && name[size_t(n)] != 0)
            ++n;
        cursor->m_columnNames << fromWide(name.data(), n);
    }
    return cursor;
}

Failure OdbcCursor::failure(qint64 record) const
{
    const Utf8CharacterType utf8;
    const QString text = diagnostics(SQL_HANDLE_STMT, m_handles->stmt);
    // A statement that writes may start doing so only when its first row is asked for.
    return writeRefused(m_handles->driver, m_handles->stmt) ? Failure::odbcWriteRefused(m_source, text)
                                                            : Failure::odbcRead(record, text);
}

Result<bool> OdbcCursor::next()
{
    const Utf8CharacterType utf8;
    const SQLRETURN rc = SQLFetch(m_handles->stmt);
    if (rc == SQL_NO_DATA)
        return false;
    if (!SQL_SUCCEEDED(rc))
        return failure(m_record + 1);
    ++m_record;
    return true;
}

Result<bool> OdbcCursor::appendValue(int column, QString &out)
{
    const Utf8CharacterType utf8;
    Handles &h = *m_handles;
    const qsizetype start = out.size();
    const SQLLEN bytes = SQLLEN(h.buffer.size() * sizeof(SQLWCHAR));
    const qsizetype whole = qsizetype(h.buffer.size()) - 1; // room left beside the terminating NUL
    for (bool first = true;; first = false) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(h.stmt, SQLUSMALLINT(column + 1), SQL_C_WCHAR, h.buffer.data(), bytes, &indicator);
        if (rc == SQL_NO_DATA && !first)
            return true;
        if (!SQL_SUCCEEDED(rc)) {
            out.truncate(start);
            return failure(m_record);
        }
        if (indicator == SQL_NULL_DATA)
            return false;
        const bool truncated = rc == SQL_SUCCESS_WITH_INFO &&
                               (indicator == SQL_NO_TOTAL || indicator >= bytes) &&
                               firstStateIs(SQL_HANDLE_STMT, h.stmt, "01004");
        if (!truncated) {
            // The value ends at its NUL even when a driver reports its length in other units.
            const qsizetype reported =
                indicator == SQL_NO_TOTAL ? whole : std::min(qsizetype(indicator) / 2, whole);
            qsizetype n = 0;
            while (n < reported && h.buffer[size_t(n)] != 0)
                ++n;
            out.append(reinterpret_cast<const QChar *>(h.buffer.data()), n);
            return true;
        }
        out.append(reinterpret_cast<const QChar *>(h.buffer.data()), whole);
    }
}
