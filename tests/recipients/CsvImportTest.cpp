#include "TestEnvironment.h"
#include "recipients/Importers.h"

#include <gtest/gtest.h>

namespace
{

QStringList row(const RecipientTable &t, int r)
{
    QStringList out;
    for (int c = t.firstColumn(); c <= t.lastColumn(); ++c)
        out << t.cell(r, c);
    return out;
}

Result<RecipientTable> importBytes(const ScratchDir &dir, const QByteArray &bytes)
{
    return CSVDataGet(dir.write(QStringLiteral("in.csv"), bytes));
}

} // namespace

TEST(CsvImport, ShiftJisFileBecomesHeaderAndRecipientRows)
{
    ScratchDir dir;
    const QString text = QStringLiteral("メール, 氏名 ,会社\r\n"
                                        " yamada@example.jp ,山田　太郎,\"株式会社, 山田\"\r\n"
                                        "\ttab@example.jp\t,髙橋①,～\r\n");
    Result<RecipientTable> t = importBytes(dir, toCp932(text));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->lastRow(), 2);
    EXPECT_EQ(t->lastColumn(), 3);
    EXPECT_EQ(t->firstColumn(), 0);
    // Column 0 is the empty status; only U+0020 is trimmed; quotes are ordinary characters.
    EXPECT_EQ(row(t.value(), 0), QStringList({"", "メール", "氏名", "会社"}));
    EXPECT_EQ(row(t.value(), 1), QStringList({"", "yamada@example.jp", "山田　太郎", "\"株式会社"}));
    EXPECT_EQ(row(t.value(), 2), QStringList({"", "\ttab@example.jp\t", "髙橋①", "～"}));
}

TEST(CsvImport, Utf8FilesWithAndWithoutMark)
{
    ScratchDir dir;
    const QByteArray body = QStringLiteral("address,地域\na@example.jp,東京\n").toUtf8();
    for (const QByteArray &bytes : {body, QByteArray("\xEF\xBB\xBF") + body}) {
        Result<RecipientTable> t = importBytes(dir, bytes);
        ASSERT_TRUE(t.ok());
        EXPECT_EQ(t->cell(0, 1), QStringLiteral("address")); // no mark left in the first name
        EXPECT_EQ(t->cell(1, 2), QStringLiteral("東京"));
    }
}

TEST(CsvImport, OnlyTheFirstByteOrderMarkIsTakenAsOne)
{
    ScratchDir dir;
    // A second mark right after the first is the first cell's text, as in any other place.
    Result<RecipientTable> t = importBytes(dir, QByteArray("\xEF\xBB\xBF\xEF\xBB\xBF"
                                                           "address,x\xEF\xBB\xBF\r\n"
                                                           "a@example.jp,\xEF\xBB\xBF\r\n"));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->cell(0, 1), QStringLiteral("\uFEFFaddress"));
    EXPECT_EQ(t->cell(0, 2), QStringLiteral("x\uFEFF"));
    EXPECT_EQ(t->cell(1, 2), QStringLiteral("\uFEFF"));
}

TEST(CsvImport, FieldCountsFollowTheHeaderLine)
{
    ScratchDir dir;
    Result<RecipientTable> extra = importBytes(dir, "a,b\r\n1,2,3,4\r\n   ,x\r\n");
    ASSERT_TRUE(extra.ok());
    EXPECT_EQ(row(extra.value(), 1), QStringList({"", "1", "2"}));
    EXPECT_EQ(row(extra.value(), 2), QStringList({"", "", "x"}));

    Result<RecipientTable> headerOnly = importBytes(dir, "address,name\r\n");
    ASSERT_TRUE(headerOnly.ok());
    EXPECT_EQ(headerOnly->lastRow(), 0);

    // An empty first line has no fields: only the status column exists.
    Result<RecipientTable> noFields = importBytes(dir, "\r\na@b\r\n");
    ASSERT_TRUE(noFields.ok());
    EXPECT_EQ(noFields->lastColumn(), 0);
    EXPECT_EQ(noFields->lastRow(), 1);

    Result<RecipientTable> trailingComma = importBytes(dir, "a,b\r\nx,\r\n");
    ASSERT_TRUE(trailingComma.ok());
    EXPECT_EQ(row(trailingComma.value(), 1), QStringList({"", "x", ""}));
}

