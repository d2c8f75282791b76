#pragma once

#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// The columns whose addresses a row's mail goes to beside the main address: CC, BCC and Reply-To
// (also ＣＣ, ＢＣＣ and 返信先), named so in the header row, whatever the letter case and the spaces
// around the name. A table may have several of each; none is the usual case.
struct CopyColumns {
    std::vector<int> cc, bcc, replyTo;
    bool empty() const { return cc.empty() && bcc.empty() && replyTo.empty(); }
};
CopyColumns copyColumnsOf(const RecipientTable &table);

// The addresses of a cell: split at "," and ";", each without leading and trailing half-width
// spaces, empty pieces left out.
QStringList cellAddresses(QStringView cell);

// The addresses of row `row` in these columns, in column order.
QStringList rowAddresses(const RecipientTable &table, int row, const std::vector<int> &columns);
