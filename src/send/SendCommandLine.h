#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

struct SendSummary;

// The command that sends a job file without a window, and its command line: what the window hands
// to a timer of the session is what the command reads back.
inline const QString SendProgramName = QStringLiteral("velmora-send");

// The option names (without their "--"), each written once for the parser, for the arguments made
// from options and for the messages that name them.
namespace SendOption
{
inline const QString DryRun = QStringLiteral("dry-run");
inline const QString Resume = QStringLiteral("resume");
inline const QString ResendUnknown = QStringLiteral("resend-unknown");
inline const QString EveryRow = QStringLiteral("every-row");
inline const QString IgnoreCheck = QStringLiteral("ignore-check");
inline const QString At = QStringLiteral("at");
inline const QString SkipIfLate = QStringLiteral("skip-if-late");
inline const QString Outcome = QStringLiteral("outcome");
} // namespace SendOption

// What velmora-send is asked to do: the job file to send, and how to answer what the window would
// ask the operator.
struct SendCommandOptions {
    QString jobFile;
    // Write the mails as files into this folder instead of sending them (no journal, no limits).
    QString dryRunFolder;
    bool resume = false;        // continue the table's unfinished run (and only that)
    bool resendUnknown = false; // on continuing, mail again the rows whose mail may have arrived
    bool everyRow = false;      // a repeated address gets the mail of every row, not only its first
    bool ignoreCheck = false;   // send although the check before sending found problems
    // The time the run was scheduled for (to the minute): a start more than a minute after it says
    // so, or with skipIfLate sends nothing.
    std::optional<QDateTime> scheduledAt;
    bool skipIfLate = false;
    // A file that receives the outcome (exit code, summary, time) when the command ends.
    QString outcomeFile;

    bool operator==(const SendCommandOptions &) const = default;
};

// The exit codes: what happened, for the shell and the timer that ran the command.
enum class SendExit {
    AllSent = 0,     // every row of the run was sent (or, with --dry-run, written)
    SomeFailed = 1,  // the run went through, some rows failed
    Stopped = 2,     // the run was stopped (a limit, an error of the server, a signal): rows are left
    NothingSent = 3, // no run took place: refused, nothing to continue, or the check found problems
    Usage = 64,      // the command line is wrong
    NoJob = 66,      // the job file cannot be read
};

// The exit of a run that ended with `summary`, or of none.
SendExit exitOf(const SendSummary *summary);

// The command line (arguments without the program name): the options, or the text that tells what
// is wrong with it; for --help and --version neither, and `help` holds the text to print.
struct ParsedCommand {
    std::optional<SendCommandOptions> options;
    QString error;
    QString help;
};
ParsedCommand parseSendCommand(const QStringList &arguments);
// The arguments that parseSendCommand() reads back as `options`.
QStringList sendCommandArguments(const SendCommandOptions &options);
