#pragma once

#include "send/SendChecks.h"
#include "send/journal/JournalReport.h"

#include <QString>

#include <vector>

class RecipientTable;

// Continuing a run that ended unfinished, from what its journal says.

// The run as the operator is told of it: where its recipients came from, when it started, its
// subject, and how many rows were accepted, failed, may have arrived and are still to be sent.
QString unfinishedRunText(const JournalReport &report);

// Puts the run's outcomes back into its table, so that the list window and the export show them:
// accepted rows 送信OK; refused, retried and may-have-arrived rows 送信NG with their reason (the
// last also marked as such); rows not tried without a status.
void restoreStatuses(RecipientTable &table, const JournalReport &report);

// The question about the rows whose outcome is unknown: each row's number and address.
QString unknownRowsQuestion(const JournalReport &report, const RecipientTable &table);

// The rows the continuation sends, in table order: those not tried, those to try again, and those
// that may have arrived when the operator chose to send them again.
std::vector<int> rowsToContinue(const JournalReport &report, bool resendUnknown);

// The run's inputs for the window. The server text is the window's own when it is the run's with
// a password typed this session (the journal never keeps one), else the run's.
SendInputs continuationInputs(const RunIdentity &identity, const QString &windowServer);

// The attachments that changed since the journal recorded them: those of every row when the run
// began, and those a row among `rows` last went out with. One line each, for the question; empty
// when none did.
QString changedAttachments(const JournalReport &report, const std::vector<int> &rows);
