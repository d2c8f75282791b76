#include "body/MailMerger.h"
#include "body/MergeEngine.h"
#include "body/MergeTemplate.h"

#include <gtest/gtest.h>

namespace
{

// Columns c1..cN whose value in row 1 holds the next column's tag `copies` times; the last one
// holds "x". Merging "<%c1%>" multiplies the text by `copies` with every column.
RecipientTable cascade(int columns, int copies)
{
    RecipientTable t = RecipientTable::sized(1, columns);
    for (int c = 1; c <= columns; ++c) {
        t.setCell(0, c, QStringLiteral("c%1").arg(c));
        t.setCell(1, c, c < columns ? mergeTag(QStringLiteral("c%1").arg(c + 1)).repeated(copies) : "x");
    }
    return t;
}

TEST(MergeBound, ARunawayCascadeStopsWithAMessageInEveryWay)
{
    // Ten columns of ten copies ask for a thousand million characters.
    const RecipientTable t = cascade(10, 10);
    const QString text = QStringLiteral("<%c1%>");
    const Result<QString> row = mergeRow(t, 1, text);
    ASSERT_FALSE(row.ok());
    EXPECT_TRUE(row.failure().description.contains(QStringLiteral("差込を中止しました")));
    EXPECT_TRUE(row.failure().description.contains(QString::number(MergeSizeLimit)));
    EXPECT_FALSE(MergeTemplate(t, text).mergeBounded(t, 1).ok());
    EXPECT_EQ(mailInsertPreview(t, 1, text), row.failure().description);

    const MailMerger body(t, QStringLiteral("件名"), text);
    const Result<MergedMail> failed = body.mail(1);
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(failed.failure().description.startsWith(QStringLiteral("本文の差込の結果")));
    const MailMerger subject(t, text, QStringLiteral("本文"));
    ASSERT_FALSE(subject.mail(1).ok());
    EXPECT_TRUE(subject.mail(1).failure().description.startsWith(QStringLiteral("件名の")));

    // Within the limit the cascade is carried out in full.
    const Result<MergedMail> small = MailMerger(cascade(5, 10), text, text).mail(1);
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small->body, QString(10000, u'x'));
    EXPECT_EQ(small->subject, small->body);
}

// The bound holds after every column's step, in both ways of merging: a text that grows past it and
// shrinks again still stops, one that reaches it exactly does not.
TEST(MergeBound, EveryStepIsMeasuredTheSameWayByBothMerges)
{
    RecipientTable t = RecipientTable::sized(3, 2);
    t.setCell(0, 1, QStringLiteral("a"));
    t.setCell(0, 2, QStringLiteral("b"));
    t.setCell(1, 1, QStringLiteral("0123456789"));
    t.setCell(2, 1, QStringLiteral("01234567890"));
    t.setCell(3, 1, QStringLiteral("0123456789<%b%>"));
    const QString text = QStringLiteral("--<%a%>--<%a%>--<%b%>");
    // Row 1: 6 + 2 * 10 + 5 = 31 after column a, 26 after column b.
    const MergeTemplate prepared(t, text);
    for (qsizetype limit : {31, 30}) {
        for (int row = 1; row <= 2; ++row) {
            const Result<QString> sequential = mergeRow(t, row, text, limit);
            const Result<QString> quick = prepared.mergeBounded(t, row, limit);
            const bool fits = row == 1 && limit == 31;
            EXPECT_EQ(sequential.ok(), fits) << row << " " << limit;
            EXPECT_EQ(quick.ok(), fits) << row << " " << limit;
            if (fits) {
                EXPECT_EQ(quick.value(), sequential.value());
            }
        }
    }
    // A cascading row goes the straightforward way and meets the same bound.
    EXPECT_TRUE(prepared.needsSequentialMerge(t, 3));
    EXPECT_FALSE(prepared.mergeBounded(t, 3, 40).ok());
    ASSERT_TRUE(prepared.mergeBounded(t, 3, 41).ok());
    EXPECT_EQ(prepared.mergeBounded(t, 3, 41).value(), "--0123456789--0123456789--");
}

// Many occurrences in one text are replaced in one pass; the result is exact at any count.
TEST(MergeBound, ManyOccurrencesOfOneTag)
{
    RecipientTable t = RecipientTable::sized(1, 2);
    t.setCell(0, 1, QStringLiteral("氏名"));
    t.setCell(0, 2, QStringLiteral("空"));
    t.setCell(1, 1, QStringLiteral("山田様"));
    const QString text = QStringLiteral("<%氏名%>,<%空%>").repeated(200000);
    const Result<QString> merged = mergeRow(t, 1, text);
    ASSERT_TRUE(merged.ok());
    EXPECT_EQ(merged.value(), QStringLiteral("山田様,").repeated(200000));
    EXPECT_EQ(MergeTemplate(t, text).merge(t, 1), merged.value());
}

} // namespace
