#pragma once

#include "body/MergeEngine.h"
#include "platform/Failure.h"
#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringList>

#include <vector>

// A template prepared once against a table's column names, then merged for many rows with exactly
// the result of mergeSequential().
//
// Preparing runs the column-by-column replacement once with every inserted value kept opaque, which
// leaves the template as literal stretches and value slots. A row is then merged by copying those
// pieces. That shortcut is only exact when no tag of a later column can reach into an inserted
// value; rows whose values could let that happen are merged the straightforward way instead:
// - a value holding "<%" or "%>", ending with '<' or starting with '>' could hold, begin or end a
//   later tag;
// - a value that could sit wholly inside a later tag: that needs template text around its slot,
//   made only of characters that occur in tags, with a '<' on the left and a '>' on the right
//   within a later tag's length, and a value short enough and made only of tag characters.
class MergeTemplate
{
  public:
    MergeTemplate(const RecipientTable &table, const QString &text);

    // The merged copy for data row `row`; the empty text when the table has no such data row. The
    // table may have changed since preparing (status cells written, say); when its column names
    // differ the merge is done the straightforward way.
    QString merge(const RecipientTable &table, int row) const;

    // merge(), stopped like mergeSequentialBounded() when a column's step would leave the text
    // longer than limit.
    Result<QString> mergeBounded(const RecipientTable &table, int row,
                                 qsizetype limit = MergeSizeLimit) const;

    // True when row `row` goes the straightforward way.
    bool needsSequentialMerge(const RecipientTable &table, int row) const;

  private:
    // A value slot: where the tag of `column` stood in the template, [start, end).
    struct Slot {
        qsizetype start = 0;
        qsizetype end = 0;
        int column = 0;
        int field = 0;
    };
    // A column that fills at least one slot.
    struct Field {
        int column = 0;
        qsizetype uses = 0;
        // A later column exists whose tag could begin, end or lie inside this value.
        bool laterColumns = false;
        // The longest value that a later tag could enclose together with the text around one of
        // this column's slots; -1 when no slot can be enclosed.
        qsizetype enclosableLength = -1;
    };

    bool headerMatches(const RecipientTable &table) const;
    bool risky(const Field &field, QStringView value) const;
    bool isTagCharacter(char16_t ch) const { return m_tagCharacters[ch >> 6] >> (ch & 63) & 1; }
    void findSlots();
    void findEnclosableSlots();
    qsizetype reachLeft(size_t slot, int later, const std::vector<char16_t> &chars, qsizetype tagLength,
                        qint64 &budget) const;
    qsizetype reachRight(size_t slot, int later, const std::vector<char16_t> &chars, qsizetype tagLength,
                         qint64 &budget) const;

    QString m_text;
    QStringList m_names;
    QStringList m_tags;
    std::vector<Slot> m_slots;
    std::vector<Field> m_fields;
    // Indexes of m_fields in column order, the order in which the steps grow the text.
    std::vector<int> m_fieldsByColumn;
    std::vector<quint64> m_tagCharacters;
    // Set when the template is too tangled to analyse within a sensible time.
    bool m_sequentialOnly = false;
};
