#include "platform/UserTimers.h"

#include <QProcess>

namespace
{
// systemctl and systemd-run answer at once or not at all.
constexpr int AnswerMs = 30 * 1000;

struct Ran {
    bool started = false;
    int exitCode = -1;
    QString output;
};

Ran run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Ran ran;
    if (!process.waitForStarted(AnswerMs))
        return ran;
    ran.started = true;
    if (!process.waitForFinished(AnswerMs)) {
        process.kill();
        process.waitForFinished();
        return ran;
    }
    ran.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ran.output = QString::fromUtf8(process.readAll()).trimmed();
    return ran;
}

QString systemctlProperty(const QString &unit, const char *property)
{
    const Ran ran = run(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("show"), unit,
                                                      QStringLiteral("--property=") + QLatin1String(property),
                                                      QStringLiteral("--value")});
    return ran.exitCode == 0 ? ran.output : QString();
}
} // namespace

namespace UserTimers
{
bool available(QString *why)
{
    const Ran ran = run(QStringLiteral("systemctl"), {QStringLiteral("--user"), QStringLiteral("show-environment")});
    if (ran.exitCode == 0)
        return true;
    if (why)
        *why = !ran.started ? QStringLiteral("systemctl が見つかりません")
                            : QStringLiteral("systemd のユーザーマネージャーに接続できません（%1）").arg(ran.output);
    return false;
}

std::optional<Failure> schedule(const Request &request)
{
    QStringList arguments{QStringLiteral("--user"),
                          QStringLiteral("--unit=") + request.unit,
                          QStringLiteral("--description=") + request.description,
                          QStringLiteral("--on-calendar=") + request.at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                          // The minute it was set for, not whenever the manager gets round to it.
                          QStringLiteral("--timer-property=AccuracySec=1s"),
                          // A finished or failed run leaves no unit behind.
                          QStringLiteral("--collect")};
    for (const QString &variable : request.environment)
        arguments << QStringLiteral("--setenv=") + variable;
    arguments << QStringLiteral("--") << request.command;
    const Ran ran = run(QStringLiteral("systemd-run"), arguments);
    if (ran.exitCode == 0)
        return std::nullopt;
    return Failure::userTimerRefused(!ran.started ? QStringLiteral("systemd-run が見つかりません") : ran.output);
}

State stateOf(const QString &unit)
{
    const QString service = systemctlProperty(unit + QStringLiteral(".service"), "ActiveState");
    if (service == QLatin1String("active") || service == QLatin1String("activating") ||
        service == QLatin1String("deactivating"))
        return State::Running;
    const QString timer = systemctlProperty(unit + QStringLiteral(".timer"), "ActiveState");
    return timer == QLatin1String("active") ? State::Waiting : State::Gone;
}

std::optional<Failure> cancel(const QString &unit)
{
    // A unit that is not loaded cannot be stopped, and systemctl says so as a failure: only what
    // is there is stopped, the timer first so that it cannot start the command meanwhile.
    QStringList units;
    if (systemctlProperty(unit + QStringLiteral(".timer"), "LoadState") == QLatin1String("loaded"))
        units << unit + QStringLiteral(".timer");
    if (stateOf(unit) == State::Running)
        units << unit + QStringLiteral(".service");
    if (units.isEmpty())
        return std::nullopt;
    const Ran ran = run(QStringLiteral("systemctl"), QStringList{QStringLiteral("--user"), QStringLiteral("stop")} + units);
    if (ran.exitCode == 0)
        return std::nullopt;
    return Failure::userTimerRefused(!ran.started ? QStringLiteral("systemctl が見つかりません") : ran.output);
}
} // namespace UserTimers
