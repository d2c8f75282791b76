#pragma once

#include "platform/Failure.h"

#include <QString>
#include <QStringList>

#include <memory>

// The names of the data sources the ODBC driver manager knows, user sources first, then system
// sources, as it reports them. Empty when the driver manager cannot be used.
QStringList odbcDataSourceNames();

// The text run for what the operator typed: a table name (one identifier, bare or quoted, with an
// optional schema) becomes a query of all its rows; anything else is a statement run as typed.
QString odbcStatementFor(const QString &tableOrStatement);

// Whether a statement only asks for rows: one statement that begins with SELECT, WITH or VALUES
// after white space and comments, with a ";" at most at its very end.
bool odbcIsQuery(const QString &statement);

// One query on one data source, read strictly forward. A query can still try to change data (a
// WITH holding a DELETE, a function with side effects), so nothing it does may be kept: SQLite's
// driver reads row by row on a query-only connection; PostgreSQL's reads through a server cursor in
// a read-only transaction that is always rolled back; every other driver reads in a transaction
// that is always rolled back, with the data source's own settings.
// All calls after the connection use the wide (UTF-16) entry points, so names and values arrive intact
// whatever the driver's own narrow encoding.
class OdbcCursor
{
  public:
    // Connects with "DSN=<dataSource>" and runs odbcStatementFor(tableOrStatement); a statement
    // that is not a query (odbcIsQuery) is refused before anything is run.
    static Result<std::unique_ptr<OdbcCursor>> open(const QString &dataSource,
                                                    const QString &tableOrStatement);
    ~OdbcCursor();
    OdbcCursor(const OdbcCursor &) = delete;
    OdbcCursor &operator=(const OdbcCursor &) = delete;

    const QStringList &columnNames() const { return m_columnNames; }

    // Moves to the next record; false past the last one.
    Result<bool> next();
    // Appends the text of column `column` (from 0) of the current record to `out`, as the driver
    // converts it to characters. False, with `out` unchanged, when the value is NULL.
    Result<bool> appendValue(int column, QString &out);

  private:
    struct Handles;
    explicit OdbcCursor(std::unique_ptr<Handles> handles);
    Failure failure(qint64 record) const;

    std::unique_ptr<Handles> m_handles;
    QString m_source;
    QStringList m_columnNames;
    qint64 m_record = 0;
};
