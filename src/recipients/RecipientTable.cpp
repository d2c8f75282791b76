#include "recipients/RecipientTable.h"

#include <limits>
#include <stdexcept>

RecipientTable::RecipientTable() : m_rows(2), m_firstColumn(1), m_lastColumn(1)
{
    m_cells.resize(2);
}

RecipientTable RecipientTable::sized(int lastRow, int lastColumn, QString pool)
{
    if (lastRow < 0 || lastColumn < 0)
        throw std::out_of_range("RecipientTable::sized");
    RecipientTable t;
    t.m_pool = std::move(pool);
    t.m_rows = lastRow + 1;
    t.m_firstColumn = 0;
    t.m_lastColumn = lastColumn;
    t.m_cells = QList<Span>(qsizetype(t.m_rows) * lastColumn);
    t.m_status = QList<Span>(t.m_rows);
    return t;
}

QStringView RecipientTable::cellView(int row, int column) const
{
    if (!hasCell(row, column))
        throw std::out_of_range("RecipientTable::cellView");
    if (column == 0) {
        const Span &s = m_status[row];
        return QStringView(m_statusPool).mid(s.start, s.length);
    }
    const Span &s = m_cells[index(row, column)];
    return QStringView(m_pool).mid(s.start, s.length);
}

void RecipientTable::setCell(int row, int column, QStringView text)
{
    if (!hasCell(row, column))
        throw std::out_of_range("RecipientTable::setCell");
    if (column == 0) {
        setStatusCell(row, text);
        return;
    }
    if (m_pool.size() + text.size() > std::numeric_limits<quint32>::max())
        throw std::length_error("RecipientTable pool");
    const qsizetype start = m_pool.size();
    m_pool.append(text);
    m_cells[index(row, column)] = {quint32(start), quint32(text.size())};
}

void RecipientTable::setCellSpan(int row, int column, qsizetype start, qsizetype length)
{
    if (!hasCell(row, column) || start < 0 || length < 0 || start + length > m_pool.size())
        throw std::out_of_range("RecipientTable::setCellSpan");
    if (column == 0) {
        setStatusCell(row, QStringView(m_pool).mid(start, length));
        return;
    }
    m_cells[index(row, column)] = {quint32(start), quint32(length)};
}

void RecipientTable::setStatusCell(int row, QStringView text)
{
    for (const Span &s : m_recentStatus) {
        if (s.length == text.size() && QStringView(m_statusPool).mid(s.start, s.length) == text) {
            m_status[row] = s;
            return;
        }
    }
    if (m_statusPool.size() + text.size() > std::numeric_limits<quint32>::max())
        throw std::length_error("RecipientTable status pool");
    const Span s{quint32(m_statusPool.size()), quint32(text.size())};
    m_statusPool.append(text);
    m_status[row] = s;
    m_recentStatus[m_nextRecent] = s;
    m_nextRecent = quint8((m_nextRecent + 1) % m_recentStatus.size());
}

QString RecipientTable::reason(int row) const
{
    if (row < 1 || row >= m_rows)
        throw std::out_of_range("RecipientTable::reason");
    return row < m_reasons.size() ? m_reasons[row] : QString();
}

void RecipientTable::setReason(int row, const QString &text)
{
    if (row < 1 || row >= m_rows)
        throw std::out_of_range("RecipientTable::setReason");
    // A run clears the reason of every row it sends: rows without one need no room.
    if (text.isEmpty() && row >= m_reasons.size())
        return;
    if (m_reasons.size() < m_rows)
        m_reasons.resize(m_rows);
    m_reasons[row] = text;
}

bool RecipientTable::mayHaveArrived(int row) const
{
    if (row < 1 || row >= m_rows)
        throw std::out_of_range("RecipientTable::mayHaveArrived");
    return row < m_mayHaveArrived.size() && m_mayHaveArrived[row];
}

void RecipientTable::setMayHaveArrived(int row, bool may)
{
    if (row < 1 || row >= m_rows)
        throw std::out_of_range("RecipientTable::setMayHaveArrived");
    if (!may && row >= m_mayHaveArrived.size())
        return;
    if (m_mayHaveArrived.size() < m_rows)
        m_mayHaveArrived.resize(m_rows);
    m_mayHaveArrived[row] = may;
}
