#include "body/MergeCheck.h"

bool mergeCheckReady(const RecipientTable &table, QStringView body)
{
    const bool recipients = (table.hasCell(0, 1) && !table.cellView(0, 1).isEmpty()) || table.lastRow() > 1;
    return recipients && body.size() > 1;
}
