#include "results/RecipientGrid.h"

namespace
{
const QString Loaded = QStringLiteral("読込OK");
const QString StatusHeader = QStringLiteral("STATUS");
} // namespace

QStringView RecipientGrid::status(int line) const
{
    if (line == 0)
        return StatusHeader;
    // The table made before any load has no status column.
    const QStringView s = m_table.hasCell(line, 0) ? m_table.cellView(line, 0) : QStringView();
    return s.isEmpty() ? QStringView(Loaded) : s;
}

QString RecipientGrid::text(int line, int column) const
{
    if (column == 0)
        return line == 0 ? QString() : QString::number(line);
    if (column == 1)
        return status(line).toString();
    return dataCell(line, column).toString();
}

RecipientGrid::Outcome RecipientGrid::outcome(int line) const
{
    if (line == 0)
        return Outcome::None;
    const QStringView s = status(line);
    if (s == StatusSent)
        return Outcome::Sent;
    if (s == StatusFailed)
        return Outcome::Failed;
    if (s == StatusBounced)
        return Outcome::Bounced;
    return Outcome::None;
}
