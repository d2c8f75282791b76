#include "recipients/CopyColumns.h"

#include "platform/Text.h"

namespace
{

bool named(QStringView name, std::initializer_list<QStringView> names)
{
    for (const QStringView n : names)
        if (name.compare(n, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

CopyColumns copyColumnsOf(const RecipientTable &table)
{
    CopyColumns columns;
    // Column 1 is the main address, whatever its name.
    for (int column = 2; column <= table.lastColumn(); ++column) {
        const QStringView name = trimSpaces(table.cellView(0, column));
        if (named(name, {u"CC", u"ＣＣ"}))
            columns.cc.push_back(column);
        else if (named(name, {u"BCC", u"ＢＣＣ"}))
            columns.bcc.push_back(column);
        else if (named(name, {u"Reply-To", u"返信先"}))
            columns.replyTo.push_back(column);
    }
    return columns;
}

QStringList cellAddresses(QStringView cell)
{
    QStringList out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= cell.size(); ++i) {
        if (i < cell.size() && cell[i] != u',' && cell[i] != u';')
            continue;
        const QStringView piece = trimSpaces(cell.sliced(start, i - start));
        if (!piece.isEmpty())
            out.append(piece.toString());
        start = i + 1;
    }
    return out;
}

QStringList rowAddresses(const RecipientTable &table, int row, const std::vector<int> &columns)
{
    QStringList out;
    for (const int column : columns)
        if (table.hasCell(row, column))
            out += cellAddresses(table.cellView(row, column));
    return out;
}
