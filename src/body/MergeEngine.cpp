#include "MergeEngine.h"

QString mergeTag(QStringView columnName)
{
    QString tag;
    tag.reserve(columnName.size() + 4);
    tag.append(u"<%").append(columnName).append(u"%>");
    return tag;
}

QString mergeSequential(const RecipientTable &table, int row, const QString &text)
{
    static const QChar nothing;
    QString out = text;
    for (int c = 1; c <= table.lastColumn(); ++c) {
        const QString tag = mergeTag(table.cellView(0, c));
        const QStringView value = table.cellView(row, c);
        // An empty view may carry no pointer at all; replace() wants a valid one even for 0 characters.
        out.replace(tag.constData(), tag.size(), value.isEmpty() ? &nothing : value.data(), value.size());
    }
    return out;
}

QString mailInsertPreview(const RecipientTable &table, int row, const QString &text)
{
    // Row 0 holds the column names and a negative row does not exist: neither is a recipient.
    if (row < 1 || row > table.lastRow())
        return QString();
    return mergeSequential(table, row, text);
}
