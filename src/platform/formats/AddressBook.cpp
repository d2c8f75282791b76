#include "platform/formats/AddressBook.h"

#include "platform/formats/VCard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QUrl>

#include <sqlite3.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

namespace
{

// A locked read waits this long for the book's program to finish a commit.
constexpr int BusyTimeoutMs = 2000;
// The read is stopped at its deadline; the progress handler looks at the clock this often (in
// virtual-machine steps).
constexpr int ProgressSteps = 1000;

QByteArray columnBytes(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return text ? QByteArray(text, sqlite3_column_bytes(stmt, column)) : QByteArray();
}

QString columnText(sqlite3_stmt *stmt, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)) : QString();
}

// A read-only connection to a mail program's book, which may be open in that program right now. The
// book comes from elsewhere, so nothing in its schema runs: no views, no triggers, no functions of
// the schema; and values are bounded in size and the read in time.
class Database
{
  public:
    enum class Mode {
        // With locks, in one read transaction: a rollback-journal book is read between its
        // program's commits; a write-ahead-logged book together with the commits in its log, and the
        // snapshot mark in the shared index never blocks the program's writers.
        Locked,
        // Neither locks nor journals, for a book that cannot be read with locks. Sees only what has
        // reached the book file itself; the caller makes sure nothing changed meanwhile.
        Unlocked,
    };

    Database(const QString &path, Mode mode, const AddressBookLimits &limits)
        : m_path(path), m_limits(limits), m_deadline(std::chrono::steady_clock::now() + limits.readTime)
    {
        const QByteArray uri = "file:" + QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath(), "/") +
                               (mode == Mode::Unlocked ? "?immutable=1" : "?mode=ro");
        m_rc = sqlite3_open_v2(uri.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
        if (m_rc != SQLITE_OK) {
            m_message = error();
            return;
        }
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
        sqlite3_limit(m_db, SQLITE_LIMIT_LENGTH, limits.rowBytes);
        sqlite3_progress_handler(m_db, ProgressSteps, &Database::progress, this);
        if (mode == Mode::Locked) {
            // Mapped pages instead of a read call per page: the book is read once, front to back.
            // Only under a lock, which keeps the program from shrinking the file under the mapping.
            sqlite3_exec(m_db, "PRAGMA mmap_size = 268435456", nullptr, nullptr, nullptr);
            sqlite3_busy_handler(m_db, &Database::busy, this);
        }
        // Every statement of the read sees the one snapshot the first one starts.
        m_rc = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
        if (m_rc != SQLITE_OK)
            m_message = error();
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool opened() const { return m_rc == SQLITE_OK; }
    Failure failure() const
    {
        if (m_cancelled)
            return Failure::importCancelled();
        if (m_timedOut)
            return Failure::addressBookTimedOut(
                m_path, std::chrono::duration_cast<std::chrono::seconds>(m_limits.readTime).count());
        if ((m_rc & 0xff) == SQLITE_TOOBIG)
            return Failure::addressBookValueTooLarge(m_path, m_limits.rowBytes);
        return Failure::notAnAddressBook(m_path, m_message);
    }
    // The read failed for want of a lock, or of the files a locked read needs, not for the book.
    bool lockedOut() const
    {
        const int rc = m_rc & 0xff;
        return !m_timedOut && !m_cancelled &&
               (rc == SQLITE_BUSY || rc == SQLITE_LOCKED || rc == SQLITE_READONLY || rc == SQLITE_CANTOPEN);
    }

    // Runs one statement with its text parameters; row is called with it for every result row.
    template <class Row> bool query(const char *sql, const QByteArrayList &params, Row &&row)
    {
        sqlite3_stmt *stmt = nullptr;
        m_rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
        if (m_rc == SQLITE_OK) {
            for (int i = 0; i < int(params.size()); ++i)
                sqlite3_bind_text(stmt, i + 1, params[i].constData(), int(params[i].size()),
                                  SQLITE_TRANSIENT);
            while ((m_rc = sqlite3_step(stmt)) == SQLITE_ROW)
                row(stmt);
        }
        if (m_rc == SQLITE_DONE)
            m_rc = SQLITE_OK;
        else
            m_message = error();
        sqlite3_finalize(stmt);
        return m_rc == SQLITE_OK;
    }

    // Whether the book has a table of that name. Anything else of that name, and a table whose read
    // columns are missing or computed, is refused: views, virtual tables and generated columns run
    // what the file says.
    Result<bool> plainTable(const QByteArray &table, std::initializer_list<const char *> columns)
    {
        bool found = false, plain = true;
        if (!query(
                "SELECT type FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 COLLATE NOCASE",
                {table}, [&](sqlite3_stmt *stmt) {
                    found = true;
                    plain = plain && columnBytes(stmt, 0) == "table";
                }))
            return failure();
        if (!found)
            return false;
        if (plain && !query("SELECT type FROM pragma_table_list(?1)", {table},
                            [&](sqlite3_stmt *stmt) { plain = plain && columnBytes(stmt, 0) == "table"; }))
            return failure();
        if (!plain)
            return Failure::addressBookUnsafe(m_path, QString::fromUtf8(table));

        QHash<QByteArray, bool> computed; // by lower-case column name
        if (!query("SELECT name, hidden FROM pragma_table_xinfo(?1)", {table}, [&](sqlite3_stmt *stmt) {
                computed.insert(columnBytes(stmt, 0).toLower(), sqlite3_column_int(stmt, 1) != 0);
            }))
            return failure();
        for (const char *column : columns) {
            const auto it = computed.constFind(QByteArray(column).toLower());
            if (it == computed.cend() || *it)
                return Failure::addressBookUnsafe(m_path, QString::fromUtf8(table + '.' + column));
        }
        return true;
    }

  private:
    // A program that commits one small transaction after another holds its lock nearly all the time;
    // looking again every millisecond (rather than SQLite's growing pauses) finds the moments between.
    static int busy(void *self, int tries)
    {
        auto *db = static_cast<Database *>(self);
        const auto now = std::chrono::steady_clock::now();
        if (tries == 0)
            db->m_busySince = now;
        if (now - db->m_busySince >= std::chrono::milliseconds(BusyTimeoutMs))
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
    }
    static int progress(void *self)
    {
        auto *db = static_cast<Database *>(self);
        if (db->m_limits.cancel && db->m_limits.cancel->load()) {
            db->m_cancelled = true;
            return 1;
        }
        if (std::chrono::steady_clock::now() < db->m_deadline)
            return 0;
        db->m_timedOut = true;
        return 1;
    }
    QString error() const
    {
        return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(m_rc));
    }

