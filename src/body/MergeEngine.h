#pragma once

#include "platform/Failure.h"
#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringView>

// The largest merged subject or body, in characters (UTF-16 code units). The cascade of the merge
// (a value holding a later column's tag is replaced again) can multiply a text's size with every
// column, so a few hundred bytes of table can ask for gigabytes. Sixteen million characters is far
// past any mail a server accepts (their size limits are tens of megabytes after encoding, which
// grows the text by a third or more), yet small enough that reaching it costs a fraction of a second
// and 32 MB of memory before the merge stops.
constexpr qsizetype MergeSizeLimit = qsizetype(16) * 1024 * 1024;

// Why a merge stopped: its text would have grown past limit characters. what names the text
// ("本文", "件名") or is empty.
Failure mergeTooLarge(qsizetype limit, const QString &what = QString());

// A merge tag: "<%", a column name exactly as stored in row 0, "%>".
QString mergeTag(QStringView columnName);

// The straightforward merge of one template for one data row: for each column from 1 to the last,
// every occurrence of that column's tag is replaced by the row's cell in one left-to-right pass.
// Inserted text is not searched again in the same pass, but a later column's pass does see it, so a
// value holding the tag of a higher-numbered column is replaced in turn. A column's step that would
// leave the text longer than limit stops the merge with mergeTooLarge(). row must be a row of the
// table.
Result<QString> mergeSequentialBounded(const RecipientTable &table, int row, const QString &text,
                                       qsizetype limit = MergeSizeLimit);

// mergeSequentialBounded() for texts within the limit; a merge stopped by the limit gives the empty
// text.
QString mergeSequential(const RecipientTable &table, int row, const QString &text);

// The merged copy of text for data row `row`; the empty text when the table has no such data row.
Result<QString> mergeRow(const RecipientTable &table, int row, const QString &text,
                         qsizetype limit = MergeSizeLimit);

// The text the previews show for data row `row`: the merged copy, the empty text when the table has
// no such row, or the reason when the merge was stopped by the size limit.
QString mailInsertPreview(const RecipientTable &table, int row, const QString &text);

// Whether a text holds a merge tag ("<%" with a "%>" after it). A name of the attachment box that
// does names a file of its own for every row: it is looked for per row, not when the run starts.
bool hasMergeTag(QStringView text);
