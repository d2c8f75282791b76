#pragma once

#include "RecipientTable.h"

#include <QString>
#include <QStringView>

// A merge tag: "<%", a column name exactly as stored in row 0, "%>".
QString mergeTag(QStringView columnName);

// The straightforward merge of one template for one data row: for each column from 1 to the last,
// every occurrence of that column's tag is replaced by the row's cell in one left-to-right pass.
// Inserted text is not searched again in the same pass, but a later column's pass does see it, so a
// value holding the tag of a higher-numbered column is replaced in turn. row must be a row of the
// table.
QString mergeSequential(const RecipientTable &table, int row, const QString &text);

// The merged copy of text for data row `row`; the empty text when the table has no such data row.
QString mailInsertPreview(const RecipientTable &table, int row, const QString &text);
