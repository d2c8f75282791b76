#include "TextFile.h"
#include "TestEnvironment.h"
#include "VCard.h"

#include <QFile>

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

} // namespace

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
