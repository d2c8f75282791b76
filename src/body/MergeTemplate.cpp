#include "body/MergeTemplate.h"

#include "body/MergeEngine.h"

#include <QVarLengthArray>

#include <algorithm>

namespace
{

// Scanning steps allowed when looking for slots that a later tag could enclose; a template that
// needs more is merged the straightforward way for every row.
constexpr qint64 ScanBudget = qint64(1) << 24;

// The characters of one tag, sorted, for membership tests while scanning.
std::vector<char16_t> charactersOf(QStringView tag)
{
    std::vector<char16_t> chars(tag.utf16(), tag.utf16() + tag.size());
    std::sort(chars.begin(), chars.end());
    chars.erase(std::unique(chars.begin(), chars.end()), chars.end());
    return chars;
}

bool holds(const std::vector<char16_t> &chars, char16_t ch)
{
    return std::binary_search(chars.begin(), chars.end(), ch);
}

} // namespace

MergeTemplate::MergeTemplate(const RecipientTable &table, const QString &text)
    : m_text(text), m_tagCharacters(65536 / 64)
{
    for (int c = 1; c <= table.lastColumn(); ++c) {
        m_names.append(table.cell(0, c));
        m_tags.append(mergeTag(m_names.back()));
        for (QChar ch : std::as_const(m_tags.back()))
            m_tagCharacters[ch.unicode() >> 6] |= quint64(1) << (ch.unicode() & 63);
    }
    findSlots();
    findEnclosableSlots();
}

// Runs the column steps once over the template with every inserted value opaque: a tag is looked
// for only in the template text still between slots, never across or inside a slot.
void MergeTemplate::findSlots()
{
    const QStringView text(m_text);
    for (int c = 1; c <= m_tags.size(); ++c) {
        const QStringView tag(m_tags[c - 1]);
        // Text between slots is template text, so a tag missing from the template is missing there.
        if (!text.contains(tag))
            continue;
        std::vector<Slot> next;
        next.reserve(m_slots.size() + 8);
        const auto scan = [&](qsizetype from, qsizetype to) {
            const QStringView stretch = text.first(to);
            for (qsizetype at = stretch.indexOf(tag, from); at >= 0;
                 at = stretch.indexOf(tag, at + tag.size()))
                next.push_back({at, at + tag.size(), c, 0});
        };
        qsizetype from = 0;
        for (const Slot &slot : m_slots) {
            scan(from, slot.start);
            next.push_back(slot);
            from = slot.end;
        }
        scan(from, text.size());
        m_slots.swap(next);
    }

    std::vector<int> fieldOfColumn(m_tags.size() + 1, -1);
    for (Slot &slot : m_slots) {
        int &field = fieldOfColumn[slot.column];
        if (field < 0) {
            field = int(m_fields.size());
            m_fields.push_back({slot.column, 0, slot.column < m_tags.size(), -1});
        }
        slot.field = field;
        ++m_fields[field].uses;
    }
    for (int f = 0; f < int(m_fields.size()); ++f)
        m_fieldsByColumn.push_back(f);
    std::sort(m_fieldsByColumn.begin(), m_fieldsByColumn.end(),
              [this](int a, int b) { return m_fields[a].column < m_fields[b].column; });
}

// A later tag that encloses a slot's value whole must begin with a '<' and end with a '>' from the
// template, and all template text in between belongs to that tag. Slots of columns before that
// tag's step hold values by then and are passed over; slots of its own or later columns are still
// tag text. For each slot and each later column this finds the nearest such '<' and '>' and keeps
// how long a value could be and still fit.
void MergeTemplate::findEnclosableSlots()
{
    std::vector<std::vector<char16_t>> tagChars;
    for (const QString &tag : std::as_const(m_tags))
        tagChars.push_back(charactersOf(tag));
    qint64 budget = ScanBudget;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        Field &field = m_fields[m_slots[i].field];
        for (int later = m_slots[i].column + 1; later <= m_tags.size(); ++later) {
            const qsizetype tagLength = m_tags[later - 1].size();
            const std::vector<char16_t> &chars = tagChars[later - 1];
            const qsizetype left = reachLeft(i, later, chars, tagLength, budget);
            const qsizetype right = left < 0 ? -1 : reachRight(i, later, chars, tagLength, budget);
            if (budget < 0) {
                m_sequentialOnly = true;
                return;
            }
            if (left >= 0 && right >= 0 && left + right <= tagLength)
                field.enclosableLength = std::max(field.enclosableLength, tagLength - left - right);
        }
    }
}

