#include "TestEnvironment.h"
#include "XlsWorkbook.h"
#include "XlsxReader.h"
#include "xlsreader/XlsAnswer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <initializer_list>

namespace
{

QByteArray u32(quint32 n)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((n >> (8 * i)) & 0xFF));
    return b;
}

QByteArray record(char type, std::initializer_list<quint32> numbers, const QByteArray &text = {})
{
    QByteArray payload;
    for (quint32 n : numbers)
        payload += u32(n);
    payload += text;
    return QByteArray(1, type) + u32(quint32(payload.size())) + payload;
}

// A sound answer: a 3 x 2 sheet with three cells, one of them unreadable.
QByteArray soundAnswer()
{
    return "VXL1" + record('S', {3, 2}) + record('C', {1, 1}, "メール") +
           record('C', {1, 2}, "\xEF\xBB\xBF名") + record('X', {3, 1}, "値の種類が不明です") +
           record('E', {3});
}

QString damaged(const QString &path)
{
    return path + QStringLiteral("を読み込めませんでした。ファイルが壊れている可能性があります");
}

XlsReaderOptions shellReader(const QString &script, int timeoutMs = 20000)
{
    XlsReaderOptions o;
    o.program = QStringLiteral("/bin/sh");
    o.arguments = QStringList{QStringLiteral("-c"), script, QStringLiteral("reader")};
    o.timeoutMs = timeoutMs;
    return o;
}

} // namespace

TEST(XlsAnswer, ASoundAnswerReadsTheSameInPiecesOfAnySize)
{
    const QByteArray answer = soundAnswer();
    for (qsizetype piece : {qsizetype(1), qsizetype(3), qsizetype(7), answer.size()}) {
        XlsAnswerParser p;
        for (qsizetype at = 0; at < answer.size(); at += piece)
            ASSERT_TRUE(p.feed(QByteArrayView(answer).sliced(at, std::min(piece, answer.size() - at))));
        ASSERT_TRUE(p.complete()) << piece;
        XlsSheet sheet = p.takeSheet();
        EXPECT_EQ(sheet.rows, 3);
        EXPECT_EQ(sheet.columns, 2);
        ASSERT_EQ(sheet.cells.size(), 3u);
        EXPECT_EQ(sheet.text(*sheet.find(1, 1)), QStringLiteral("メール"));
        EXPECT_EQ(sheet.text(*sheet.find(1, 2)), QStringLiteral("\uFEFF名"));
        EXPECT_TRUE(sheet.find(3, 1)->unreadable);
        EXPECT_EQ(sheet.find(2, 1), nullptr);
        EXPECT_EQ(sheet.find(4, 1), nullptr);
        EXPECT_EQ(sheet.find(1, 3), nullptr);
    }
    XlsAnswerParser failed;
    EXPECT_TRUE(failed.feed("VXL1" + record('F', {}, "ワークシートがありません") + record('E', {0})));
    EXPECT_TRUE(failed.complete());
    EXPECT_TRUE(failed.failed());
    EXPECT_FALSE(failed.limitHit());
    EXPECT_EQ(failed.failureReason(), QStringLiteral("ワークシートがありません"));
    XlsAnswerParser limited;
    EXPECT_TRUE(limited.feed("VXL1" + record('L', {}, "大きすぎます") + record('E', {0})));
    EXPECT_TRUE(limited.complete() && limited.failed() && limited.limitHit());
}

