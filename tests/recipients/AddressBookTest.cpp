#include "AddressBook.h"
#include "Importers.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace
{

using Rows = QList<QStringList>;

Rows rowsOf(const RecipientTable &t)
{
    Rows rows;
    for (int r = 0; r <= t.lastRow(); ++r) {
        EXPECT_EQ(t.cell(r, 0), QString()) << "status cell of row " << r;
        rows.append({t.cell(r, 1), t.cell(r, 2)});
    }
    return rows;
}

// A home folder made by the fixture script: a Thunderbird profile list with two profiles and an
// Evolution personal book.
class AddressBookTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                    {testDataPath(QStringLiteral("make_abook.py")), home.root()}),
                  0);
        places.home = home.root();
        places.dataHome = home.path(QStringLiteral(".local/share"));
    }

    QString ini() const { return home.path(QStringLiteral(".thunderbird/profiles.ini")); }
    QString profile(const QString &folder) const
    {
        return home.path(QStringLiteral(".thunderbird/Profiles/") + folder);
    }
    void writeIni(const QByteArray &text) const
    {
        home.write(QStringLiteral(".thunderbird/profiles.ini"), text);
    }

    Result<RecipientTable> import(QStringList *statuses = nullptr) const
    {
        return OutlookDataGet(places, [statuses](const QString &s) {
            if (statuses)
                statuses->append(s);
        });
    }

    ScratchDir home;
    AddressBookPlaces places;
};

const Rows PersonalBook = {{"Address", "Name"},
                           {"yamada@example.jp", "山田 太郎"},
                           {"takahashi@example.co.jp", "①髙橋 ～ 商事㈱"},
                           {"noname@example.com", ""},
                           {"nodisplay@example.org", ""},
                           {"suzuki@example.jp", "鈴木 一郎"}};

} // namespace

TEST_F(AddressBookTest, DefaultProfilesPersonalBookInBookOrderWithStatusTexts)
{
    // The install's default wins over the profile marked Default=1; the second book, the collected
    // addresses, cards without an address and the mailing list are not read.
    QStringList statuses;
    Result<RecipientTable> t = import(&statuses);
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(rowsOf(t.value()), PersonalBook);
    EXPECT_EQ(statuses,
              QStringList({"", "読み込み試行中・・・しばらくお待ちください", "",
                           "yamada@example.jp/山田 太郎", "takahashi@example.co.jp/①髙橋 ～ 商事㈱",
                           "noname@example.com/", "nodisplay@example.org/", "suzuki@example.jp/鈴木 一郎"}));
}

TEST_F(AddressBookTest, ProfileIsChosenByInstallThenDefaultMarkThenAsTheOnlyOne)
{
    writeIni("[Profile1]\nName=default\nIsRelative=1\nPath=Profiles/5h7d0c3b.default\nDefault=1\n\n"
             "[Profile0]\nName=default-release\nIsRelative=1\nPath=Profiles/x8k2m1qz.default-release\n");
    Result<RecipientTable> marked = import();
    ASSERT_TRUE(marked.ok()) << marked.failure().description.toStdString();
    EXPECT_EQ(rowsOf(marked.value()), Rows({{"Address", "Name"}, {"old-profile@example.com", "古い"}}));

    // An absolute path (IsRelative=0), as the only profile.
    writeIni("[Profile0]\nName=x\nIsRelative=0\nPath=" +
             QFile::encodeName(profile(QStringLiteral("x8k2m1qz.default-release"))) + "\n");
    Result<RecipientTable> only = import();
    ASSERT_TRUE(only.ok()) << only.failure().description.toStdString();
    EXPECT_EQ(rowsOf(only.value()), PersonalBook);
}

TEST_F(AddressBookTest, EvolutionsBookWhenThereIsNoThunderbird)
{
    ASSERT_TRUE(QDir(home.path(QStringLiteral(".thunderbird"))).removeRecursively());
    Result<RecipientTable> t = import();
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    // The contact list and the contact without an address are skipped; the first EMAIL counts.
    EXPECT_EQ(
        rowsOf(t.value()),
        Rows({{"Address", "Name"}, {"watanabe@example.jp", "渡辺 美咲"}, {"kato@example.com", "Kato, Jun"}}));
}

