#pragma once

#include "platform/Failure.h"
#include "send/journal/FileStamp.h"
#include "send/journal/RunJournal.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class TableLock;

// What a run is: enough to tell, when a journal is found after a crash, which mailing it belongs
// to and to load the same table again.
struct RunIdentity {
    // The recipient source as the importer was given it: a file path, OUTLOOK or ODBC.
    QString source;
    QString odbcDataSource; // ODBC only
    QString odbcTableOrSql; // ODBC only
    QByteArray tableDigest; // tableDigest() of the table the run sends, 32 bytes
    QString subject;
    QString body;
    bool html = false;
    QString sender;
    QStringList attachments;
    QString server; // never with its password: the journal stores it without
    int rows = 0;   // the table's recipient rows, 1..rows
    QDateTime startedAt;
    // The rows the operator chose to send (one mail per address, say), in table order; empty: every
    // row. A continuation sends only within them.
    std::vector<int> chosenRows;
    // What else shapes every mail of the run, kept so that a continuation sends the same: the
    // attachment names with merge tags (each row's own files), the HTML body's text version and
    // image folder, the sender as a blind copy of every mail, ISO-2022-JP preferred.
    QStringList attachmentTemplates;
    QString plainText;
    QString imageFolder;
    bool bccSelf = false;
    bool iso2022jp = false;
    // The attachments of every row as they were when the run began.
    std::vector<FileStamp> attachmentStamps;
    // The run's name for its mails (newMailToken()): row N goes out with the Message-ID
    // "<token>.N@<the sender's domain>" and the ENVID "<token>.N", the same for every try, so that
    // a failure notice or the copy a provider filed can be traced to its row. Empty in a journal
    // made before runs named their mails.
    QByteArray mailToken;

    // The source as the operator knows it: the file, the address book, or the data source and
    // its table or query.
    QString sourceText() const;
};

// A new run's name for its mails: "vm" and 26 random letters and digits, safe in a Message-ID and
// an ENVID.
QByteArray newMailToken();
// Row N's ENVID of a run named `token`: "<token>.N"; empty without a token.
QByteArray envelopeIdOf(const QByteArray &token, int row);
// Row N's Message-ID (without angle brackets), the domain that of the sender's address.
QByteArray messageIdOf(const QByteArray &token, int row, const QString &senderAddress);

// The folder of the journals: $XDG_STATE_HOME/velmora, by default ~/.local/state/velmora.
QString journalFolder();
// The id of the running boot of this machine: a journal whose id differs was written before a
// restart, and what it wrote without a sync may be lost.
QString currentBootId();
// Makes the folder (0700), or checks that an existing one belongs to this user and narrows its
// mode to 0700.
std::optional<Failure> preparePrivateFolder(const QString &folder);

// The journal of one run, kept in its own file "run-<UTC start>-<pid>.journal" (0600) in the
// journal folder. The file appears whole: its head (the run's identity) is written and synced
// under a temporary name before it takes its real name. Every record then reaches the kernel with
// one write(2) before the call returns, so a killed process loses nothing it recorded. Only the
// groups of declare() are synced, each once, by a thread of the journal while the run goes on:
// started() of a row waits until the group that declared it is durable, which is seldom needed
// when the run declares the next group while the current one is being sent. While the journal is
// open the file holds a lock, which tells a running journal from one whose process is gone, and the
// run holds its table's lock (TableLock), so that no other Velmora sends the same table meanwhile.
struct JournalReport;

class SendJournal : public RunJournal
{
  public:
    static Result<std::unique_ptr<SendJournal>> create(RunIdentity identity,
                                                       const QString &folder = journalFolder(),
                                                       const QString &bootId = currentBootId());
    // Takes up the journal of an unfinished run to continue it in the same file, so that one file
    // keeps the whole mailing. The file is locked as a running journal's is (one another Velmora
    // holds is refused) and read again under the lock: report() is what it says now. Nothing is
    // written before resume(). `listed` is a report of the same file read before (the list of
    // unfinished runs): it is moved from and taken instead when the file has not changed since.
    static Result<std::unique_ptr<SendJournal>>
    reopen(const QString &path, const QString &bootId = currentBootId(), JournalReport *listed = nullptr);
    // Before the continuation's first mail: a torn last record is cut off and a "resumed" record
    // with this boot's id is appended, both synced. The rows then go on as in a new run.
    std::optional<Failure> resume();
    // What was learnt of the rows after their mails went out, added to the journal of a run that is
    // not being sent (finished, stopped or ended abruptly) and synced; refused while a Velmora sends
    // it. A later reading shows each finding; none changes how the run ended.
    struct Finding {
        enum class Kind { Bounced, FoundInSent };
        int row = 0;
        Kind kind = Kind::Bounced;
        QString reason;
    };
    static std::optional<Failure> recordFindings(const QString &path, const std::vector<Finding> &findings);
    // The journal as reopen() read it; empty for a journal made by create().
    const JournalReport *report() const { return m_report.get(); }
    ~SendJournal() override;
    SendJournal(const SendJournal &) = delete;
    SendJournal &operator=(const SendJournal &) = delete;

    // Rows are those of the table, 1..identity.rows.
    void declare(const std::vector<int> &rows) override;
    void started(int row) override;
    void attached(int row, const FileStamp &stamp) override;
    void outcome(int row, RowState state, const QString &reason) override;
    void closed(bool finished) override;

    const QString &path() const { return m_path; }
    // The first write or sync that failed. Nothing is written after it, so the run must stop
    // sending at once: a row sent now would be missing from the journal. Read it on the thread
    // that records, or once that thread is idle.
    const std::optional<Failure> &failure() const override { return m_failure; }

  private:
    class Syncer;

    SendJournal(int fd, QString path, int rows);
    SendJournal(int fd, QString path, std::unique_ptr<JournalReport> report, QString bootId);
    bool writable();
    // Hands m_record to the kernel and empties it.
    bool flush();
    void fail(int err);

    int m_fd = -1;
    QString m_path;
    int m_rows = 0;
    QByteArray m_record;
    std::optional<Failure> m_failure;
    // For each row, the number of the last declare record that named it; grown as rows are
    // declared, so that a row count read from a file costs nothing by itself.
    std::vector<quint32> m_groupOf;
    quint32 m_groups = 0;
    std::unique_ptr<Syncer> m_syncer; // made by the first declare()
    std::unique_ptr<JournalReport> m_report;
    QString m_bootId; // of a reopened journal: written by resume()
    // Held while the run is open, so that no other run of the same table starts meanwhile.
    std::unique_ptr<TableLock> m_tableLock;
};
