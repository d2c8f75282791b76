#pragma once

#include "recipients/RecipientTable.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

// rows[0] holds the column names; each later row starts with its status.
inline RecipientTable tableOf(const QList<QStringList> &rows)
{
    RecipientTable t = RecipientTable::sized(int(rows.size() - 1), int(rows[0].size()));
    for (int c = 0; c < rows[0].size(); ++c)
        t.setCell(0, c + 1, rows[0][c]);
    for (int r = 1; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            t.setCell(r, c, rows[r][c]);
    return t;
}

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