TEST(XlsAnswer, AnythingOutOfFormIsMalformed)
{
    const QByteArray head = "VXL1" + record('S', {3, 2});
    const QByteArray cell = record('C', {2, 1}, "a");
    const struct {
        const char *what;
        QByteArray bytes;
    } cases[] = {
        {"other magic", "VXL2" + record('S', {3, 2}) + record('E', {0})},
        {"no sheet first", "VXL1" + cell + record('E', {1})},
        {"sheet too large", "VXL1" + record('S', {1048577, 2}) + record('E', {0})},
        {"sheet too wide", "VXL1" + record('S', {2, 16385}) + record('E', {0})},
        {"sheet record too long", "VXL1" + record('S', {3, 2, 0}) + record('E', {0})},
        {"cell outside", head + record('C', {4, 1}, "a") + record('E', {1})},
        {"column 0", head + record('C', {1, 0}, "a") + record('E', {1})},
        {"twice", head + cell + cell + record('E', {2})},
        {"out of order", head + cell + record('C', {1, 2}, "b") + record('E', {2})},
        {"empty text", head + record('C', {1, 1}) + record('E', {1})},
        {"invalid UTF-8", head + record('C', {1, 1}, "\xC0\xAF") + record('E', {1})},
        {"surrogate", head + record('C', {1, 1}, "\xED\xA0\x80") + record('E', {1})},
        {"NUL", head + record('C', {1, 1}, QByteArray("a\0b", 3)) + record('E', {1})},
        {"unknown record", head + record('Q', {1, 1}, "a") + record('E', {1})},
        {"wrong count", head + cell + record('E', {2})},
        {"after the end", head + cell + record('E', {1}) + "x"},
        {"after a failure", "VXL1" + record('F', {}, "x") + cell + record('E', {1})},
        {"huge length", head + QByteArray(1, 'C') + u32(0xFFFFFFF0u)},
    };
    for (const auto &c : cases) {
        XlsAnswerParser p;
        p.feed(c.bytes);
        EXPECT_TRUE(p.malformed()) << c.what;
        EXPECT_FALSE(p.complete()) << c.what;
    }
    // Cut short anywhere, a sound answer is never complete.
    const QByteArray answer = soundAnswer();
    for (qsizetype n = 0; n < answer.size(); ++n) {
        XlsAnswerParser p;
        p.feed(answer.first(n));
        EXPECT_FALSE(p.complete()) << n;
    }
}

TEST(XlsReader, DamagedWorkbooksFailAndTheCallerLivesOn)
{
    // The first makes the parser crash, the second read past its buffer.
    const QString crash = testDataPath(QStringLiteral("damaged_crash_in_open.xls"));
    Result<std::unique_ptr<XlsWorkbook>> crashed = XlsWorkbook::open(crash);
    ASSERT_FALSE(crashed.ok());
    EXPECT_EQ(crashed.failure().number, 321);
    EXPECT_EQ(crashed.failure().description, damaged(QFileInfo(crash).absoluteFilePath()));
    Result<std::unique_ptr<XlsWorkbook>> overread =
        XlsWorkbook::open(testDataPath(QStringLiteral("damaged_overread_in_open.xls")));
    ASSERT_FALSE(overread.ok());
    EXPECT_EQ(overread.failure().number, 321);
    // Later workbooks read as before.
    Result<std::unique_ptr<XlsWorkbook>> sound =
        XlsWorkbook::open(testDataPath(QStringLiteral("recipients.xls")));
    ASSERT_TRUE(sound.ok()) << sound.failure().description.toStdString();
    EXPECT_EQ(sound.value()->cellText(1, 1).value(), QStringLiteral("メールアドレス"));
}

TEST(XlsReader, AReaderThatHangsCrashesOrAnswersBadlyFails)
{
    const QString book = testDataPath(QStringLiteral("recipients.xls"));
    const QString path = QFileInfo(book).absoluteFilePath();
    // printf of the shell turns \ooo into bytes: a sound one-cell answer.
    const QString answer = QStringLiteral("printf 'VXL1S\\010\\0\\0\\0\\001\\0\\0\\0\\001\\0\\0\\0"
                                          "C\\011\\0\\0\\0\\001\\0\\0\\0\\001\\0\\0\\0a"
                                          "E\\004\\0\\0\\0\\001\\0\\0\\0'");
    Result<std::unique_ptr<XlsWorkbook>> good = XlsWorkbook::open(book, shellReader(answer));
    ASSERT_TRUE(good.ok()) << good.failure().description.toStdString();
    EXPECT_EQ(good.value()->cellText(1, 1).value(), QStringLiteral("a"));

    for (const QString &script :
         {QStringLiteral("exec sleep 30"), answer + QStringLiteral("; exec sleep 30"),
          answer + QStringLiteral("; kill -SEGV $$"), answer + QStringLiteral("; exit 1"),
          answer + QStringLiteral("; printf x"), QStringLiteral("printf 'VXL1S'"),
          QStringLiteral("head -c 100000 /dev/urandom")}) {
        Result<std::unique_ptr<XlsWorkbook>> r = XlsWorkbook::open(book, shellReader(script, 1000));
        ASSERT_FALSE(r.ok()) << script.toStdString();
        // A reader that hangs is stopped at the time limit and the message says so.
        EXPECT_EQ(r.failure().description, script.contains(QStringLiteral("sleep"))
                                               ? Failure::workbookTimedOut(path, 1).description
                                               : damaged(path))
            << script.toStdString();
    }
    XlsReaderOptions missing;
    missing.program = QStringLiteral("/nonexistent/velmora-workbook-reader");
    Result<std::unique_ptr<XlsWorkbook>> r = XlsWorkbook::open(book, missing);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.failure().description.contains(QStringLiteral("velmora-workbook-reader を起動できません")));
}

