#include "CsvExport.h"
#include "Importers.h"
#include "RecipientGrid.h"
#include "ResultTables.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace
{

// rows[0] holds the column names; each later row starts with its status.
const RecipientTable Mixed = tableOf({
    {"メール", "氏名", "備考"},
    {"送信OK", "a@example.com", "山田 太郎", "“引用”と\"半角\""},
    {"送信NG", "b@example.com", "髙橋 ①", "一行目\r\n二行目"},
    {"", "c@example.com", "未送信", "-"},
    {"送信NG", "d@example.com", "佐藤", "～"},
});

TEST(CsvExport, WritesTheChosenLinesInCp932ByteForByte)
{
    ScratchDir dir;
    const RecipientGrid grid(Mixed);
    const QString ok = dir.path("ok.csv"), ng = dir.path("ng");

    Result<CsvWritten> w = CSVDataPut(grid, ok, StatusSent);
    ASSERT_TRUE(w.ok()) << w.failure().description.toStdString();
    EXPECT_EQ(w->count, 1);
    EXPECT_FALSE(w->utf8);
    EXPECT_EQ(readAll(ok), toCp932("メール,氏名,備考\r\na@example.com,山田 太郎,“引用”と\"半角\"\r\n"));

    w = CSVDataPut(grid, ng, StatusFailed);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w->count, 2);
    EXPECT_EQ(readAll(ng), toCp932("メール,氏名,備考\r\nb@example.com,髙橋 ①,一行目\n二行目\r\n"
                                   "d@example.com,佐藤,～\r\n"));
    EXPECT_FALSE(QFile::exists(ng + ".csv")) << "the name is used as given";

    // Nothing sent: the header line alone, and an existing file is replaced.
    const RecipientGrid none(tableOf({{"メール"}, {"送信NG", "x@example.com"}}));
    w = CSVDataPut(none, ok, StatusSent);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w->count, 0);
    EXPECT_EQ(readAll(ok), toCp932("メール\r\n"));
}

TEST(CsvExport, FailedLinesReadBackAsTheSameRowsInCp932OrElseUtf8)
{
    ScratchDir dir;
    // U+301C has a CP932 code on the way out but reads back as U+FF5E: it must go out as UTF-8.
    for (const QString &name :
         {QStringLiteral("山田"), QStringLiteral("𠮷田"), QStringLiteral("김"), QStringLiteral("〜")}) {
        const RecipientTable source = tableOf({{"メール", "氏名", "地域"},
                                               {"送信OK", "a@example.com", "佐藤", "東京"},
                                               {"送信NG", "b@example.com", name, "大阪"},
                                               {"送信NG", "c@example.com", "髙橋", "①"}});
        const QString path = dir.path("again.csv");
        const Result<CsvWritten> w = CSVDataPut(RecipientGrid(source), path, StatusFailed);
        ASSERT_TRUE(w.ok());
        EXPECT_EQ(w->utf8, name != QStringLiteral("山田")) << name.toStdString();
        EXPECT_EQ(readAll(path).startsWith("\xEF\xBB\xBF"), w->utf8);
        const Result<RecipientTable> back = CSVDataGet(path);
        ASSERT_TRUE(back.ok()) << back.failure().description.toStdString();
        ASSERT_EQ(back->lastRow(), 2);
        ASSERT_EQ(back->lastColumn(), 3);
        for (int c = 1; c <= 3; ++c) {
            EXPECT_EQ(back->cell(0, c), source.cell(0, c));
            EXPECT_EQ(back->cell(1, c), source.cell(2, c));
            EXPECT_EQ(back->cell(2, c), source.cell(3, c));
            EXPECT_TRUE(back->cell(1, 0).isEmpty());
        }
    }
}

TEST(CsvExport, SeparatorsInCellsOfTheChosenLinesAreFound)
{
    const RecipientGrid grid(tableOf({{"メール", "氏名", "住所"},
                                      {"送信NG", "a@example.com", "山田", "東京都"},
                                      {"送信OK", "b@example.com", "佐藤, 次郎", "x"},
                                      {"送信NG", "c@example.com", "鈴木", "大阪府,堺市"},
                                      {"送信NG", "d@example.com", "田中\r\n", "x,y"}}));
    const CsvShiftCheck ng = checkCsvShift(grid, StatusFailed);
    EXPECT_EQ(ng.lines, 2);
    EXPECT_EQ(ng.firstLine, 3);
    EXPECT_EQ(ng.firstColumn, QStringLiteral("住所"));
    const CsvShiftCheck ok = checkCsvShift(grid, StatusSent);
    EXPECT_EQ(ok.lines, 1);
    EXPECT_EQ(ok.firstLine, 2);
    EXPECT_EQ(ok.firstColumn, QStringLiteral("氏名"));
    const CsvShiftCheck header = checkCsvShift(RecipientGrid(tableOf({{"a,b"}, {"", "x"}})), StatusSent);
    EXPECT_EQ(header.lines, 1);
    EXPECT_EQ(header.firstLine, 0);
}

TEST(CsvExport, FailedWritesKeepTheOldFileAndSayWhy)
{
    ScratchDir dir;
    const QString path = dir.write("old.csv", "old contents\r\n");
    const RecipientGrid grid(Mixed);

    // A write cut short by the file size limit (as a full disk would cut it).
    struct rlimit saved {
    };
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 40;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const Result<CsvWritten> cut = CSVDataPut(grid, path, StatusFailed);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.failure().number, 75);
    EXPECT_TRUE(cut.failure().description.contains(path));
    EXPECT_TRUE(cut.failure().description.contains(QStringLiteral("ファイルが大きすぎます")));
    EXPECT_EQ(readAll(path), "old contents\r\n");

    // A read-only file stays as it is, whoever runs the export.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup);
    const Result<CsvWritten> readOnly = CSVDataPut(grid, path, StatusFailed);
    ASSERT_FALSE(readOnly.ok());
    EXPECT_TRUE(readOnly.failure().description.contains(QStringLiteral("読み取り専用")));
    EXPECT_EQ(readAll(path), "old contents\r\n");

    const QString missing = dir.path("no-such-folder/x.csv");
    const Result<CsvWritten> noFolder = CSVDataPut(grid, missing, StatusFailed);
    ASSERT_FALSE(noFolder.ok());
    EXPECT_TRUE(noFolder.failure().description.contains(missing));
    EXPECT_TRUE(noFolder.failure().description.contains(QStringLiteral("フォルダーがありません")));

    // A replaced file keeps its permissions; no temporary file is left behind.
    const QString shared = dir.write("shared.csv", "x");
    QFile::setPermissions(shared, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    ASSERT_TRUE(CSVDataPut(grid, shared, StatusSent).ok());
    const QFile::Permissions modeBits = QFile::Permissions::fromInt(0x7077);
    EXPECT_EQ((QFile::permissions(shared) & modeBits).toInt(),
              (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther).toInt());
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

} // namespace
