#include "platform/formats/XlsWorkbook.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

TEST(XlsWorkbook, NumbersReadAsTheirPlainTextWithFifteenDigits)
{
    EXPECT_EQ(numberText15(0), QStringLiteral("0"));
    EXPECT_EQ(numberText15(12345), QStringLiteral("12345"));
    EXPECT_EQ(numberText15(-2.5), QStringLiteral("-2.5"));
    EXPECT_EQ(numberText15(0.1), QStringLiteral("0.1"));
    EXPECT_EQ(numberText15(1.0 / 3.0), QStringLiteral("0.333333333333333"));
    EXPECT_EQ(numberText15(123456789012.345), QStringLiteral("123456789012.345"));
    EXPECT_EQ(numberText15(0.000123), QStringLiteral("0.000123"));
    EXPECT_EQ(numberText15(1e20), QStringLiteral("1E+20"));
    EXPECT_EQ(numberText15(1234567890123456789.0), QStringLiteral("1.23456789012346E+18"));
}

TEST(XlsWorkbook, ReadsTheFirstSheetCellByCell)
{
    Result<std::unique_ptr<XlsWorkbook>> book =
        XlsWorkbook::open(testDataPath(QStringLiteral("recipients.xls")));
    ASSERT_TRUE(book.ok()) << book.failure().description.toStdString();
    const XlsWorkbook &b = *book.value();
    EXPECT_EQ(b.cellText(1, 1).value(), QStringLiteral("メールアドレス"));
    EXPECT_EQ(b.cellText(3, 2).value(), QStringLiteral("鈴木\n花子"));
    EXPECT_EQ(b.cellText(3, 4).value(), QStringLiteral("2026/12/08"));
    // Outside the sheet is empty, not a failure.
    EXPECT_EQ(b.cellText(b.rowCount() + 1, 1).value(), QString());
    EXPECT_EQ(b.cellText(1, b.columnCount() + 1).value(), QString());
}

TEST(XlsWorkbook, FilesThatAreNoWorkbookFail)
{
    ScratchDir dir;
    EXPECT_EQ(XlsWorkbook::open(dir.path(QStringLiteral("none.xls"))).failure().number, 53);
    const QString fake = dir.write(QStringLiteral("fake.xls"), "address,name\r\na@b,c\r\n");
    Result<std::unique_ptr<XlsWorkbook>> r = XlsWorkbook::open(fake);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().number, 321);
    QByteArray garbage(4096, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 7919 + 13) & 0xFF);
    // A compound-file signature followed by garbage must not crash the reader.
    garbage.replace(0, 8, QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    EXPECT_FALSE(XlsWorkbook::open(dir.write(QStringLiteral("garbage.xls"), garbage)).ok());
}
