#include "body/MergeEngine.h"
#include "TestTables.h"
#include "body/MailMerger.h"
#include "body/MergeTemplate.h"

#include <gtest/gtest.h>

namespace
{

using MergeFunction = QString (*)(const RecipientTable &, int, const QString &);

QString mergeThroughTemplate(const RecipientTable &table, int row, const QString &text)
{
    return MergeTemplate(table, text).merge(table, row);
}

// Every behaviour of the merge is checked through the preview and through the prepared template
// that the send run uses.
class Merge : public ::testing::TestWithParam<MergeFunction>
{
  protected:
    QString merge(const RecipientTable &table, int row, const QString &text) const
    {
        return GetParam()(table, row, text);
    }
};

INSTANTIATE_TEST_SUITE_P(Engine, Merge, ::testing::Values(&mailInsertPreview, &mergeThroughTemplate),
                         [](const ::testing::TestParamInfo<MergeFunction> &info) {
                             return std::string(info.index == 0 ? "Preview" : "Prepared");
                         });

TEST_P(Merge, ReplacesEveryOccurrenceOfATagByTheRowsValue)
{
    const RecipientTable t =
        tableOf({{"メール", "地域"}, {"a@example.jp", "東京"}, {"b@example.jp", "大阪"}});
    EXPECT_EQ(merge(t, 1, "お住まいは<%地域%>ですね。"), "お住まいは東京ですね。");
    EXPECT_EQ(merge(t, 2, "<%地域%>\r\n<%地域%>と<%地域%>"), "大阪\r\n大阪と大阪");
    EXPECT_EQ(merge(t, 2, "差込のない本文\r\n"), "差込のない本文\r\n");
    EXPECT_EQ(merge(t, 1, ""), "");
}

TEST_P(Merge, OnlyTheExactTagIsReplaced)
{
    const RecipientTable t = tableOf({{"name", "ｃｉｔｙ", "地域"}, {"山田", "京都", "東京"}});
    const QString nearMisses = "<%Name%><%NAME%><%ｎａｍｅ%><%city%><% name%><%name %><% 地域 %><%地 域%>"
                               "<%unknown%><%<%name%>%>";
    EXPECT_EQ(merge(t, 1, nearMisses),
              "<%Name%><%NAME%><%ｎａｍｅ%><%city%><% name%><%name %><% 地域 %><%地 域%>"
              "<%unknown%><%山田%>");
    EXPECT_EQ(merge(t, 1, "<%ｃｉｔｙ%>: <%name <%name% name%> %> <%地域"),
              "京都: <%name <%name% name%> %> <%地域");
}

TEST_P(Merge, RowsOutsideTheRecipientsGiveEmptyText)
{
    const RecipientTable t = tableOf({{"地域"}, {"東京"}, {"大阪"}});
    for (int row : {3, 4, 1000, 0, -1})
        EXPECT_EQ(merge(t, row, "<%地域%>のお知らせ"), "") << row;
}

TEST_P(Merge, AValueHoldingALaterTagIsReplacedInTurnButNotAnEarlierOne)
{
    const RecipientTable aFirst = tableOf({{"A", "B"}, {"<%B%>", "x"}});
    EXPECT_EQ(merge(aFirst, 1, "[<%A%>]"), "[x]");
    const RecipientTable bFirst = tableOf({{"B", "A"}, {"x", "<%B%>"}});
    EXPECT_EQ(merge(bFirst, 1, "[<%A%>]"), "[<%B%>]");
    // A value holding its own tag stays as it is.
    const RecipientTable self = tableOf({{"A"}, {"<%A%><%A%>"}});
    EXPECT_EQ(merge(self, 1, "<%A%>"), "<%A%><%A%>");
}

TEST_P(Merge, DuplicateAndEmptyNamesTakeTheFirstColumn)
{
    const RecipientTable t = tableOf({{"会社", "", "会社", ""}, {"一", "二", "三", "四"}});
    EXPECT_EQ(merge(t, 1, "<%会社%>,<%%>,<%会社%>,<%%>"), "一,二,一,二");
    // The table of a window that has loaded nothing: one empty-named, empty column.
    EXPECT_EQ(merge(RecipientTable(), 1, "本文<%%>です<%x%>"), "本文です<%x%>");
}

TEST_P(Merge, ValuesGoInAsStored)
{
    const RecipientTable t = tableOf({{"メール", "氏名", "備考"},
                                      {" yamada@example.jp", "<b>山田 &amp; 子</b>", "一行目\r\n二行目 "},
                                      {"b@example.jp", "", ""}});
    EXPECT_EQ(merge(t, 1, "宛先:<%メール%>\n<%氏名%>様\n<%備考%>."),
              "宛先: yamada@example.jp\n<b>山田 &amp; 子</b>様\n一行目\r\n二行目 .");
    EXPECT_EQ(merge(t, 2, "<%氏名%>様<%備考%>"), "様");
}

// Tags that a value completes together with the template text around it, or with a neighbouring
// value, are replaced when their column comes later.
TEST_P(Merge, TagsFormedAcrossValuesAndTemplateText)
{
    struct Case {
        QStringList names;
        QStringList values;
        QString text;
        QString merged;
    };
    const Case cases[] = {
        {{"x", "b"}, {"b", "B"}, "<%<%x%>%>", "B"},
        {{"b", "x"}, {"B", "b"}, "<%<%x%>%>", "<%b%>"},
        {{"x", "abc"}, {"b", "ABC"}, "<%a<%x%>c%>", "ABC"},
        {{"e", "b"}, {"", "B"}, "<<%e%>%b%>", "B"},
        {{"x", "b"}, {"<", "B"}, "<%x%>%b%>", "B"},
        {{"x", "b"}, {">", "B"}, "<%b%<%x%>", "B"},
        {{"x", "b"}, {"%", "B"}, "<<%x%>b%>", "B"},
        {{"x", "y", "b"}, {"<%", "b%>", "B"}, "<%x%><%y%>", "B"},
        {{"x", "b"}, {"b%><%b", "B"}, "<%<%x%>%>", "BB"},
        // Names holding the markers: overlapping tags, the first found wins within a column's step.
        {{"a%><%b", "b"}, {"1", "2"}, "<%a%><%b%>", "1"},
        {{"b", "a%><%b"}, {"2", "1"}, "<%a%><%b%>", "<%a%>2"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(merge(tableOf({c.names, c.values}), 1, c.text), c.merged) << c.text.toStdString();
}

// Letters, mail headers and HTML as operators write them take the quick way for ordinary values;
// only a row whose value could form a later tag goes the straightforward way.
TEST(MergeTemplate, OrdinaryRowsAreMergedByCopyingPieces)
{
    RecipientTable t = tableOf({{"メール", "姓", "名", "会社名", "部署"},
                                {"a@example.jp", "山田", "太郎", "株式会社山田", ""},
                                {"b@example.jp", "佐藤", "", "", "営業部"},
                                {"c@example.jp", "<%名%>", "花子", "name", "%"}});
    const QString texts[] = {
        "<%会社名%>\r\n<%部署%>\r\n<%姓%><%名%>様\r\n\r\nいつもお世話になっております。",
        "<html><body><p><%姓%> <%名%>様</p><table><tr><td><%会社名%></td><td><%部署%></td></tr></table>"
        "<a href=\"mailto:<%メール%>\"><%メール%></a></body></html>",
        "<%メール%>,<%姓%>,<%名%>,<%会社名%>,<%部署%>",
        "【ご案内】<%姓%><%名%>様",
    };
    for (const QString &text : texts) {
        const MergeTemplate prepared(t, text);
        EXPECT_FALSE(prepared.needsSequentialMerge(t, 1)) << text.toStdString();
        EXPECT_FALSE(prepared.needsSequentialMerge(t, 2)) << text.toStdString();
        EXPECT_TRUE(prepared.needsSequentialMerge(t, 3)) << text.toStdString();
        for (int row = 1; row <= t.lastRow(); ++row)
            EXPECT_EQ(prepared.merge(t, row), mergeSequential(t, row, text));
    }
    EXPECT_EQ(MergeTemplate(t, texts[3]).merge(t, 3), "【ご案内】花子花子様");
}

TEST(MailMerger, MergesSubjectAndBodyWhileTheRunWritesStatusCells)
{
    RecipientTable t = tableOf({{"メール", "氏名"}, {"a@example.jp", "山田"}, {"b@example.jp", "佐藤"}});
    const MailMerger merger(t, "<%氏名%>様へ", "<%氏名%>様\r\n宛先 <%メール%>");
    EXPECT_EQ(merger.subject(1), "山田様へ");
    // Status writes grow the table's character pool; the merger must not keep views into it.
    for (int i = 0; i < 1000; ++i)
        t.setCell(1, 0, QStringLiteral("送信OK"));
    EXPECT_EQ(merger.body(2), "佐藤様\r\n宛先 b@example.jp");
    EXPECT_EQ(merger.subject(3), "");
    EXPECT_EQ(merger.body(3), "");

    // A table whose column names changed since preparing is merged by its current names.
    t.setCell(0, 2, QStringLiteral("メール"));
    t.setCell(0, 1, QStringLiteral("氏名"));
    EXPECT_EQ(merger.body(1), "a@example.jp様\r\n宛先 山田");
}

} // namespace
