#include "body/BodyFile.h"
#include "TestEnvironment.h"
#include "body/MergeCheck.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

#include <gtest/gtest.h>

TEST(BodyFile, EveryLineEndsInCrLfWhateverTheFileUsed)
{
    ScratchDir dir;
    auto read = [&](const QByteArray &bytes) {
        Result<QString> r = readBodyFile(dir.write(QStringLiteral("body.txt"), bytes));
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.failure().description.toStdString());
        return r.ok() ? r.value() : QString();
    };
    EXPECT_EQ(read(""), QString());
    EXPECT_EQ(read("a\nb"), QStringLiteral("a\r\nb\r\n"));
    EXPECT_EQ(read("a\r\nb\r\n"), QStringLiteral("a\r\nb\r\n"));
    // A lone CR ends a line as well; empty lines survive.
    EXPECT_EQ(read("a\rb\r\n\r\n\nc"), QStringLiteral("a\r\nb\r\n\r\n\r\nc\r\n"));
    // CP932 and UTF-8 (with and without a mark) read alike; tags and ① ～ ㈱ 髙 come through.
    const QString text = QStringLiteral("<%氏名%>様\n① ～ ㈱ 髙\n");
    const QString body = QStringLiteral("<%氏名%>様\r\n① ～ ㈱ 髙\r\n");
    EXPECT_EQ(read(toCp932(text)), body);
    EXPECT_EQ(read(text.toUtf8()), body);
    EXPECT_EQ(read("\xEF\xBB\xBF" + text.toUtf8()), body);
}

TEST(BodyFile, UnreadableFilesFailWithAReasonTheOperatorCanUse)
{
    ScratchDir dir;
    const Result<QString> missing = readBodyFile(dir.path(QStringLiteral("gone.txt")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.failure().number, 53);
    EXPECT_TRUE(missing.failure().description.contains(QStringLiteral("gone.txt")));

    QDir(dir.root()).mkdir(QStringLiteral("folder.txt"));
    EXPECT_FALSE(readBodyFile(dir.path(QStringLiteral("folder.txt"))).ok());

    // Bytes that are text in neither encoding, and binary files, name the line that holds them.
    const Result<QString> bad = readBodyFile(dir.write(QStringLiteral("bad.txt"), "ok\nok\n\x81\x20x\n"));
    ASSERT_FALSE(bad.ok());
    EXPECT_TRUE(bad.failure().description.startsWith(QStringLiteral("3行目")))
        << bad.failure().description.toStdString();
    // A lone CR ends a line too: the line named is the one an editor shows, in CP932 and UTF-8.
    for (const QString &path : {testDataPath(QStringLiteral("untrusted/body-lone-cr-wrong-line.txt")),
                                dir.write(QStringLiteral("cr.txt"), "\xEF\xBB\xBFz\r\r\xFF")}) {
        const Result<QString> r = readBodyFile(path);
        ASSERT_FALSE(r.ok());
        EXPECT_TRUE(r.failure().description.startsWith(QStringLiteral("3行目")))
            << r.failure().description.toStdString();
    }
    const Result<QString> binary =
        readBodyFile(dir.write(QStringLiteral("pic.txt"), QByteArray("\x89PNG\r\n\x1a\n\0\0", 10)));
    ASSERT_FALSE(binary.ok());
    EXPECT_TRUE(binary.failure().description.startsWith(QStringLiteral("3行目")));

    if (geteuid() != 0) {
        const QString locked = dir.write(QStringLiteral("locked.txt"), "x");
        QFile::setPermissions(locked, QFile::WriteOwner);
        EXPECT_EQ(readBodyFile(locked).failure().number, 70);
    }
}

TEST(MergeCheck, NeedsRecipientsAndABodyOfTwoCharacters)
{
    RecipientTable initial;
    EXPECT_FALSE(mergeCheckReady(initial, u"本文"));
    RecipientTable named = RecipientTable::sized(1, 1);
    named.setCell(0, 1, u"mail");
    EXPECT_TRUE(mergeCheckReady(named, u"ab"));
    EXPECT_FALSE(mergeCheckReady(named, u"a"));
    // Column 1 without a name still passes with two data rows.
    EXPECT_TRUE(mergeCheckReady(RecipientTable::sized(2, 1), u"ab"));
    EXPECT_FALSE(mergeCheckReady(RecipientTable::sized(1, 1), u"ab"));
}
