#include "AddressBook.h"

#include "VCard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QUrl>

#include <sqlite3.h>

#include <cstring>
#include <optional>
#include <utility>

namespace
{

// A read-only connection to a mail program's book, which may be open in that program right now.
class Database
{
  public:
    enum class Mode {
        // Neither locks nor journals: SQLite is told that nobody writes the file, so a program that
        // holds the book (even with an exclusive lock) is never made to wait. Sees only what has
        // reached the book file itself.
        Immutable,
        // A reader of a write-ahead-logged book: it also sees the commits still in the log, and
        // its snapshot mark in the shared index never blocks the program's writers.
        LogReader,
    };

    Database(const QString &path, Mode mode) : m_path(path)
    {
        const QByteArray uri = "file:" + QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath(), "/") +
                               (mode == Mode::Immutable ? "?immutable=1" : "?mode=ro");
        m_rc = sqlite3_open_v2(uri.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
        if (m_rc != SQLITE_OK)
            return;
        // Mapped pages instead of a read call per page: the book is read once, front to back.
        sqlite3_exec(m_db, "PRAGMA mmap_size = 268435456", nullptr, nullptr, nullptr);
        if (mode == Mode::LogReader)
            sqlite3_busy_timeout(m_db, 2000);
        // Every statement of the read sees the one snapshot the first one starts.
        m_rc = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr);
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    bool opened() const { return m_rc == SQLITE_OK; }
    QString error() const
    {
        return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(m_rc));
    }
    Failure failure() const { return Failure::notAnAddressBook(m_path, error()); }

    // Runs one statement; row is called with it for every result row.
    template <class Row> bool query(const char *sql, Row &&row)
    {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            return false;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            row(stmt);
        sqlite3_finalize(stmt);
        return rc == SQLITE_DONE;
    }

    bool hasTable(const char *name, bool *ok)
    {
        bool found = false;
        QByteArray sql = "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = '";
        sql += name;
        sql += "'";
        *ok = query(sql.constData(), [&](sqlite3_stmt *) { found = true; });
        return found;
    }

  private:
    QString m_path;
    sqlite3 *m_db = nullptr;
    int m_rc = SQLITE_OK;
};

// Reads a book as one consistent snapshot. A book with a non-empty write-ahead log is open in its
// program (or was left so): it is read together with its log, and read as the book file alone only
// when that fails (for instance when the program keeps the log's index to itself).
template <class Read> Result<std::vector<AddressBookEntry>> readSnapshot(const QString &path, Read read)
{
    if (QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
        Database live(path, Database::Mode::LogReader);
        if (live.opened()) {
            Result<std::vector<AddressBookEntry>> entries = read(live);
            if (entries)
                return entries;
        }
    }
    Database db(path, Database::Mode::Immutable);
    if (!db.opened())
        return db.failure();
    return read(db);
}

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

Result<std::vector<AddressBookEntry>> readDesktopAddressBook(const AddressBookPlaces &places)
{
    QStringList looked;
    for (const QString &ini : places.thunderbirdProfileLists()) {
        if (QFileInfo(ini).isFile()) {
            const Result<QString> book = thunderbirdPersonalBook(ini);
            if (!book)
                return book.failure();
            return readThunderbirdBook(book.value());
        }
        looked << ini;
    }
    const QString evolution = places.evolutionBook();
    if (QFileInfo(evolution).isFile())
        return readEvolutionBook(evolution);
    looked << evolution;
    return Failure::addressBookNotFound(looked);
}

Result<QString> thunderbirdPersonalBook(const QString &profilesIni)
{
    QFile file(profilesIni);
    if (!file.open(QIODevice::ReadOnly))
        return Failure::readError(profilesIni, file.errorString());
    const QList<IniSection> sections = readIni(file.readAll());

    QList<const IniSection *> profiles;
    for (const IniSection &s : sections)
        if (s.first.startsWith(QStringLiteral("Profile")))
            profiles.append(&s);

    QString path;
    bool relative = true;
    for (const IniSection &s : sections) {
        if (s.first.startsWith(QStringLiteral("Install")) &&
            !iniValue(s, QStringLiteral("Default")).isEmpty()) {
            path = iniValue(s, QStringLiteral("Default"));
            // The install names the profile by the Path its own section gives.
            relative = !QDir::isAbsolutePath(path);
            for (const IniSection *p : profiles)
                if (iniValue(*p, QStringLiteral("Path")) == path)
                    relative = iniValue(*p, QStringLiteral("IsRelative")) != u"0";
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
        relative = iniValue(*chosen, QStringLiteral("IsRelative")) != u"0" && !QDir::isAbsolutePath(path);
    }

    const QString folder =
        QDir::cleanPath(relative ? QFileInfo(profilesIni).absolutePath() + u'/' + path : path);
    if (!QFileInfo(folder).isDir())
        return Failure::profileFolderMissing(profilesIni, folder);
    const QString book = folder + QStringLiteral("/abook.sqlite");
    if (!QFileInfo(book).isFile())
        return Failure::addressBookMissing(book);
    return book;
}

Result<std::vector<AddressBookEntry>> readThunderbirdBook(const QString &abookPath)
{
    if (!QFileInfo(abookPath).isFile())
        return Failure::addressBookMissing(abookPath);
    return readSnapshot(abookPath, [&](Database &db) -> Result<std::vector<AddressBookEntry>> {
        bool ok = false;
        const bool haveCards = db.hasTable("properties", &ok);
        if (!ok)
            return db.failure();
        if (!haveCards)
            return Failure::notAnAddressBook(abookPath, QStringLiteral("連絡先の表 properties がありません"));
        const bool haveLists = db.hasTable("lists", &ok);
        if (!ok)
            return db.failure();

        // Mailing lists live in their own table and are never cards; a list id is still left out in
        // case a damaged book mixed them.
        QSet<QByteArray> lists;
        if (haveLists && !db.query("SELECT uid FROM lists",
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
            db.query("SELECT card, name, value FROM properties ORDER BY rowid", [&](sqlite3_stmt *stmt) {
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

Result<std::vector<AddressBookEntry>> readEvolutionBook(const QString &contactsDb)
{
    return readSnapshot(contactsDb, [&](Database &db) -> Result<std::vector<AddressBookEntry>> {
        // The folders table names the table that holds the book's contacts.
        QString folder;
        if (!db.query("SELECT folder_id FROM folders LIMIT 1",
                      [&](sqlite3_stmt *stmt) { folder = columnText(stmt, 0); }))
            return db.failure();
        if (folder.isEmpty())
            return Failure::notAnAddressBook(contactsDb, QStringLiteral("連絡先の表がありません"));
        QByteArray sql = "SELECT vcard FROM \"" + folder.toUtf8().replace("\"", "\"\"") + "\" ORDER BY rowid";

        std::vector<AddressBookEntry> entries;
        std::optional<Failure> unreadable;
        const bool done = db.query(sql.constData(), [&](sqlite3_stmt *stmt) {
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
