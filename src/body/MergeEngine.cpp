#include "MergeEngine.h"

#include <vector>

Failure mergeTooLarge(qsizetype limit, const QString &what)
{
    return {FailureNumber::OutOfMemory,
            QStringLiteral("%1差込の結果が大きすぎるため、差込を中止しました（上限 %2 文字）。"
                           "差込項目の値に、後の列の差込タグが繰り返し含まれていないか確認してください。")
                .arg(what.isEmpty() ? QString() : what + QStringLiteral("の"))
                .arg(limit)};
}

QString mergeTag(QStringView columnName)
{
    QString tag;
    tag.reserve(columnName.size() + 4);
    tag.append(u"<%").append(columnName).append(u"%>");
    return tag;
}

Result<QString> mergeSequentialBounded(const RecipientTable &table, int row, const QString &text,
                                       qsizetype limit)
{
    QString out = text;
    std::vector<qsizetype> found;
    for (int c = 1; c <= table.lastColumn(); ++c) {
        const QString tag = mergeTag(table.cellView(0, c));
        const QStringView value = table.cellView(row, c);
        const QStringView current(out);
        found.clear();
        for (qsizetype at = current.indexOf(tag); at >= 0; at = current.indexOf(tag, at + tag.size()))
            found.push_back(at);
        if (found.empty())
            continue;
        // Counted before anything is built, so a step that runs away never allocates its result.
        const qsizetype count = qsizetype(found.size());
        if (value.size() > tag.size() && (value.size() - tag.size()) > (limit - current.size()) / count)
            return mergeTooLarge(limit);
        const qsizetype length = current.size() + count * (value.size() - tag.size());
        if (length > limit)
            return mergeTooLarge(limit);
        // One pass that copies each stretch once; replacing in place would move the rest of the text
        // again for every batch of occurrences.
        QString next(length, Qt::Uninitialized);
        QChar *to = next.data();
        qsizetype from = 0;
        for (qsizetype at : found) {
            to = std::copy(current.begin() + from, current.begin() + at, to);
            to = std::copy(value.begin(), value.end(), to);
            from = at + tag.size();
        }
        std::copy(current.begin() + from, current.end(), to);
        out = std::move(next);
    }
    return out;
}

QString mergeSequential(const RecipientTable &table, int row, const QString &text)
{
    Result<QString> merged = mergeSequentialBounded(table, row, text);
    return merged ? std::move(merged.value()) : QString();
}

Result<QString> mergeRow(const RecipientTable &table, int row, const QString &text, qsizetype limit)
{
    // Row 0 holds the column names and a negative row does not exist: neither is a recipient.
    if (row < 1 || row > table.lastRow())
        return QString();
    return mergeSequentialBounded(table, row, text, limit);
}

QString mailInsertPreview(const RecipientTable &table, int row, const QString &text)
{
    Result<QString> merged = mergeRow(table, row, text);
    return merged ? std::move(merged.value()) : merged.failure().description;
}
