#include "TestEnvironment.h"
#include "platform/formats/XlsWorkbook.h"
#include "platform/formats/workbookreader/XlsAnswer.h"
#include "platform/formats/workbookreader/XlsxReader.h"

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

QByteArray u16(quint16 n)
{
    return QByteArray(1, char(n & 0xFF)) + char(n >> 8);
}

QByteArray biff(quint16 type, const QByteArray &data)
{
    return u16(type) + u16(quint16(data.size())) + data;
}

// A BIFF8 text as records hold it: length, flags (16-bit characters), UTF-16.
QByteArray biffText(const QString &text)
{
    return u16(quint16(text.size())) + char(1) +
           QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// A workbook stream: the globals' records, then one worksheet of cell records; BIFF8, or BIFF5.
QByteArray workbookStream(const QByteArray &globals, const QByteArray &cells, bool biff5 = false)
{
    const auto bof = [&](quint16 kind) {
        return biff(0x0809, u16(biff5 ? 0x0500 : 0x0600) + u16(kind) + QByteArray(biff5 ? 4 : 12, '\0'));
    };
    const QByteArray name = biff5 ? QByteArray("\1S") : QByteArray("\1\0S", 3);
    QByteArray head = bof(0x0005) + globals;
    const qsizetype sheetAt = head.size() + 4 + 6 + name.size() + 4;
    head += biff(0x0085, u32(quint32(sheetAt)) + QByteArray(2, '\0') + name) + biff(0x000A, {});
    return head + bof(0x0010) + cells + biff(0x000A, {});
}

// A compound file of version 3 holding the stream under that name: the allocation table in sector
// 0, the directory in sector 1, the stream from sector 2 on (at least 4096 bytes, so no mini stream).
QByteArray compoundFile(QByteArray stream, const QString &streamName = QStringLiteral("Workbook"))
{
    stream.resize(std::max<qsizetype>(4096, (stream.size() + 511) / 512 * 512), '\0');
    const quint32 sectors = quint32(stream.size() / 512), end = 0xFFFFFFFE, none = 0xFFFFFFFF;
    QByteArray header = QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + QByteArray(16, '\0') + u16(0x3E) +
                        u16(3) + u16(0xFFFE) + u16(9) + u16(6) + QByteArray(10, '\0') + u32(1) + u32(1) +
                        u32(0) + u32(4096) + u32(end) + u32(0) + u32(end) + u32(0) + u32(0);
    while (header.size() < 512)
        header += u32(none);
    QByteArray fat = u32(0xFFFFFFFD) + u32(end);
    for (quint32 i = 1; i <= sectors; ++i)
        fat += u32(i < sectors ? i + 2 : end);
    while (fat.size() < 512)
        fat += u32(none);
    const auto entry = [&](const QString &name, char type, quint32 child, quint32 start, quint32 size) {
        QByteArray e(reinterpret_cast<const char *>(name.utf16()), name.size() * 2);
        e.resize(64, '\0');
        e += u16(quint16(name.size() * 2 + 2)) + type + char(1) + u32(none) + u32(none) + u32(child);
        e.resize(116, '\0');
        return e + u32(start) + u32(size) + u32(0);
    };
    const QByteArray directory = entry(QStringLiteral("Root Entry"), 5, 1, end, 0) +
                                 entry(streamName, 2, none, 2, quint32(stream.size())) +
                                 QByteArray(256, '\0');
    return header + fat + directory + stream;
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
    XlsAnswerParser broken;
    EXPECT_TRUE(broken.feed("VXL1" + record('D', {}, "sector chain") + record('E', {0})));
    EXPECT_TRUE(broken.complete() && broken.failed() && broken.damaged() && !broken.limitHit());
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
    EXPECT_EQ(durationText("PT2568000H"), "2568000:00:00");
    // Longer than the dates of a workbook reach, or a unit again: once the seconds overflowed.
    std::string dayParts = "P";
    for (int i = 0; i < 107000; ++i)
        dayParts += "999999999D";
    EXPECT_EQ(durationText(dayParts), "");
    EXPECT_EQ(durationText("PT2568000H2568000H"), "");
    EXPECT_EQ(durationText("P2958466D"), "");
    EXPECT_EQ(durationText("PT30M1H"), "");

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

TEST(XlsReader, BiffRecordsAsExcelAndOlderVersionsWriteThem)
{
    // Shared strings whose record ends inside a text (the rest 16-bit after the CONTINUE's flags
    // byte) and inside its phonetic reading; cells of the 1904 date system.
    const QByteArray formats = biff(0x041E, u16(164) + biffText(QStringLiteral("yyyy/mm/dd"))) +
                               biff(0x00E0, QByteArray(20, '\0')) +
                               biff(0x00E0, u16(0) + u16(164) + QByteArray(16, '\0'));
    const QByteArray sst = biff(0x00FC, u32(3) + u32(2) + u16(5) + char(0x0C) + u16(1) + u32(6) + "ABC") +
                           biff(0x003C, QByteArray("\1\xD9\x9A\x4B\x6A", 5) + u32(0x00010000) + "ph") +
                           biff(0x003C, "onic" + biffText(QStringLiteral("様")));
    const auto cell = [](quint16 type, quint16 column, quint16 xf, const QByteArray &value) {
        return biff(type, u16(0) + u16(column) + u16(xf) + value);
    };
    const QByteArray shared =
        workbookStream(biff(0x0022, u16(1)) + formats + sst,
                       cell(0x00FD, 0, 0, u32(0)) + cell(0x00FD, 1, 0, u32(1)) +
                           cell(0x027E, 2, 1, u32(0x0002BD9A)) + cell(0x00FD, 3, 0, u32(7)));
    // Excel 95: text in the workbook's code page.
    const QByteArray biff5 = workbookStream(
        biff(0x0042, u16(932)) + biff(0x041E, u16(164) + char(10) + "yyyy/mm/dd") +
            biff(0x00E0, QByteArray(16, '\0')) + biff(0x00E0, u16(0) + u16(164) + QByteArray(12, '\0')),
        cell(0x0204, 0, 0, u16(6) + QByteArray("\x88\xB6\x90\xE6\xB6\xC5")) +
            cell(0x0006, 1, 1, QByteArray("\0\0\0\0\x80\xA3\xE6\x40", 8) + QByteArray(8, '\0')),
        true);
    ScratchDir dir;
    Result<std::unique_ptr<XlsWorkbook>> r =
        XlsWorkbook::open(dir.write(QStringLiteral("shared.xls"), compoundFile(shared)));
    ASSERT_TRUE(r.ok()) << r.failure().description.toStdString();
    EXPECT_EQ(r.value()->cellText(1, 1).value(), QStringLiteral("ABC髙橋"));
    EXPECT_EQ(r.value()->cellText(1, 2).value(), QStringLiteral("様"));
    EXPECT_EQ(r.value()->cellText(1, 3).value(), QStringLiteral("2026/12/08"));
    EXPECT_EQ(r.value()->cellText(1, 4).failure().description,
              Failure::unreadableCell(1, 4, QStringLiteral("共有文字列 7 がありません")).description);
    r = XlsWorkbook::open(
        dir.write(QStringLiteral("excel95.xls"), compoundFile(biff5, QStringLiteral("Book"))));
    ASSERT_TRUE(r.ok()) << r.failure().description.toStdString();
    EXPECT_EQ(r.value()->cellText(1, 1).value(), QStringLiteral("宛先ｶﾅ"));
    EXPECT_EQ(r.value()->cellText(1, 2).value(), QStringLiteral("2026/12/08"));

    // Saved with a password; a worksheet cut off before its end.
    const QString locked =
        dir.write(QStringLiteral("locked.xls"),
                  compoundFile(workbookStream(biff(0x002F, u16(1) + QByteArray(52, '\0')), {})));
    EXPECT_EQ(XlsWorkbook::open(locked).failure().description,
              Failure::notAWorkbook(
                  QFileInfo(locked).absoluteFilePath(),
                  QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください"))
                  .description);
    const QString cut = dir.write(QStringLiteral("cut.xls"), compoundFile(shared.first(shared.size() - 4)));
    EXPECT_EQ(XlsWorkbook::open(cut).failure().description, damaged(QFileInfo(cut).absoluteFilePath()));
}

TEST(WorkbookReader, AnArchiveWhoseCommentHoldsTheEndRecordsSignatureReads)
{
    Result<std::unique_ptr<XlsWorkbook>> r =
        XlsWorkbook::open(testDataPath(QStringLiteral("untrusted/xlsx-comment-holds-end-signature.xlsx")));
    ASSERT_TRUE(r.ok()) << r.failure().description.toStdString();
    EXPECT_EQ(r.value()->cellText(1, 1).value(), QStringLiteral("メールアドレス"));
    EXPECT_EQ(r.value()->cellText(3, 2).value(), QStringLiteral("鈴木\n花子"));
}