// The template characters from the nearest usable '<' left of the slot up to the slot, or -1.
qsizetype MergeTemplate::reachLeft(size_t slot, int later, const std::vector<char16_t> &chars,
                                   qsizetype tagLength, qint64 &budget) const
{
    qsizetype pos = m_slots[slot].start - 1;
    ptrdiff_t near = ptrdiff_t(slot) - 1;
    qsizetype count = 0;
    while (pos >= 0 && --budget >= 0) {
        while (near >= 0 && m_slots[near].start > pos)
            --near;
        if (near >= 0 && pos < m_slots[near].end && m_slots[near].column < later) {
            pos = m_slots[near].start - 1;
            continue;
        }
        const char16_t ch = m_text[pos].unicode();
        if (!holds(chars, ch) || ++count > tagLength)
            return -1;
        if (ch == u'<')
            return count;
        --pos;
    }
    return -1;
}

// The template characters from the slot's end up to the nearest usable '>', or -1.
qsizetype MergeTemplate::reachRight(size_t slot, int later, const std::vector<char16_t> &chars,
                                    qsizetype tagLength, qint64 &budget) const
{
    qsizetype pos = m_slots[slot].end;
    size_t near = slot + 1;
    qsizetype count = 0;
    while (pos < m_text.size() && --budget >= 0) {
        while (near < m_slots.size() && m_slots[near].end <= pos)
            ++near;
        if (near < m_slots.size() && pos >= m_slots[near].start && m_slots[near].column < later) {
            pos = m_slots[near].end;
            continue;
        }
        const char16_t ch = m_text[pos].unicode();
        if (!holds(chars, ch) || ++count > tagLength)
            return -1;
        if (ch == u'>')
            return count;
        ++pos;
    }
    return -1;
}

bool MergeTemplate::headerMatches(const RecipientTable &table) const
{
    if (table.lastColumn() != m_names.size())
        return false;
    for (int c = 1; c <= table.lastColumn(); ++c) {
        if (table.cellView(0, c) != m_names[c - 1])
            return false;
    }
    return true;
}

bool MergeTemplate::risky(const Field &field, QStringView value) const
{
    if (field.laterColumns &&
        (value.contains(u"<%") || value.contains(u"%>") || value.endsWith(u'<') || value.startsWith(u'>')))
        return true;
    if (value.size() > field.enclosableLength)
        return false;
    return std::all_of(value.begin(), value.end(), [this](QChar ch) { return isTagCharacter(ch.unicode()); });
}

bool MergeTemplate::needsSequentialMerge(const RecipientTable &table, int row) const
{
    if (m_sequentialOnly || !headerMatches(table))
        return true;
    return std::any_of(m_fields.begin(), m_fields.end(),
                       [&](const Field &f) { return risky(f, table.cellView(row, f.column)); });
}

QString MergeTemplate::merge(const RecipientTable &table, int row) const
{
    Result<QString> merged = mergeBounded(table, row);
    return merged ? std::move(merged.value()) : QString();
}

Result<QString> MergeTemplate::mergeBounded(const RecipientTable &table, int row, qsizetype limit) const
{
    if (row < 1 || row > table.lastRow())
        return QString();
    if (m_sequentialOnly || !headerMatches(table))
        return mergeSequentialBounded(table, row, m_text, limit);

    QVarLengthArray<QStringView, 64> values;
    values.reserve(qsizetype(m_fields.size()));
    for (const Field &field : m_fields) {
        const QStringView value = table.cellView(row, field.column);
        if (risky(field, value))
            return mergeSequentialBounded(table, row, m_text, limit);
        values.append(value);
    }
    // No value here can form a later tag, so each column's step replaces exactly its own slots and
    // the text after that step has the length summed below; the bound applies to every step, as in
    // the straightforward merge.
    qsizetype length = m_text.size();
    for (int f : m_fieldsByColumn) {
        const Field &field = m_fields[size_t(f)];
        const qsizetype tagLength = m_tags[field.column - 1].size();
        const qsizetype grow = values[f].size() - tagLength;
        if (grow > 0 && grow > (limit - length) / field.uses)
            return mergeTooLarge(limit);
        length += grow * field.uses;
        if (length > limit)
            return mergeTooLarge(limit);
    }

    QString out(length, Qt::Uninitialized);
    QChar *to = out.data();
    const QChar *from = m_text.constData();
    qsizetype at = 0;
    for (const Slot &slot : m_slots) {
        to = std::copy(from + at, from + slot.start, to);
        const QStringView value = values[slot.field];
        to = std::copy(value.begin(), value.end(), to);
        at = slot.end;
    }
    std::copy(from + at, from + m_text.size(), to);
    return out;
}