    QString m_path;
    AddressBookLimits m_limits;
    std::chrono::steady_clock::time_point m_busySince;
    std::chrono::steady_clock::time_point m_deadline;
    sqlite3 *m_db = nullptr;
    int m_rc = SQLITE_OK;
    QString m_message;
    bool m_timedOut = false;
    bool m_cancelled = false;
};

// What shows that a book file changed: its size, its modification time and the change counter
// SQLite keeps in its header; and whether a transaction of its program may have written into it
// (a rollback journal starts with its magic number from the moment the first page of the book is
// overwritten until the transaction ends).
struct BookState {
    qint64 size = 0;
    qint64 modifiedNs = 0;
    QByteArray counter;
    bool writing = false;

    bool operator==(const BookState &) const = default;

    static std::optional<BookState> of(const QString &path)
    {
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            return std::nullopt;
        BookState s;
        s.size = st.st_size;
        s.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        QFile book(path);
        if (!book.open(QIODevice::ReadOnly) || !book.seek(24))
            return std::nullopt;
        s.counter = book.read(4);

        static const char magic[] = {'\xd9', '\xd5', '\x05', '\xf9', '\x20', '\xa1', '\x63', '\xd7'};
        QFile journal(path + QStringLiteral("-journal"));
        if (journal.exists()) {
            // A journal that cannot be read cannot show that the book is whole.
            s.writing = !journal.open(QIODevice::ReadOnly);
            if (!s.writing)
                s.writing = journal.read(8) == QByteArray::fromRawData(magic, sizeof magic);
        }
        return s;
    }
};

