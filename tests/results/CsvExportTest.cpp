#include "results/CsvExport.h"
#include "ResultTables.h"
#include "TestEnvironment.h"
#include "platform/formats/TextFile.h"
#include "recipients/Importers.h"
#include "results/RecipientGrid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace
{

// The permissions of the export's temporary file when a write into it is cut by the size limit.
QString g_scratch;
QFile::Permissions g_tempMode;
void recordTempMode(int)
{
    for (const QFileInfo &f : QDir(g_scratch).entryInfoList({"*.tmp"}, QDir::Files | QDir::Hidden))
        g_tempMode = f.permissions();
}

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

    // A mail returned as undeliverable is one to correct: it goes with the failed lines only.
    const RecipientGrid bounced(
        tableOf({{"メール"}, {"不達", "x@example.com"}, {"送信OK", "y@example.com"}}));
    EXPECT_EQ(bounced.outcome(1), RecipientGrid::Outcome::Bounced);
    ASSERT_TRUE(CSVDataPut(bounced, ng, StatusFailed).ok());
    EXPECT_EQ(readAll(ng), toCp932("メール\r\nx@example.com\r\n"));
    ASSERT_TRUE(CSVDataPut(bounced, ok, StatusSent).ok());
    EXPECT_EQ(readAll(ok), toCp932("メール\r\ny@example.com\r\n"));
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

TEST(CsvExport, Cp932BytesThatTheImportWouldReadAsUtf8GoOutAsUtf8)
{
    ScratchDir dir;
    // "Bﾅｶ" in CP932 is also the UTF-8 of "BŶ"; "ﾅｶ ﾏｲ" alone reads back as CP932.
    for (const QString &kana : {QStringLiteral("ﾅｶ ﾏｲ"), QStringLiteral("Bﾅｶ")}) {
        const RecipientGrid grid(tableOf({{"mail", "kana"}, {"送信NG", "b@example.com", kana}}));
        const Result<CsvWritten> w = CSVDataPut(grid, dir.path("kana.csv"), StatusFailed);
        ASSERT_TRUE(w.ok());
        EXPECT_TRUE(w->utf8 == kana.startsWith(u'B') && w->cp932Misread == w->utf8) << kana.toStdString();
        const Result<RecipientTable> back = CSVDataGet(dir.path("kana.csv"));
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back->cell(1, 2), kana);
    }
}

TEST(CsvExport, EveryCharacterGoesOutAsItsCp932CodeOrTheFileAsUtf8)
{
    // Each at every place of an ASCII run long enough to be copied in blocks.
    const QString ascii = QStringLiteral("abcdefghijklmnopqrstuvwx");
    for (const QString &inner : QStringList{"髙", "ｱ", "①", "\r\n", "\r", "김", "〜", QString(QChar(0))}) {
        for (qsizetype at = 0; at <= ascii.size(); ++at) {
            const QString cell = QString(ascii).insert(at, inner);
            const CsvBytes csv =
                buildCsv(RecipientGrid(tableOf({{"m", "x"}, {"送信NG", "a", cell}})), StatusFailed);
            const QString text = "m,x\r\na," + QString(cell).replace("\r\n", "\n") + "\r\n";
            const bool utf8 = inner == "김" || inner == "〜" || inner.front() == QChar(0);
            ASSERT_EQ(csv.utf8, utf8) << at;
            ASSERT_EQ(csv.bytes, utf8 ? "\xEF\xBB\xBF" + text.toUtf8() : toCp932(text)) << at;
        }
    }
    // A list longer than the first output buffer.
    QList<QStringList> rows{{"mail", "name", "kana"}};
    QString text = "mail,name,kana\r\n";
    for (int i = 0; i < 30000; ++i) {
        rows.append({"送信NG", QString("user%1@example.jp").arg(i), "山田　太郎", "ﾃｽﾄ"});
        text += rows.back().mid(1).join(u',') + "\r\n";
    }
    EXPECT_EQ(buildCsv(RecipientGrid(tableOf(rows)), StatusFailed).bytes, toCp932(text));
    // What goes out as CP932 is never checked by reading it back: every character must.
    int cp932 = 0;
    for (char16_t u = 0x80; u != 0; ++u) {
        const QString cell = QStringLiteral("a") + QChar(u);
        const CsvBytes csv = buildCsv(RecipientGrid(tableOf({{"x"}, {"送信NG", cell}})), StatusFailed);
        if (csv.utf8)
            continue;
        ++cp932;
        const Result<TextLines> back = decodeText(csv.bytes, {});
        ASSERT_TRUE(back && back->text == "x\r\n" + cell + "\r\n") << int(u);
    }
    EXPECT_GT(cp932, 7000);
}

