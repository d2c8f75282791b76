#pragma once

#include "platform/Failure.h"
#include "send/journal/SendJournal.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The words of a journal's records and its head: the first line (JournalRecord::Magic and the
// version), one record per part of the run's identity, the boot id, and "begin". The head is
// written in one piece before the file takes its name, so a head that does not read whole is
// damaged, never merely unfinished.
namespace JournalHead
{
// The rows the operator chose, when not every row: the first record after the head, written and
// synced with it.
inline constexpr QByteArrayView Chosen = "chosen"; // the rows, as a declare names them
// More of the run's identity, written with the head only when the run has them: the attachment
// names with merge tags, the HTML body's text version, the options that shape every mail (the
// sender as a blind copy, ISO-2022-JP preferred, the image folder), and each attachment of every
// row as the run began (path, size, SHA-256 in hex).
inline constexpr QByteArrayView Templates = "attachment-templates";
inline constexpr QByteArrayView TextVersion = "text-version";
inline constexpr QByteArrayView Options = "options";
inline constexpr QByteArrayView Stamp = "stamp";
inline constexpr QByteArrayView MailToken = "mail-token"; // the run's name for its mails
// One of a row's own attachments as it went out: the row, the path, the size, the SHA-256.
inline constexpr QByteArrayView Attached = "attached";
inline constexpr QByteArrayView Declare = "declare"; // the rows, as "1-64" or "3,7,9-12"
inline constexpr QByteArrayView Started = "started"; // the row
inline constexpr QByteArrayView Outcome = "outcome"; // the row, its state word, the reason
inline constexpr QByteArrayView Closed = "closed";   // finished or stopped
// What was learnt of a row after its mail went out, at any time after the run: the row, a finding
// word, the reason. It never makes a finished run unfinished.
inline constexpr QByteArrayView Finding = "finding";
inline constexpr QByteArrayView Bounced = "bounced";           // the recipient's side sent it back
inline constexpr QByteArrayView FoundInSent = "found-in-sent"; // the provider filed the mail as sent
// The run was taken up again, in the boot of this id: the records before it are what the
// continuation knew, the records after it what it did.
inline constexpr QByteArrayView Resumed = "resumed";

inline constexpr QByteArrayView Accepted = "accepted";
inline constexpr QByteArrayView Refused = "refused";
inline constexpr QByteArrayView Retry = "retry";
inline constexpr QByteArrayView MayHaveArrived = "may-have-arrived";
inline constexpr QByteArrayView Finished = "finished";
inline constexpr QByteArrayView Stopped = "stopped";

// The journal files' names: "run-…" with this ending; a file being made has TemporarySuffix after
// it.
inline const QString Prefix = QStringLiteral("run-");
inline const QString Suffix = QStringLiteral(".journal");
inline const QString TemporarySuffix = QStringLiteral(".tmp");

// The head, and the record of the chosen rows when the run sends only some.
QByteArray write(const RunIdentity &identity, const QString &bootId);

struct Head {
    RunIdentity identity;
    QString bootId;
    qsizetype end = 0; // where the first record after the head begins
};
// The head at the start of a file's bytes; path only names the file in a failure.
Result<Head> read(QByteArrayView bytes, const QString &path);
} // namespace JournalHead
