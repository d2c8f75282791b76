#include "platform/formats/TextFile.h"
#include "TestEnvironment.h"
#include "platform/formats/VCard.h"

#include <QFile>

#include <iconv.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace
{

QStringList linesOf(const TextLines &t)
{
    QStringList out;
    for (qsizetype i = 0; i < t.count(); ++i)
        out << t.line(i).toString();
    return out;
}

const QString Japanese = QStringLiteral("髙橋①～－㈱ 東京都港区,ﾊﾝｶｸｶﾅ");

// glibc's reading of CP932 bytes, or a null string where it refuses them.
QString iconvCp932(const QByteArray &bytes)
{
    const iconv_t cd = iconv_open("UTF-16LE", "CP932");
    QString out(bytes.size(), Qt::Uninitialized);
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char *outp = reinterpret_cast<char *>(out.data());
    size_t outLeft = size_t(out.size()) * 2;
    const bool ok = iconv(cd, &in, &inLeft, &outp, &outLeft) != size_t(-1);
    iconv_close(cd);
    return ok ? out.first(reinterpret_cast<QChar *>(outp) - out.constData()) : QString();
}

} // namespace

TEST(TextFile, EveryCp932CodeReadsAsIconvReadsIt)
{
    // "あ" first makes the bytes invalid UTF-8, so they are read as CP932; then every byte pair:
    // two single bytes, a lead with each trail, a lead cut short by the end.
    int pairs = 0;
    for (int lead = 1; lead < 256; ++lead) {
        for (int trail = 1; trail < 256; ++trail) {
            const QByteArray bytes = QByteArray("\x82\xA0") + char(lead) + char(trail);
            const QString expected = iconvCp932(bytes);
            const Result<TextLines> t = decodeText(bytes, QStringLiteral("p.csv"));
            ASSERT_EQ(t.ok(), !expected.isNull()) << lead << " " << trail;
            if (t.ok()) {
                ASSERT_EQ(t->encoding, TextLines::Encoding::Cp932);
                ASSERT_EQ(t->text, expected) << lead << " " << trail;
                pairs += expected.size() == 2;
            }
        }
    }
    EXPECT_GT(pairs, 9000); // the double-byte codes were there to compare
}

TEST(TextFile, ChunkedReadsMatchTheWholeReading)
{
    ScratchDir dir;
    QByteArray asciiThenCp932(300, 'a');
    asciiThenCp932 += "\r\n" + toCp932(Japanese);
    const QByteArray badThenNul = toCp932(QStringLiteral("一\r\n二\r\n")) + QByteArray(200, 'x') +
                                  "\n\x81\xFF\n" + QByteArray(100, 'y') + QByteArray("\r\nz\0", 4);
    const QByteArray cases[] = {
        toCp932((Japanese + QStringLiteral("\r\n")).repeated(20)),
        "\xEF\xBB\xBF" + (QStringLiteral("😀東京,a\r\n\uFEFF") + Japanese).repeated(15).toUtf8(),
        (QStringLiteral("Zoë\n") + Japanese + QStringLiteral("\r\n")).repeated(15).toUtf8(),
        asciiThenCp932,
        // Half-width katakana that is valid UTF-8 all through: CP932 after the whole file is seen.
        toCp932(QStringLiteral("ﾅｶ ﾏｲ ﾃｽ ﾄｷ\r\n").repeated(40)),
        badThenNul,
    };
    for (const QByteArray &bytes : cases) {
        const QString path = dir.write(QStringLiteral("c.csv"), bytes);
        const Result<TextLines> whole = decodeText(bytes, path);
        for (const qsizetype chunk : {16, 17, 23, 64, 4096}) {
            const Result<TextLines> t = readTextFile(path, TextLines::Cut::Lines, chunk);
            ASSERT_EQ(t.ok(), whole.ok()) << chunk;
            if (!t.ok()) {
                EXPECT_EQ(t.failure().description, whole.failure().description);
                continue;
            }
            EXPECT_EQ(t->encoding, whole->encoding);
            EXPECT_EQ(t->text, whole->text);
            EXPECT_EQ(linesOf(t.value()), linesOf(whole.value())) << chunk;
        }
    }
    // A NUL is named before a byte that is no character on an earlier line.
    EXPECT_TRUE(decodeText(badThenNul, {}).failure().description.startsWith(QStringLiteral("6行目")));
    EXPECT_EQ(decodeText(cases[4], {})->encoding, TextLines::Encoding::Cp932);
    EXPECT_EQ(decodeText(asciiThenCp932, {})->text, QString(300, u'a') + QStringLiteral("\r\n") + Japanese);
}

TEST(TextFile, ShiftJisIsReadAsCp932NeverAsUtf8)
{
    ScratchDir dir;
    const QByteArray bytes = toCp932(Japanese + QStringLiteral("\r\n二行目\r\n"));
    const QString path = dir.write(QStringLiteral("sjis.csv"), bytes);
    Result<TextLines> t = readTextFile(path);
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(t->encoding, TextLines::Encoding::Cp932);
    EXPECT_EQ(linesOf(t.value()), QStringList({Japanese, QStringLiteral("二行目")}));
}

