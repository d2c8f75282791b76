#pragma once

#include "recipients/RecipientTable.h"

#include <QList>
#include <QStringList>

// A table as an import leaves it: rows[0] holds the column names, each later list one recipient;
// the status column stays empty.
inline RecipientTable tableOf(const QList<QStringList> &rows)
{
    RecipientTable t = RecipientTable::sized(int(rows.size()) - 1, int(rows[0].size()));
    for (int r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            t.setCell(r, c + 1, rows[r][c]);
    return t;
}
