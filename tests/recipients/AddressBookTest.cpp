#include "platform/formats/AddressBook.h"
#include "TestEnvironment.h"
#include "recipients/Importers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

namespace
{

using Rows = QList<QStringList>;

QByteArray untrusted(const QString &name)
{
    QFile f(testDataPath("untrusted/" + name));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
    return f.readAll();
}

void python(const QStringList &args)
{
    ASSERT_EQ(QProcess::execute("/usr/bin/python3", args), 0) << args.join(' ').toStdString();
}

// Changes a book the way a hand or a damaged program could have.
void alter(const QString &book, const QString &sql)
{
    python({"-c", "import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.executescript(sys.argv[2])",
            book, sql});
}

// A second process writing the book: it prints "ready" once it holds what the test needs and ends
// when its input is closed.
struct Writer {
    Writer(const QString &book, const QString &script)
    {
        p.start("/usr/bin/python3", {"-c",
                                     "import select, sqlite3, sys\n"
                                     "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n" +
                                         script,
                                     book});
    }
    ~Writer() { finish(); }
    bool ready() { return p.waitForReadyRead(30000) && p.readLine().trimmed() == "ready"; }
    void finish()
    {
        p.closeWriteChannel();
        if (!p.waitForFinished(30000))
            p.kill();
    }
    QProcess p;
};

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

    void expectFailure(const Failure &expected) const
    {
        Result<RecipientTable> t = import();
        ASSERT_FALSE(t.ok()) << t->lastRow() << " rows";
        EXPECT_EQ(t.failure().number, expected.number);
        EXPECT_EQ(t.failure().description.toStdString(), expected.description.toStdString());
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

TEST_F(AddressBookTest, TheMailProgramsCommitsNeverFailAReadAndItsUnfinishedTransactionIsNeverRead)
{
    {
        // Small commits one after another, each rewriting several pages of the book.
        Writer committing(
            profile("x8k2m1qz.default-release/abook.sqlite"),
            "db.execute('PRAGMA synchronous = OFF')\n"
            "print('ready', flush=True)\n"
            "while not select.select([sys.stdin], [], [], 0)[0]:\n"
            "    db.execute('BEGIN')\n"
            "    db.execute(\"DELETE FROM properties WHERE card = 'tmp'\")\n"
            "    db.executemany(\"INSERT INTO properties VALUES ('tmp', 'Notes', ?)\", [('x' * 500,)] * 40)\n"
            "    db.execute('COMMIT')\n");
        ASSERT_TRUE(committing.ready());
        for (int i = 0; i < 300; ++i) {
            Result<RecipientTable> t = import();
            ASSERT_TRUE(t.ok()) << "read " << i << ": " << t.failure().description.toStdString();
            ASSERT_EQ(rowsOf(t.value()), PersonalBook) << "read " << i;
        }
    }

    // A delete of every card that has already spilled into the book file, then rolled back.
    python({testDataPath("make_abook.py"), "--bench", "1500", home.root()});
    const QString large = profile("b3nch000.default-release/abook.sqlite");
    Writer deleting(large, "db.execute('PRAGMA cache_size = 10')\n"
                           "db.execute('BEGIN')\n"
                           "db.execute('DELETE FROM properties')\n"
                           "print('ready', flush=True)\n"
                           "sys.stdin.read()\n"
                           "db.execute('ROLLBACK')\n");
    ASSERT_TRUE(deleting.ready());
    expectFailure(Failure::addressBookInUse(large));
    deleting.finish();
    Result<RecipientTable> after = import();
    ASSERT_TRUE(after.ok()) << after.failure().description.toStdString();
    EXPECT_EQ(after->lastRow(), 1500);
}

TEST_F(AddressBookTest, HostileOrDamagedBooksFailClearlyWithoutRunningWhatTheyHold)
{
    // Each ends through the reader's own defences, never by hanging or exhausting memory.
    const QString book = profile("x8k2m1qz.default-release/abook.sqlite");
    home.write(".thunderbird/Profiles/x8k2m1qz.default-release/abook.sqlite",
               untrusted("abook-thunderbird-generated-column-4x400MB.sqlite"));
    expectFailure(Failure::addressBookUnsafe(book, "properties.value"));
    python({testDataPath("make_abook.py"), home.root()});
    alter(book, "INSERT INTO properties VALUES ('big', 'Notes', zeroblob(5000000))");
    expectFailure(Failure::addressBookValueTooLarge(book, AddressBookLimits().rowBytes));
    alter(book, "DROP TABLE properties; CREATE VIRTUAL TABLE properties USING fts5(card, name, value)");
    expectFailure(Failure::addressBookUnsafe(book, "properties"));

    python({testDataPath("make_abook.py"), "--bench", "500", home.root()});
    const QString large = profile("b3nch000.default-release/abook.sqlite");
    Result<std::vector<AddressBookEntry>> late = readThunderbirdBook(large, {std::chrono::milliseconds(0)});
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.failure().description, Failure::addressBookTimedOut(large, 0).description);

    ASSERT_TRUE(QDir(home.path(".thunderbird")).removeRecursively());
    const QString contacts = places.evolutionBook();
    alter(contacts, "ALTER TABLE folder_id RENAME TO c; CREATE VIEW folder_id AS SELECT * FROM c");
    expectFailure(Failure::addressBookUnsafe(contacts, "folder_id"));
    home.write(".local/share/evolution/addressbook/system/contacts.db",
               untrusted("abook-evolution-recursive-view-hang.db"));
    expectFailure(Failure::addressBookUnsafe(contacts, "folders"));
}

TEST_F(AddressBookTest, ProfileListWithAByteOrderMarkOrAPathThatContradictsItsMark)
{
    writeIni(untrusted("profiles-bom-hides-install-section.ini"));
    Result<RecipientTable> bom = import();
    ASSERT_TRUE(bom.ok()) << bom.failure().description.toStdString();
    EXPECT_EQ(rowsOf(bom.value()), PersonalBook);

    // Which folder the mail program uses is uncertain: no book is read rather than perhaps a wrong one.
    writeIni(untrusted("profiles-install-absolute-isrelative1.ini"));
    expectFailure(Failure::inconsistentProfilePath(ini(), "/srv/profiles/abs", true));
    writeIni("[Profile0]\nIsRelative=0\nPath=Profiles/x8k2m1qz.default-release\n");
    expectFailure(Failure::inconsistentProfilePath(ini(), "Profiles/x8k2m1qz.default-release", false));
}