// Reads a book as one consistent snapshot of what its program committed: with locks, and, only when
// locks cannot be had (a folder where a reader cannot make the shared index of a write-ahead-logged
// book, or a program that keeps its book locked), from the file as it stands. Such a read counts
// only when no transaction had written into the file and the file did not change during the read;
// else it is tried once more, then refused.
template <class Read>
Result<std::vector<AddressBookEntry>> readSnapshot(const QString &path, const AddressBookLimits &limits,
                                                   Read read)
{
    bool lockedOut = false;
    Result<std::vector<AddressBookEntry>> entries = [&]() -> Result<std::vector<AddressBookEntry>> {
        Database db(path, Database::Mode::Locked, limits);
        Result<std::vector<AddressBookEntry>> result = db.opened() ? read(db) : db.failure();
        lockedOut = !result && db.lockedOut();
        return result;
    }();
    if (!lockedOut)
        return entries;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::optional<BookState> before = BookState::of(path);
        if (!before)
            return entries; // not a file that can be read at all
        if (before->writing)
            continue;
        Database db(path, Database::Mode::Unlocked, limits);
        Result<std::vector<AddressBookEntry>> unlocked = db.opened() ? read(db) : db.failure();
        if (BookState::of(path) == before)
            return unlocked;
    }
    return Failure::addressBookInUse(path);
}

// profiles.ini: [Section] lines and Key=Value lines; no quoting and no escapes.
using IniSection = std::pair<QString, QList<std::pair<QString, QString>>>;

QList<IniSection> readIni(const QByteArray &bytes)
{
    QList<IniSection> sections;
    for (QByteArray line : bytes.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            sections.append({QString::fromUtf8(line.mid(1, line.size() - 2)).trimmed(), {}});
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (eq > 0 && !sections.isEmpty())
            sections.last().second.append(
                {QString::fromUtf8(line.left(eq)).trimmed(), QString::fromUtf8(line.mid(eq + 1)).trimmed()});
    }
    return sections;
}

QString iniValue(const IniSection &section, const QString &key)
{
    for (const auto &kv : section.second)
        if (kv.first == key)
            return kv.second;
    return QString();
}

} // namespace

AddressBookPlaces AddressBookPlaces::fromEnvironment()
{
    AddressBookPlaces p;
    p.home = QDir::homePath();
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    p.dataHome = QDir::isAbsolutePath(xdg) ? xdg : p.home + QStringLiteral("/.local/share");
    return p;
}

QStringList AddressBookPlaces::thunderbirdProfileLists() const
{
    return {home + QStringLiteral("/.thunderbird/profiles.ini"),
            home + QStringLiteral("/.var/app/org.mozilla.Thunderbird/.thunderbird/profiles.ini"),
            home + QStringLiteral("/snap/thunderbird/common/.thunderbird/profiles.ini")};
}

QString AddressBookPlaces::evolutionBook() const
{
    return dataHome + QStringLiteral("/evolution/addressbook/system/contacts.db");
}

Result<std::vector<AddressBookEntry>> readDesktopAddressBook(const AddressBookPlaces &places,
                                                             const CancelFlag *cancel)
{
    AddressBookLimits limits;
    limits.cancel = cancel;
    QStringList looked;
    for (const QString &ini : places.thunderbirdProfileLists()) {
        if (QFileInfo(ini).isFile()) {
            const Result<QString> book = thunderbirdPersonalBook(ini);
            if (!book)
                return book.failure();
            return readThunderbirdBook(book.value(), limits);
        }
        looked << ini;
    }
    const QString evolution = places.evolutionBook();
    if (QFileInfo(evolution).isFile())
        return readEvolutionBook(evolution, limits);
    looked << evolution;
    return Failure::addressBookNotFound(looked);
}

