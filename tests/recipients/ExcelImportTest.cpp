#include "Importers.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

TEST(ExcelImport, FirstSheetBoundedByColumnAAndTheHeaderRow)
{
    Result<RecipientTable> t = ExcelDataGet(testDataPath(QStringLiteral("recipients.xls")));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    // Column A has values in rows 1 to 4 (row 4 holds only spaces, which does not end the sheet);
    // the header has three names, so column D is never read.
    EXPECT_EQ(t->lastRow(), 3);
    EXPECT_EQ(t->lastColumn(), 3);
    EXPECT_EQ(t->cell(0, 1), QStringLiteral("メールアドレス"));
    EXPECT_EQ(t->cell(1, 1), QStringLiteral("yamada@example.jp"));
    EXPECT_EQ(t->cell(1, 3), QStringLiteral("12345"));
    EXPECT_EQ(t->cell(2, 2), QStringLiteral("鈴木\r\n花子"));
    EXPECT_EQ(t->cell(2, 3), QStringLiteral("3.25"));
    EXPECT_EQ(t->cell(3, 1), QString());
    EXPECT_EQ(t->cell(3, 2), QStringLiteral("髙橋 ①"));
    EXPECT_EQ(t->cell(3, 3), QStringLiteral("1.23456789012346E+18"));
    EXPECT_EQ(t->cell(2, 0), QString());
}

TEST(ExcelImport, HeaderEndsAtItsFirstEmptyCell)
{
    Result<RecipientTable> t = ExcelDataGet(testDataPath(QStringLiteral("header_gap.xls")));
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t->lastColumn(), 2);
    EXPECT_EQ(t->cell(1, 2), QStringLiteral("A"));
}

TEST(ExcelImport, NumbersAsPlainText)
{
    Result<RecipientTable> t = ExcelDataGet(testDataPath(QStringLiteral("numbers.xls")));
    ASSERT_TRUE(t.ok());
    const QStringList expected{
        "0.1", "-2.5", "100", "1E+20", "0.000123", "123456789012.345", "0.333333333333333"};
    ASSERT_EQ(t->lastRow(), expected.size());
    for (int r = 1; r <= t->lastRow(); ++r)
        EXPECT_EQ(t->cell(r, 2), expected[r - 1]) << r;
}

TEST(ExcelImport, BadWorkbooksFail)
{
    ScratchDir dir;
    Result<RecipientTable> emptyA1 = ExcelDataGet(testDataPath(QStringLiteral("empty_a1.xls")));
    ASSERT_FALSE(emptyA1.ok());
    EXPECT_TRUE(emptyA1.failure().description.contains(QStringLiteral("A1")));
    EXPECT_EQ(ExcelDataGet(dir.write(QStringLiteral("csv.xls"), "a,b\r\n")).failure().number, 321);
    EXPECT_EQ(ExcelDataGet(dir.path(QStringLiteral("none.xls"))).failure().number, 53);
}