TEST(CsvExport, SeparatorsInCellsOfTheChosenLinesAreFound)
{
    const RecipientGrid grid(tableOf({{"メール", "氏名", "住所"},
                                      {"送信NG", "a@example.com", "山田", "東京都"},
                                      {"送信OK", "b@example.com", "佐藤, 次郎", "x"},
                                      {"送信NG", "c@example.com", "鈴木", "大阪府,堺市"},
                                      {"送信NG", "d@example.com", "田中\r\n", "x,y"},
                                      {"送信NG", "", "", ""}}));
    const CsvShiftCheck ng = checkCsvShift(grid, StatusFailed);
    EXPECT_EQ(ng.lines, 2);
    EXPECT_EQ(ng.firstLine, 3);
    EXPECT_EQ(ng.firstColumn, QStringLiteral("住所"));
    EXPECT_EQ(ng.emptyLines, 0) << "\",,\" is no empty line";
    // With one column an empty address makes an empty line, which the import refuses.
    const RecipientGrid single(tableOf({{"メール"}, {"送信OK", "a@x.jp"}, {"送信NG", ""}, {"送信NG", ""}}));
    const CsvShiftCheck empty = checkCsvShift(single, StatusFailed);
    EXPECT_TRUE(empty.emptyLines == 2 && empty.firstEmptyLine == 2 && empty.lines == 0);
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
    g_scratch = dir.root();
    const mode_t oldMask = umask(027);
    const auto oldHandler = std::signal(SIGXFSZ, recordTempMode);
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
    const QFile::Permissions modeBits = QFile::Permissions::fromInt(0x7077);
    EXPECT_EQ(g_tempMode & modeBits, QFile::ReadOwner | QFile::WriteOwner) << "others never see it";

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
    EXPECT_EQ((QFile::permissions(shared) & modeBits).toInt(),
              (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther).toInt());
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    ASSERT_TRUE(CSVDataPut(grid, dir.path("new.csv"), StatusSent).ok()); // 0666 less the umask
    EXPECT_EQ((QFile::permissions(dir.path("new.csv")) & modeBits).toInt(),
              (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup).toInt());
    umask(oldMask);
}

TEST(CsvExport, AFileTheUserMayNotWriteIsNotReplaced)
{
    // As root, who may write anything, the export runs in a child that has become nobody.
    const passwd *nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root, to act as another user";
    ScratchDir dir;
    ASSERT_EQ(chmod(QFile::encodeName(dir.root()).constData(), 0777), 0); // a folder the user may write
    const QString roots = dir.write("roots.csv", "root's\r\n");           // 0644, root's
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
            setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
            _exit(3);
        const Result<CsvWritten> w = CSVDataPut(RecipientGrid(Mixed), roots, StatusFailed);
        _exit(!w.ok() && w.failure().description.contains(QStringLiteral("書き込む権限がありません")) ? 0
                                                                                                      : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "exit 1: not refused as it should, 3: could not become nobody";
    EXPECT_EQ(readAll(roots), "root's\r\n");
    EXPECT_EQ(QFileInfo(roots).ownerId(), 0u);
}

} // namespace