TEST_F(AddressBookTest, EachMissingOrDamagedPlaceIsNamedInItsFailure)
{
    ASSERT_TRUE(QFile::remove(profile(QStringLiteral("x8k2m1qz.default-release/abook.sqlite"))));
    Result<RecipientTable> noBook = import();
    ASSERT_FALSE(noBook.ok());
    EXPECT_EQ(noBook.failure().number, 53);
    EXPECT_TRUE(noBook.failure().description.contains(u"x8k2m1qz.default-release/abook.sqlite"));

    home.write(QStringLiteral(".thunderbird/Profiles/x8k2m1qz.default-release/abook.sqlite"),
               QByteArray("this is not a database, only text that was saved under its name\n").repeated(80));
    Result<RecipientTable> corrupt = import();
    ASSERT_FALSE(corrupt.ok());
    EXPECT_EQ(corrupt.failure().number, 321);
    EXPECT_TRUE(corrupt.failure().description.contains(u"abook.sqlite"));

    writeIni("[Install1]\nDefault=Profiles/gone.default-release\n");
    Result<RecipientTable> gone = import();
    ASSERT_FALSE(gone.ok());
    EXPECT_EQ(gone.failure().number, 76);
    EXPECT_TRUE(gone.failure().description.contains(u"Profiles/gone.default-release"));

    writeIni("[General]\nStartWithLastProfile=1\n[Profile0]\nPath=a\n[Profile1]\nPath=b\n");
    Result<RecipientTable> undecided = import();
    ASSERT_FALSE(undecided.ok());
    EXPECT_EQ(undecided.failure().description, Failure::noDefaultProfile(ini()).description);

    ASSERT_TRUE(QDir(home.path(QStringLiteral(".thunderbird"))).removeRecursively());
    ASSERT_TRUE(QDir(home.path(QStringLiteral(".local"))).removeRecursively());
    Result<RecipientTable> nothing = import();
    ASSERT_FALSE(nothing.ok());
    EXPECT_EQ(nothing.failure().number, 429);
    EXPECT_TRUE(nothing.failure().description.contains(ini()));
    EXPECT_TRUE(nothing.failure().description.contains(places.evolutionBook()));
}

TEST_F(AddressBookTest, BookHeldOpenAndLockedByTheMailProgramIsReadAsCommitted)
{
    // Another process holds an exclusive lock with a card written but not committed.
    const QString book = profile(QStringLiteral("x8k2m1qz.default-release/abook.sqlite"));
    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sqlite3, sys\n"
                                 "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                 "db.execute('BEGIN EXCLUSIVE')\n"
                                 "db.execute(\"INSERT INTO properties VALUES ('new', 'PrimaryEmail', "
                                 "'uncommitted@example.jp')\")\n"
                                 "print('locked', flush=True)\n"
                                 "sys.stdin.read()\n"),
                  book});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readAll().trimmed(), QByteArray("locked"));

    Result<RecipientTable> t = import();
    holder.closeWriteChannel();
    if (!holder.waitForFinished(30000))
        holder.kill();
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    EXPECT_EQ(rowsOf(t.value()), PersonalBook);
}

TEST_F(AddressBookTest, CommitsStillInTheRunningProgramsWriteAheadLogAreRead)
{
    // The mail program keeps its book in write-ahead-log mode; one card is committed to the log
    // only, another is being written when the book is read.
    const QString book = profile(QStringLiteral("x8k2m1qz.default-release/abook.sqlite"));
    QProcess holder;
    holder.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral(
             "import sqlite3, sys\n"
             "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
             "db.execute('PRAGMA journal_mode=WAL')\n"
             "db.execute('PRAGMA wal_autocheckpoint=0')\n"
             "db.execute(\"INSERT INTO properties VALUES ('w1', 'PrimaryEmail', 'wal@example.jp')\")\n"
             "db.execute(\"INSERT INTO properties VALUES ('w1', 'DisplayName', '記録中')\")\n"
             "db.execute('BEGIN IMMEDIATE')\n"
             "db.execute(\"INSERT INTO properties VALUES ('w2', 'PrimaryEmail', 'pending@example.jp')\")\n"
             "print('ready', flush=True)\n"
             "sys.stdin.read()\n"
             "db.execute('COMMIT')\n"
             "print('committed', flush=True)\n"),
         book});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readAllStandardOutput().trimmed(), QByteArray("ready"));
    ASSERT_GT(QFileInfo(book + QStringLiteral("-wal")).size(), 0);

    Result<RecipientTable> t = import();
    holder.closeWriteChannel();
    if (!holder.waitForFinished(30000))
        holder.kill();
    // The writer was never blocked by the read.
    EXPECT_EQ(holder.readAllStandardOutput().trimmed(), QByteArray("committed"));
    ASSERT_TRUE(t.ok()) << t.failure().description.toStdString();
    Rows expected = PersonalBook;
    expected.append(QStringList{"wal@example.jp", "記録中"});
    EXPECT_EQ(rowsOf(t.value()), expected);
}