Result<QString> thunderbirdPersonalBook(const QString &profilesIni)
{
    QFile file(profilesIni);
    if (!file.open(QIODevice::ReadOnly))
        return Failure::readError(profilesIni, file.errorString());
    QByteArray text = file.readAll();
    // A byte-order mark would otherwise become part of the first section's name.
    if (text.startsWith("\xEF\xBB\xBF"))
        text.remove(0, 3);
    const QList<IniSection> sections = readIni(text);

    QList<const IniSection *> profiles;
    for (const IniSection &s : sections)
        if (s.first.startsWith(QStringLiteral("Profile")))
            profiles.append(&s);

    QString path;
    QString isRelative; // the mark of the profile's own section, when there is one
    for (const IniSection &s : sections) {
        if (s.first.startsWith(QStringLiteral("Install")) &&
            !iniValue(s, QStringLiteral("Default")).isEmpty()) {
            path = iniValue(s, QStringLiteral("Default"));
            // The install names the profile by the Path its own section gives.
            for (const IniSection *p : profiles)
                if (iniValue(*p, QStringLiteral("Path")) == path)
                    isRelative = iniValue(*p, QStringLiteral("IsRelative"));
            break;
        }
    }
    if (path.isEmpty()) {
        const IniSection *chosen = nullptr;
        for (const IniSection *p : profiles)
            if (!chosen && iniValue(*p, QStringLiteral("Default")) == u"1")
                chosen = p;
        if (!chosen && profiles.size() == 1)
            chosen = profiles.first();
        if (!chosen || iniValue(*chosen, QStringLiteral("Path")).isEmpty())
            return Failure::noDefaultProfile(profilesIni);
        path = iniValue(*chosen, QStringLiteral("Path"));
        isRelative = iniValue(*chosen, QStringLiteral("IsRelative"));
    }

    // A relative Path lies in the folder of profiles.ini; an absolute one is never joined to it. A
    // Path whose form contradicts its mark leaves open which folder the mail program uses, and
    // reading another profile's book silently would be worse than saying so.
    const bool absolute = QDir::isAbsolutePath(path);
    if ((absolute && isRelative == u"1") || (!absolute && isRelative == u"0"))
        return Failure::inconsistentProfilePath(profilesIni, path, absolute);
    const QString folder =
        QDir::cleanPath(absolute ? path : QFileInfo(profilesIni).absolutePath() + u'/' + path);
    if (!QFileInfo(folder).isDir())
        return Failure::profileFolderMissing(profilesIni, folder);
    const QString book = folder + QStringLiteral("/abook.sqlite");
    if (!QFileInfo(book).isFile())
        return Failure::addressBookMissing(book);
    return book;
}

