#include "send/MailingJob.h"

#include "platform/ReplaceFile.h"
#include "platform/SettingsKeys.h"
#include "platform/mail/MailServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace
{
constexpr const char *Format = "velmora-mailing";
constexpr int Version = 1;
// A job is a few texts; a file far larger is not one.
constexpr qint64 LargestJob = 64 * 1024 * 1024;

Failure notAJob(const QString &path)
{
    return {FailureNumber::InvalidProcedureCall,
            QStringLiteral("「%1」は Velmora の送信設定のファイルではないか、壊れています。").arg(path)};
}
} // namespace

std::optional<Failure> writeMailingJob(const QString &path, const MailingJob &job)
{
    const SendInputs &in = job.inputs;
    const QJsonObject o{
        {QStringLiteral("format"), QString::fromLatin1(Format)},
        {QStringLiteral("version"), Version},
        {QStringLiteral("source"), job.source},
        {QStringLiteral("odbcConnection"), job.odbcConnection},
        {QStringLiteral("odbcStatement"), job.odbcStatement},
        {QStringLiteral("server"), mailServerWithoutPassword(in.server)},
        {QStringLiteral("sender"), in.sender},
        {QStringLiteral("subject"), in.subject},
        {QStringLiteral("body"), in.body},
        {QStringLiteral("attachments"), in.attachments},
        {QStringLiteral("html"), in.html},
        {QStringLiteral("plainText"), in.plainText},
        {QStringLiteral("bodyFolder"), in.bodyFolder},
        {QStringLiteral("sendInterval"), job.sendInterval},
        {QStringLiteral("bccSelf"), job.bccSelf},
        {QStringLiteral("iso2022jp"), job.iso2022jp},
    };
    const Result<bool> written = replaceFile(path, QJsonDocument(o).toJson(QJsonDocument::Indented));
    if (!written)
        return written.failure();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return std::nullopt;
}

Result<MailingJob> readMailingJob(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return Failure::fileNotFound(path);
        return Failure::readError(path, file.errorString());
    }
    if (file.size() > LargestJob)
        return notAJob(path);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    const QJsonObject o = doc.object();
    if (error.error != QJsonParseError::NoError || !doc.isObject() ||
        o.value(QStringLiteral("format")).toString() != QLatin1String(Format) ||
        o.value(QStringLiteral("version")).toInt() != Version)
        return notAJob(path);
    const auto text = [&o](const char *key) { return o.value(QLatin1String(key)).toString(); };
    MailingJob job;
    job.source = text("source");
    job.odbcConnection = text("odbcConnection");
    job.odbcStatement = text("odbcStatement");
    // A password typed into a job file by hand is not kept either.
    job.inputs.server = mailServerWithoutPassword(text("server"));
    job.inputs.sender = text("sender");
    job.inputs.subject = text("subject");
    job.inputs.body = text("body");
    job.inputs.attachments = text("attachments");
    job.inputs.html = o.value(QStringLiteral("html")).toBool();
    job.inputs.plainText = text("plainText");
    job.inputs.bodyFolder = text("bodyFolder");
    const int interval = o.value(QStringLiteral("sendInterval")).toInt();
    const SettingKey &rule = Settings::SendInterval;
    job.sendInterval = qint16(interval >= rule.least && interval <= rule.most ? interval : rule.defaultNumber);
    job.bccSelf = o.value(QStringLiteral("bccSelf")).toBool();
    job.iso2022jp = o.value(QStringLiteral("iso2022jp")).toBool();
    if (job.source.isEmpty())
        return notAJob(path);
    return job;
}