TEST(CsvImport, MalformedFilesFailWithTheLineAndCounts)
{
    ScratchDir dir;
    Result<RecipientTable> shortLine = importBytes(dir, "a,b,c\r\n1,2,3\r\n1,2\r\n");
    ASSERT_FALSE(shortLine.ok());
    EXPECT_EQ(shortLine.failure().description,
              QStringLiteral("3行目の項目数が足りません（1行目の項目数 3 に対して 2）。"));

    Result<RecipientTable> trailingEmpty = importBytes(dir, "a,b\r\n1,2\r\n\r\n");
    ASSERT_FALSE(trailingEmpty.ok());
    EXPECT_TRUE(trailingEmpty.failure().description.startsWith(QStringLiteral("3行目が空行です")));

    Result<RecipientTable> empty = importBytes(dir, "");
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.failure().number, 62);

    EXPECT_EQ(CSVDataGet(dir.path(QStringLiteral("missing.csv"))).failure().number, 53);

    QByteArray binary;
    for (int i = 0; i < 2048; ++i)
        binary.append(char((i * 131 + 7) & 0xFF));
    EXPECT_FALSE(importBytes(dir, binary).ok());
}

TEST(CsvImport, HugeLinesAndManyColumnsLoad)
{
    ScratchDir dir;
    QByteArray wide = "h0";
    for (int i = 1; i < 100000; ++i)
        wide += ",h" + QByteArray::number(i);
    QByteArray rowLine = "a@b";
    for (int i = 1; i < 100000; ++i)
        rowLine += ",v";
    Result<RecipientTable> t = importBytes(dir, wide + "\r\n" + rowLine + "\r\n");
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t->lastColumn(), 100000);
    EXPECT_EQ(t->cell(0, 100000), QStringLiteral("h99999"));

    const QByteArray megabyte(1 << 20, 'x');
    Result<RecipientTable> longLine = importBytes(dir, "address,memo\r\na@b," + megabyte + "\r\n");
    ASSERT_TRUE(longLine.ok());
    EXPECT_EQ(longLine->cellView(1, 2).size(), 1 << 20);
}

// A run writes a status into every row of the table whose copy its sending thread reads: the
// statuses read back exactly, the copy keeps its own, and the shared text is never copied.
TEST(RecipientTable, StatusWritesLeaveTheCopyAndTheSharedTextAlone)
{
    const QString pool = QStringLiteral("名前a@example.jp山田");
    RecipientTable table = RecipientTable::sized(6, 2, pool);
    table.setCellSpan(0, 1, 14, 2);
    for (int r = 1; r <= 6; ++r) {
        table.setCellSpan(r, 1, 2, 13);
        table.setCellSpan(r, 2, 14, 2);
    }
    table.setCell(6, 0, QStringLiteral("読込"));
    const RecipientTable copy = table;
    const QString words[] = {StatusSent,    StatusFailed,           QString(),
                             StatusBounced, QStringLiteral("保留"), StatusSent};
    for (int round = 0; round < 3; ++round)
        for (int r = 1; r <= 6; ++r)
            table.setCell(r, 0, words[(r + round) % 6]);
    for (int r = 1; r <= 6; ++r) {
        EXPECT_EQ(table.cell(r, 0), words[(r + 2) % 6]) << r;
        EXPECT_EQ(copy.cell(r, 0), r == 6 ? QStringLiteral("読込") : QString()) << r;
        EXPECT_EQ(table.cell(r, 1), QStringLiteral("a@example.jp山")) << r;
    }
    EXPECT_EQ(table.pool().constData(), copy.pool().constData());
    // A span into the shared text becomes a status of its own.
    table.setCellSpan(3, 0, 14, 2);
    EXPECT_EQ(table.cell(3, 0), QStringLiteral("山田"));
    EXPECT_EQ(copy.cell(3, 0), QString());
}
