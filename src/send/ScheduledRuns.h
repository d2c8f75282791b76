#pragma once

#include "platform/Failure.h"
#include "send/MailingJob.h"
#include "send/SendCommandLine.h"

#include <QDateTime>
#include <QString>

#include <vector>

// Runs handed to a timer of the desktop session, so that they happen with no window open: each
// one a folder beside the journals holding its job file, what the timer was given, and, once
// velmora-send ended, its outcome. The window lists them and can cancel them.
struct ScheduledRun {
    enum class State {
        Waiting, // the timer waits for its time
        Sending, // velmora-send runs now
        Ended,   // velmora-send ended: exitCode and outcome tell how
        Lost,    // no timer and no outcome: cancelled elsewhere, or lost at a logout or restart
    };
    QString id;   // the folder's name
    QString unit; // the timer's name in the session
    QDateTime at;
    QString source; // the recipient table
    State state = State::Lost;
    int exitCode = -1;
    QString outcome;   // velmora-send's summary line
    bool told = false; // the operator was told the run was lost

    // What the list shows in its state column.
    QString stateText() const;
};

namespace ScheduledRuns
{
// journalFolder()/scheduled.
QString folder();
// The program the timer runs: velmora-send beside this program unless set otherwise (tests).
QString sendProgram();
void setSendProgram(const QString &path);

// Saves `job` and hands it to a timer of the session for `at`; `answers` are the check's answers
// the operator gave now (and whether a late start is skipped). Nothing is left behind on failure.
Result<ScheduledRun> add(const MailingJob &job, const QDateTime &at, const SendCommandOptions &answers);
// Every run handed over, oldest time first, each with its state now.
std::vector<ScheduledRun> list();
// Stops the timer (and velmora-send, after its mail in flight, when it runs) and drops the record.
std::optional<Failure> cancel(const ScheduledRun &run);
// Drops the record of a run that ended or was lost.
void forget(const ScheduledRun &run);
// Notes that the operator was told the run was lost: its record stays listed, told once.
void markTold(const ScheduledRun &run);
// When the session's timers end at logout (no lingering), the text that warns of it; else empty.
QString logoutWarning();
} // namespace ScheduledRuns