Result<std::vector<AddressBookEntry>> readThunderbirdBook(const QString &abookPath,
                                                          const AddressBookLimits &limits)
{
    if (!QFileInfo(abookPath).isFile())
        return Failure::addressBookMissing(abookPath);
    return readSnapshot(abookPath, limits, [&](Database &db) -> Result<std::vector<AddressBookEntry>> {
        const Result<bool> haveCards = db.plainTable("properties", {"card", "name", "value"});
        if (!haveCards)
            return haveCards.failure();
        if (!haveCards.value())
            return Failure::notAnAddressBook(abookPath, QStringLiteral("連絡先の表 properties がありません"));
        const Result<bool> haveLists = db.plainTable("lists", {"uid"});
        if (!haveLists)
            return haveLists.failure();

        // Mailing lists live in their own table and are never cards; a list id is still left out in
        // case a damaged book mixed them.
        QSet<QByteArray> lists;
        if (haveLists.value() && !db.query("SELECT uid FROM lists", {},
                                           [&](sqlite3_stmt *stmt) { lists.insert(columnBytes(stmt, 0)); }))
            return db.failure();

        // One pass over the cards' rows in the order they were written, which is the book's order: a
        // card takes its place at its first row. Reading the table straight through is many times
        // faster than letting SQLite group the rows by card through its index.
        struct Card {
            QByteArray id;
            QString address;
            QString name;
            QByteArray vcard;
            bool haveName = false;
        };
        std::vector<Card> cards;
        QHash<QByteArray, size_t> cardAt;
        const bool done =
            db.query("SELECT card, name, value FROM properties ORDER BY rowid", {}, [&](sqlite3_stmt *stmt) {
                const QByteArray id = columnBytes(stmt, 0);
                auto it = cardAt.constFind(id);
                if (it == cardAt.cend()) {
                    it = cardAt.insert(id, cards.size());
                    cards.push_back({id, {}, {}, {}, false});
                }
                Card &c = cards[*it];
                const auto *name = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
                if (!name)
                    return;
                if (std::strcmp(name, "PrimaryEmail") == 0) {
                    c.address = columnText(stmt, 2);
                } else if (std::strcmp(name, "DisplayName") == 0) {
                    c.name = columnText(stmt, 2);
                    c.haveName = true;
                } else if (std::strcmp(name, "_vCard") == 0) {
                    c.vcard = columnBytes(stmt, 2);
                }
            });
        if (!done)
            return db.failure();

        std::vector<AddressBookEntry> entries;
        entries.reserve(cards.size());
        for (Card &c : cards) {
            if (lists.contains(c.id))
                continue;
            // Cards written by newer versions may keep their data only in a vCard.
            if ((c.address.isEmpty() || !c.haveName) && !c.vcard.isEmpty()) {
                const Result<std::vector<VCardContact>> parsed = parseVCards(c.vcard, abookPath);
                if (!parsed)
                    return parsed.failure();
                if (!parsed->empty()) {
                    if (c.address.isEmpty())
                        c.address = parsed->front().email;
                    if (!c.haveName)
                        c.name = parsed->front().name;
                }
            }
            if (!c.address.isEmpty())
                entries.push_back({std::move(c.address), std::move(c.name)});
        }
        return entries;
    });
}

Result<std::vector<AddressBookEntry>> readEvolutionBook(const QString &contactsDb,
                                                        const AddressBookLimits &limits)
{
    if (!QFileInfo(contactsDb).isFile())
        return Failure::addressBookMissing(contactsDb);
    return readSnapshot(contactsDb, limits, [&](Database &db) -> Result<std::vector<AddressBookEntry>> {
        // The folders table names the table that holds the book's contacts.
        const Result<bool> haveFolders = db.plainTable("folders", {"folder_id"});
        if (!haveFolders)
            return haveFolders.failure();
        QByteArray folder;
        if (haveFolders.value() && !db.query("SELECT folder_id FROM folders LIMIT 1", {},
                                             [&](sqlite3_stmt *stmt) { folder = columnBytes(stmt, 0); }))
            return db.failure();
        const Result<bool> haveContacts =
            folder.isEmpty() ? Result<bool>(false) : db.plainTable(folder, {"vcard"});
        if (!haveContacts)
            return haveContacts.failure();
        if (!haveContacts.value())
            return Failure::notAnAddressBook(contactsDb, QStringLiteral("連絡先の表がありません"));
        const QByteArray sql =
            "SELECT vcard FROM \"" + QByteArray(folder).replace("\"", "\"\"") + "\" ORDER BY rowid";

        std::vector<AddressBookEntry> entries;
        std::optional<Failure> unreadable;
        const bool done = db.query(sql.constData(), {}, [&](sqlite3_stmt *stmt) {
            if (sqlite3_column_type(stmt, 0) == SQLITE_NULL)
                return;
            const QByteArray vcard(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
                                   sqlite3_column_bytes(stmt, 0));
            const Result<std::vector<VCardContact>> parsed = parseVCards(vcard, contactsDb);
            if (!parsed && !unreadable)
                unreadable = parsed.failure();
            if (!parsed || parsed->empty())
                return;
            const VCardContact &c = parsed->front();
            if (!c.isGroup && !c.email.isEmpty())
                entries.push_back({c.email, c.name});
        });
        if (!done)
            return db.failure();
        if (unreadable)
            return *unreadable;
        return entries;
    });
}