TEST(XlsReader, OnlyTheReaderBesideTheProgramOrInItsLibexecFolderRuns)
{
    // No reader beside this test program: without the tests' own setting, nothing runs.
    const QString buildReader = XlsWorkbook::readerProgram();
    XlsWorkbook::setReaderProgram(QString());
    EXPECT_EQ(XlsWorkbook::readerProgram(), QString());
    Result<std::unique_ptr<XlsWorkbook>> r =
        XlsWorkbook::open(testDataPath(QStringLiteral("recipients.xls")));
    XlsWorkbook::setReaderProgram(buildReader);
    EXPECT_TRUE(!r.ok() &&
                r.failure().description.contains(QStringLiteral("velmora-workbook-reader を起動できません")));

    ScratchDir prefix;
    const QString bin = prefix.path(QStringLiteral("bin")),
                  libexec = prefix.path(QStringLiteral("libexec/velmora"));
    ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(libexec));
    EXPECT_EQ(XlsWorkbook::findReader(bin), QString());
    for (const QString &folder : {libexec, bin}) {
        ASSERT_TRUE(
            QFile::copy(QStringLiteral("/bin/true"), folder + QStringLiteral("/velmora-workbook-reader")));
        EXPECT_EQ(XlsWorkbook::findReader(bin), folder + QStringLiteral("/velmora-workbook-reader"));
    }
}

TEST(XlsReader, TheReaderRunsUnderItsLimits)
{
    // A reader that reports its own limits as the text of cells (1,1) and (1,2).
    XlsReaderOptions o =
        shellReader(QStringLiteral("v=$(ulimit -v); t=$(ulimit -t); c=$(ulimit -c); "
                                   "exec /usr/bin/python3 -c 'import struct,sys\n"
                                   "cells=[(1,1,sys.argv[1]),(1,2,sys.argv[2]),(1,3,sys.argv[3])]\n"
                                   "out=b\"VXL1\"+b\"S\"+struct.pack(\"<III\",8,1,3)\n"
                                   "for r,c,t in cells:\n"
                                   " b=t.encode()\n"
                                   " out+=b\"C\"+struct.pack(\"<III\",8+len(b),r,c)+b\n"
                                   "out+=b\"E\"+struct.pack(\"<II\",4,3)\n"
                                   "sys.stdout.buffer.write(out)' \"$v\" \"$t\" \"$c\""));
    o.memoryBytes = qint64(768) << 20;
    o.cpuSeconds = 7;
    Result<std::unique_ptr<XlsWorkbook>> r =
        XlsWorkbook::open(testDataPath(QStringLiteral("recipients.xls")), o);
    ASSERT_TRUE(r.ok()) << r.failure().description.toStdString();
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(r.value()->cellText(1, 1).value(), QString::number(768 * 1024));
#endif
    EXPECT_EQ(r.value()->cellText(1, 2).value(), QStringLiteral("7"));
    EXPECT_EQ(r.value()->cellText(1, 3).value(), QStringLiteral("0"));
}

