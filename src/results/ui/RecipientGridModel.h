#pragma once

#include "results/RecipientGrid.h"

#include <QAbstractTableModel>
#include <QList>
#include <QRgb>

// The recipient list's grid as a table model. Grid line 0 and grid column 0 are the view's
// headers, so they stay in place while the lines scroll: model row r is grid line r + 1 and model
// column c is grid column c + 1. Cells are read from the grid when the view asks; nothing is copied
// per cell.
//
// A line's colour paints its status cell through the text colour and its data cells through the
// background: black text stays readable on pure green and pure red, and the status word keeps its
// colour on a selected line.
class RecipientGridModel : public QAbstractTableModel
{
    Q_OBJECT
  public:
    explicit RecipientGridModel(RecipientGrid grid, QObject *parent = nullptr);

    const RecipientGrid &grid() const { return m_grid; }

    // 0 is the view's standard colours.
    void setLineColour(int line, QRgb colour);
    QRgb lineColour(int line) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  private:
    RecipientGrid m_grid;
    QList<QRgb> m_colours; // per grid line
};
