#pragma once

#include "platform/Failure.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// The desktop session's timers: the systemd user manager, reached through systemd-run and
// systemctl. A timer runs its command at a wall-clock time even when no window of Velmora is
// open; one whose time passed while the machine slept runs on waking.
namespace UserTimers
{
// Whether a user manager answers; otherwise `why` tells what is missing.
bool available(QString *why = nullptr);

struct Request {
    QString unit;        // the name, without ".timer" or ".service": letters, digits and '-'
    QDateTime at;        // local time, to the second
    QString description; // shown by systemctl list-timers
    QStringList command; // the program (an absolute path) and its arguments
    // Variables the command is to see, as "NAME=value" (the manager's own environment otherwise).
    QStringList environment;
};

std::optional<Failure> schedule(const Request &request);

enum class State {
    Waiting, // the timer is there and has not fired
    Running, // its command runs now
    Gone,    // neither is there: it ran, was cancelled, or the manager lost it (a logout, a restart)
};
State stateOf(const QString &unit);

// Stops the timer, and its command when it is running (SIGTERM: it finishes its mail in flight).
std::optional<Failure> cancel(const QString &unit);
} // namespace UserTimers
