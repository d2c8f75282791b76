#pragma once

#include "platform/Failure.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Keeps two runs of one table apart, also when they are in two processes: while a run of a table is
// open, its process holds a lock on a file named after the table's digest in the journal folder.
// Released when the object goes (or the process ends, however it ends).
class TableLock
{
  public:
    // Takes the lock of the table with this digest; refused while another run holds it. `source`
    // names the table in the refusal.
    static Result<TableLock> take(const QString &folder, const QByteArray &digest, const QString &source);
    // True while a run of this table is open, in this process or another.
    static bool held(const QString &folder, const QByteArray &digest);
    // Removes the lock files nobody holds whose last change is before `limit`. Returns how many.
    static int removeUnused(const QString &folder, const QDateTime &limit);

    TableLock() = default;
    TableLock(TableLock &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    TableLock &operator=(TableLock &&other) noexcept;
    ~TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;

  private:
    explicit TableLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};