TEST(TextFile, Utf8WithAndWithoutMarkIsRecognised)
{
    ScratchDir dir;
    const QByteArray body = (Japanese + QStringLiteral("\nx")).toUtf8();
    for (const QByteArray &bytes : {QByteArray("\xEF\xBB\xBF") + body, body}) {
        Result<TextLines> t = readTextFile(dir.write(QStringLiteral("u.csv"), bytes));
        ASSERT_TRUE(t.ok());
        EXPECT_EQ(t->encoding, TextLines::Encoding::Utf8);
        EXPECT_EQ(linesOf(t.value()), QStringList({Japanese, QStringLiteral("x")}));
    }
}

TEST(TextFile, BytesValidInBothEncodingsGoToThePlausibleReading)
{
    ScratchDir dir;
    // Half-width katakana in CP932 that is valid UTF-8 too ("Ŷ", "ϲ", "ý ķ", "AŶ ý"); Latin words.
    const QStringList kana{"ﾅｶ", "ﾏｲ", "ﾃｽ ﾄｷ", "Aﾅｶ ﾃｽ"}, latin{"Müller", "José Zoë café"};
    for (const QString &s : kana + latin) {
        const QByteArray bytes = kana.contains(s) ? toCp932(s) : s.toUtf8();
        Result<TextLines> t = readTextFile(dir.write(QStringLiteral("k.csv"), bytes));
        ASSERT_TRUE(t.ok());
        EXPECT_EQ(t->text, s);
        // vCard files without a byte-order mark decide the same way.
        const auto cards =
            parseVCards("BEGIN:VCARD\r\nFN:" + bytes + "\r\nEMAIL:a@b.jp\r\nEND:VCARD\r\n", {});
        EXPECT_TRUE(cards.ok() && cards->size() == 1 && cards->at(0).name == s) << s.toStdString();
    }
}

TEST(TextFile, TheReadingIsKnownWithoutDecoding)
{
    // As decodeText chooses, also for a character cut by readingOf's windows of 4096 bytes.
    QList<QByteArray> cases{"", "ascii\r\n", "\xEF\xBB\xBFx", QByteArray("a\0b", 3), Japanese.toUtf8()};
    for (const QByteArray &tail : {toCp932(Japanese), toCp932("ﾅｶ ﾏｲ"), toCp932("Bﾅｶ"), QByteArray("Zoë"),
                                   QByteArray("東x"), QByteArray("\xE6\x9D")})
        cases << tail << QByteArray(4095, 'a') + tail;
    for (const QByteArray &bytes : cases) {
        const Result<TextLines> t = decodeText(bytes, {});
        EXPECT_EQ(readingOf(bytes), t ? t->encoding : TextLines::Encoding::Cp932)
            << bytes.right(8).toHex().toStdString();
    }
}

TEST(TextFile, LineEndsAndTheLastLine)
{
    ScratchDir dir;
    struct Case {
        QByteArray bytes;
        QStringList lines;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", {"a", "b"}}, {"a\nb", {"a", "b"}}, {"a\r\nb\r\n\r\n", {"a", "b", ""}},
        {"\r\nb", {"", "b"}},       {"a\rb\n", {"a\rb"}}, {"", {}},
    };
    for (const Case &c : cases) {
        Result<TextLines> t = readTextFile(dir.write(QStringLiteral("l.txt"), c.bytes));
        ASSERT_TRUE(t.ok());
        EXPECT_EQ(linesOf(t.value()), c.lines) << c.bytes.toStdString();
    }
}

TEST(TextFile, InvalidBytesFailNamingTheLine)
{
    ScratchDir dir;
    // Line 3 holds a lone CP932 lead byte and a byte that is no CP932 character at all.
    const QByteArray bytes = toCp932(QStringLiteral("一\r\n二\r\n")) + QByteArray("\x81\xFF\r\n");
    Result<TextLines> t = readTextFile(dir.write(QStringLiteral("bad.csv"), bytes));
    ASSERT_FALSE(t.ok());
    EXPECT_TRUE(t.failure().description.contains(QStringLiteral("3行目")))
        << t.failure().description.toStdString();

    Result<TextLines> nul = readTextFile(dir.write(QStringLiteral("nul.csv"), QByteArray("a\nb\0c\n", 6)));
    ASSERT_FALSE(nul.ok());
    EXPECT_TRUE(nul.failure().description.contains(QStringLiteral("2行目")));

    Result<TextLines> bomBad = readTextFile(dir.write(QStringLiteral("bom.csv"), QByteArray("\xEF\xBB\xBF"
                                                                                            "ok\n\xC3")));
    ASSERT_FALSE(bomBad.ok());
    EXPECT_TRUE(bomBad.failure().description.contains(QStringLiteral("2行目")));
}

TEST(TextFile, MissingUnreadableAndDirectoryPathsFail)
{
    ScratchDir dir;
    EXPECT_EQ(readTextFile(dir.path(QStringLiteral("none.csv"))).failure().number, 53);
    EXPECT_FALSE(fileExists(dir.path(QStringLiteral("none.csv"))));
    EXPECT_FALSE(fileExists(dir.root()));
    EXPECT_FALSE(readTextFile(dir.root()).ok());

    const QString locked = dir.write(QStringLiteral("locked.csv"), "a\n");
    QFile::setPermissions(locked, QFileDevice::Permissions());
    if (getuid() != 0) { // root reads every file
        EXPECT_EQ(readTextFile(locked).failure().number, 70);
    }
    EXPECT_TRUE(fileExists(locked));
}
