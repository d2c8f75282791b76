#pragma once

#include "platform/Failure.h"
#include "send/journal/SendJournal.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

class RecipientTable;
class JournalReplay;

// What a journal says about its run, read back after the run ended in whatever way. The rules
// are chosen so that nobody is mailed twice: a row is "not tried" only when the journal proves
// that none of its data can have reached the server.
struct JournalReport {
    enum class Row {
        NotTried,       // never sent: may be sent
        Accepted,       // the server accepted it
        Refused,        // a final failure, with its reason
        Retry,          // a temporary failure, with its reason: to be tried again
        MayHaveArrived, // its data may have reached the server: never re-sent silently
        LeftOut,        // the operator chose not to send it in this run (one mail per address)
        Bounced,        // accepted, then returned as undeliverable: a final failure, with the report's reason
    };
    enum class Ending {
        Finished, // every row has its final outcome
        Stopped,  // stopped by the operator: can be continued
        Abrupt,   // the process or the machine ended without closing the run
    };
    enum class Tail {
        Whole,
        Torn,    // the last record is incomplete or damaged, as a write cut short leaves it
        Damaged, // a damaged record has records after it: they, and the rows they may have been
                 // about, are unknown up to the next "resumed" record, where reading goes on
    };
    struct RowEntry {
        Row state = Row::NotTried;
        QString reason;
        // The row's own attachments as its last try sent them.
        std::vector<FileStamp> attachments;
    };
    // Each row's state, rows 1..identity.rows ([0] unused). Only the rows the journal names are
    // kept, so that a row count read from a file costs nothing until a table of that size is there.
    class Rows
    {
      public:
        RowEntry operator[](size_t row) const;
        size_t size() const { return m_size; }
        // Whether the operator chose the row for the run (every row, unless some were chosen).
        bool chosen(int row) const;

      private:
        friend class JournalReplay;
        struct Named {
            Row state = Row::NotTried;
            quint8 step = 0; // what the journal last said of the row, while it is read
            QString reason;
            std::vector<FileStamp> attachments;
        };
        // The named rows in the order first named, found through a table of open addressing over
        // their numbers: a journal of a million rows costs no allocation per row.
        class Index
        {
          public:
            Named *find(int row) { return const_cast<Named *>(std::as_const(*this).find(row)); }
            const Named *find(int row) const;
            // The row's entry, and whether it was added now. Adding may move the other entries.
            std::pair<Named *, bool> tryEmplace(int row);
            Named &operator[](int row) { return *tryEmplace(row).first; }
            size_t size() const { return m_entries.size(); }
            void reserve(size_t rows);
            auto begin() { return m_entries.begin(); }
            auto end() { return m_entries.end(); }

          private:
            size_t slotOf(int row) const;
            void rehash(size_t slots);
            std::vector<std::pair<int, Named>> m_entries;
            std::vector<quint32> m_slots; // entry index + 1, 0 for none; a power of two long
        };
        Index m_named;
        std::vector<std::pair<int, int>> m_chosen; // ascending ranges; empty: every row
        Row m_rest = Row::NotTried;                // the chosen rows the journal does not name
        size_t m_size = 1;
    };

    QString path;
    RunIdentity identity;
    QString bootId;        // of the boot the journal was last written in
    bool sameBoot = false; // the machine has not restarted since
    Ending ending = Ending::Abrupt;
    Tail tail = Tail::Whole;
    qint64 damagedAt = -1; // byte offset of the first damaged record
    // Where a continuation's records begin: the end of the file, or the start of a torn last
    // record, which is cut off first (it never counted).
    qint64 appendAt = 0;
    Rows rows;
    // The file as it was read (size -1: it changed while it was read). A reopen that finds the
    // file so under its lock takes this report rather than reading every record again.
    struct FileState {
        qint64 size = -1;
        qint64 modifiedNs = 0, changedNs = 0;
        quint64 inode = 0, device = 0;
        bool operator==(const FileState &) const = default;
    };
    FileState readFrom;

    int accepted = 0, refused = 0, retry = 0, mayHaveArrived = 0, notTried = 0, leftOut = 0, bounced = 0;

    bool unfinished() const { return ending != Ending::Finished; }
};

// Reads a journal, in time and memory linear in the file's size. A damaged head, a file that is not
// a journal, or one of another version is refused; a damaged record ends what is read (the report
// says so).
Result<JournalReport> readJournal(const QString &path, const QString &bootIdNow = currentBootId());

// The state of an open journal file; size -1 when it cannot be told.
JournalReport::FileState journalFileState(int fd);

// SHA-256 over the table's names and recipients (rows 0..R, columns 1..C, not the status column):
// the table's shape, then each cell's length before its text, so no two tables share the bytes.
QByteArray tableDigest(const RecipientTable &table);

// A failure when the table is not the one the journal's run sent (another size or other cells).
std::optional<Failure> checkJournalTable(const JournalReport &report, const RecipientTable &table);
