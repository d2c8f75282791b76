#include "body/MergeEngine.h"

#include <QStringMatcher>

#include <cstring>
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

namespace
{

// Values and the text between tags are often a few characters: a plain loop beats a call to memcpy.
QChar *put(QChar *to, const QChar *from, qsizetype n)
{
    if (n <= 16) {
        for (qsizetype i = 0; i < n; ++i)
            to[i] = from[i];
    } else {
        std::memcpy(static_cast<void *>(to), from, size_t(n) * sizeof(QChar));
    }
    return to + n;
}

} // namespace

Result<QString> mergeSequentialBounded(const RecipientTable &table, int row, const QString &text,
                                       qsizetype limit)
{
    QString out = text;
    std::vector<qsizetype> found;
    for (int c = 1; c <= table.lastColumn(); ++c) {
        const QString tag = mergeTag(table.cellView(0, c));
        const QStringView value = table.cellView(row, c);
        const QStringView current(out);
        // One matcher per column: its search table is built once, not once per occurrence.
        const QStringMatcher matcher(tag);
        found.clear();
        for (qsizetype at = matcher.indexIn(current); at >= 0; at = matcher.indexIn(current, at + tag.size()))
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
            to = put(to, current.data() + from, at - from);
            to = put(to, value.data(), value.size());
            from = at + tag.size();
        }
        put(to, current.data() + from, current.size() - from);
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

bool hasMergeTag(QStringView text)
{
    const qsizetype open = text.indexOf(u"<%");
    return open >= 0 && text.indexOf(u"%>", open + 2) >= 0;
}
