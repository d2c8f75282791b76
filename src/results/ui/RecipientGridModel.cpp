#include "results/ui/RecipientGridModel.h"

#include <QBrush>
#include <QColor>

RecipientGridModel::RecipientGridModel(RecipientGrid grid, QObject *parent)
    : QAbstractTableModel(parent), m_grid(std::move(grid)), m_colours(m_grid.lineCount(), 0)
{
}

void RecipientGridModel::setLineColour(int line, QRgb colour)
{
    if (m_colours[line] == colour)
        return;
    m_colours[line] = colour;
    if (line >= 1)
        emit dataChanged(index(line - 1, 0), index(line - 1, columnCount() - 1),
                         {Qt::ForegroundRole, Qt::BackgroundRole});
}

QRgb RecipientGridModel::lineColour(int line) const
{
    return m_colours[line];
}

int RecipientGridModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_grid.lineCount() - 1;
}

int RecipientGridModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_grid.columnCount() - 1;
}

QVariant RecipientGridModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int line = index.row() + 1;
    const int column = index.column() + 1;
    switch (role) {
    case Qt::DisplayRole: return m_grid.text(line, column);
    case Qt::ToolTipRole: {
        if (column != 1)
            return {};
        const QString reason = m_grid.reason(line);
        return reason.isEmpty() ? QVariant() : QVariant(reason);
    }
    case Qt::ForegroundRole:
    case Qt::BackgroundRole: {
        const QRgb c = m_colours[line];
        const bool statusCell = column == 1;
        if (c == 0 || statusCell != (role == Qt::ForegroundRole))
            return {};
        return QBrush(QColor::fromRgb(c));
    }
    default: return {};
    }
}

QVariant RecipientGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return m_grid.text(0, section + 1);
    return m_grid.text(section + 1, 0);
}