TEST(WorkbookReader, DamagedAndHostileWorkbooksSayWhatStoppedThem)
{
    const QString xlsx = QStringLiteral("Excel ブック (.xlsx)"),
                  ods = QStringLiteral("OpenDocument 表計算ドキュメント (.ods)");
    const QString cut = QStringLiteral("ZIP 形式ではないか、途中で切れています");
    const struct {
        const char *file;
        bool limit;
        QString format, reason;
    } cases[] = {
        {"truncated.xlsx", false, xlsx, cut},
        {"truncated.ods", false, ods, cut},
        {"lying_size.xlsx", false, xlsx,
         QStringLiteral("ファイルが壊れています: 圧縮されたデータが正しくありません")},
        {"bad_checksum.xlsx", false, xlsx,
         QStringLiteral("ファイルが壊れています: データの検査値が合いません")},
        {"password.xlsx", false, xlsx,
         QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください")},
        {"bomb.xlsx", true, {}, QStringLiteral("展開すると上限の 512 MB を超える大きさになります。")},
        {"bomb.ods", true, {}, QStringLiteral("展開すると上限の 512 MB を超える大きさになります。")},
        {"repeat.ods",
         true,
         {},
         QStringLiteral("値のあるセルの繰り返しがワークシートの右端（16384 列）を超えています。")},
        {"repeated_rows.ods", true, {}, QStringLiteral("値のあるセルが上限の 400 万個を超えています。")},
    };
    for (const auto &c : cases) {
        const QString path = workbookFixture(QString::fromUtf8(c.file));
        Result<std::unique_ptr<XlsWorkbook>> r = XlsWorkbook::open(path);
        ASSERT_FALSE(r.ok()) << c.file;
        EXPECT_EQ(r.failure().description,
                  c.limit ? Failure::workbookLimit(path, c.reason).description
                          : Failure::notAWorkbookOf(path, c.format, c.reason).description)
            << c.file;
    }
    // Only the processor-time limit stops this one, and the reader says so itself.
    XlsReaderOptions oneSecond;
    oneSecond.cpuSeconds = 1;
    const QString slow = workbookFixture(QStringLiteral("slow.ods"));
    Result<std::unique_ptr<XlsWorkbook>> r = XlsWorkbook::open(slow, oneSecond);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().description,
              Failure::workbookLimit(slow, QStringLiteral("読み込みの処理時間が上限の 1 秒を超えました。"))
                  .description);
}

TEST(WorkbookReader, DatesAndNumberFormatsAsAWorkbookShowsThem)
{
    // The 1900 date system counts a 29 February that never was; the 1904 one starts in 1904.
    EXPECT_EQ(serialDateText(1, false, DateParts::Date), "1900/01/01");
    EXPECT_EQ(serialDateText(59, false, DateParts::Date), "1900/02/28");
    EXPECT_EQ(serialDateText(60, false, DateParts::Date), "1900/02/29");
    EXPECT_EQ(serialDateText(61, false, DateParts::Date), "1900/03/01");
    EXPECT_EQ(serialDateText(46364.75, false, DateParts::DateAndTime), "2026/12/08 18:00:00");
    EXPECT_EQ(serialDateText(46364.75, false, DateParts::Date), "2026/12/08");
    EXPECT_EQ(serialDateText(0.999999999, false, DateParts::Time), "00:00:00");
    EXPECT_EQ(serialDateText(0, true, DateParts::Date), "1904/01/01");
    EXPECT_EQ(serialDateText(-1, false, DateParts::Date), "-1");
    EXPECT_EQ(isoDateText("2026-12-08T00:00:00"), "2026/12/08");
    EXPECT_EQ(isoDateText("2026-12-08T09:05:07.5"), "2026/12/08 09:05:07");
    EXPECT_EQ(isoDateText("2026-12-08T09:05:07", DateParts::Date), "2026/12/08");
    EXPECT_EQ(isoDateText("08.12.2026"), "");
    EXPECT_EQ(durationText("PT18H05M00S"), "18:05:00");
    EXPECT_EQ(durationText("P1DT2H"), "26:00:00");

    const struct {
        const char *code;
        std::optional<DateParts> parts;
    } formats[] = {
        {"yyyy/mm/dd;@", DateParts::Date},
        {"[$-411]ggge\"年\"m\"月\"d\"日\"", DateParts::Date},
        {"m/d/yy h:mm", DateParts::DateAndTime},
        {"mm:ss", DateParts::Time},
        {"[h]:mm", DateParts::Time},
        {"General", std::nullopt},
        {"0.00E+00", std::nullopt},
        {"#,##0\"日\"", std::nullopt},
        {"[Red]0.00;[Blue]yyyy", std::nullopt},
        {"\\y0", std::nullopt},
    };
    for (const auto &f : formats)
        EXPECT_EQ(numberFormatDateParts(f.code), f.parts) << f.code;
}
