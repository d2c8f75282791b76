#include "send/ScheduledRuns.h"

#include "platform/ReplaceFile.h"
#include "platform/UserTimers.h"
#include "send/journal/SendJournal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>

namespace
{
const QString JobName = QStringLiteral("job.velmorajob");
const QString RunName = QStringLiteral("run.json");
const QString OutcomeName = QStringLiteral("outcome.json");
const QString ToldName = QStringLiteral("lost-told");
const QString UnitPrefix = QStringLiteral("velmora-send-");

QString &programOverride()
{
    static QString path;
    return path;
}

QJsonObject readJson(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > 1024 * 1024)
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

// What the run under the timer must see as the window does: the same settings, journals, keyring
// and data sources.
QStringList passedEnvironment()
{
    QStringList out;
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "LANG", "LC_ALL",
                             "DBUS_SESSION_BUS_ADDRESS", "ODBCINI", "ODBCSYSINI"})
        if (qEnvironmentVariableIsSet(name))
            out << QString::fromLatin1(name) + u'=' + qEnvironmentVariable(name);
    return out;
}
} // namespace

QString ScheduledRun::stateText() const
{
    switch (state) {
    case State::Waiting: return QStringLiteral("予約中");
    case State::Sending: return QStringLiteral("送信中");
    case State::Ended: return outcome.isEmpty() ? QStringLiteral("終了（%1）").arg(exitCode) : outcome;
    case State::Lost: break;
    }
    return QStringLiteral("実行されませんでした（ログアウトや再起動で予約が消えた可能性があります）");
}

namespace ScheduledRuns
{
QString folder()
{
    return journalFolder() + QStringLiteral("/scheduled");
}

QString sendProgram()
{
    if (!programOverride().isEmpty())
        return programOverride();
    return QCoreApplication::applicationDirPath() + u'/' + SendProgramName;
}

void setSendProgram(const QString &path)
{
    programOverride() = path;
}

Result<ScheduledRun> add(const MailingJob &job, const QDateTime &at, const SendCommandOptions &answers)
{
    ScheduledRun run;
    run.id = at.toString(QStringLiteral("yyyyMMdd-HHmm-")) +
             QString::number(QRandomGenerator::global()->generate() & 0xffffff, 16).rightJustified(6, u'0');
    run.unit = UnitPrefix + run.id;
    run.at = at;
    run.source = job.source;
    run.state = ScheduledRun::State::Waiting;
    const QString dir = folder() + u'/' + run.id;
    if (!QDir().mkpath(dir))
        return Failure::userTimerRefused(QStringLiteral("フォルダー「%1」を作れません").arg(dir));
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const auto undo = [&dir] { QDir(dir).removeRecursively(); };
    if (const std::optional<Failure> failure = writeMailingJob(dir + u'/' + JobName, job)) {
        undo();
        return *failure;
    }
    SendCommandOptions options = answers;
    options.jobFile = dir + u'/' + JobName;
    options.scheduledAt = at;
    options.outcomeFile = dir + u'/' + OutcomeName;
    const QStringList arguments = sendCommandArguments(options);
    const QJsonObject record{
        {QStringLiteral("at"), at.toString(Qt::ISODate)},
        {QStringLiteral("unit"), run.unit},
        {QStringLiteral("source"), job.source},
        {QStringLiteral("arguments"), QJsonValue::fromVariant(arguments)},
        {QStringLiteral("createdAt"), QDateTime::currentDateTime().toString(Qt::ISODate)}};
    if (const Result<bool> written = replaceFile(dir + u'/' + RunName, QJsonDocument(record).toJson());
        !written) {
        undo();
        return written.failure();
    }
    UserTimers::Request request;
    request.unit = run.unit;
    request.at = at;
    request.description = QStringLiteral("Velmora: %1 の送信").arg(QFileInfo(job.source).fileName());
    request.command = QStringList{sendProgram()} + arguments;
    request.environment = passedEnvironment();
    if (const std::optional<Failure> failure = UserTimers::schedule(request)) {
        undo();
        return *failure;
    }
    return run;
}

std::vector<ScheduledRun> list()
{
    std::vector<ScheduledRun> runs;
    const QDir dir(folder());
    for (const QString &id : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QJsonObject record = readJson(dir.filePath(id + u'/' + RunName));
        if (record.isEmpty())
            continue;
        ScheduledRun run;
        run.id = id;
        run.unit = record.value(QStringLiteral("unit")).toString();
        run.at = QDateTime::fromString(record.value(QStringLiteral("at")).toString(), Qt::ISODate);
        run.source = record.value(QStringLiteral("source")).toString();
        const QJsonObject outcome = readJson(dir.filePath(id + u'/' + OutcomeName));
        if (!outcome.isEmpty()) {
            run.state = ScheduledRun::State::Ended;
            run.exitCode = outcome.value(QStringLiteral("exitCode")).toInt(-1);
            run.outcome = outcome.value(QStringLiteral("text")).toString();
        } else if (run.unit.startsWith(UnitPrefix)) {
            const UserTimers::State state = UserTimers::stateOf(run.unit);
            run.state = state == UserTimers::State::Waiting   ? ScheduledRun::State::Waiting
                        : state == UserTimers::State::Running ? ScheduledRun::State::Sending
                                                              : ScheduledRun::State::Lost;
        }
        run.told = QFileInfo::exists(dir.filePath(id + u'/' + ToldName));
        runs.push_back(run);
    }
    std::stable_sort(runs.begin(), runs.end(),
                     [](const ScheduledRun &a, const ScheduledRun &b) { return a.at < b.at; });
    return runs;
}

std::optional<Failure> cancel(const ScheduledRun &run)
{
    if (run.state == ScheduledRun::State::Waiting || run.state == ScheduledRun::State::Sending)
        if (const std::optional<Failure> failure = UserTimers::cancel(run.unit))
            return failure;
    forget(run);
    return std::nullopt;
}

// The run's own folder; empty for a name that could reach outside the scheduled runs' folder.
static QString recordFolder(const ScheduledRun &run)
{
    if (run.id.isEmpty() || run.id.contains(u'/') || run.id.startsWith(u'.'))
        return QString();
    return folder() + u'/' + run.id;
}

void forget(const ScheduledRun &run)
{
    if (const QString dir = recordFolder(run); !dir.isEmpty())
        QDir(dir).removeRecursively();
}

void markTold(const ScheduledRun &run)
{
    if (const QString dir = recordFolder(run); !dir.isEmpty())
        QFile(dir + u'/' + ToldName).open(QIODevice::WriteOnly);
}

QString logoutWarning()
{
    QProcess p;
    p.start(QStringLiteral("loginctl"),
            {QStringLiteral("show-user"), QStringLiteral("--property=Linger"), QStringLiteral("--value")});
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return {};
    if (p.readAllStandardOutput().trimmed() == "yes")
        return {};
    return QStringLiteral("ログアウトすると、この予約は取り消されます。ログアウトしても送信するには、端末で "
                          "「loginctl enable-linger」を一度実行してください。");
}
} // namespace ScheduledRuns
