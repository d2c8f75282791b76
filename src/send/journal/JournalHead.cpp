#include "send/journal/JournalHead.h"

#include "send/journal/JournalRecord.h"

namespace
{

constexpr QByteArrayView Source = "source", Digest = "digest", Subject = "subject", Body = "body",
                         Html = "html", Sender = "sender", Attachments = "attachments", Server = "server",
                         Rows = "rows", StartedAt = "started-at", Boot = "boot", Begin = "begin";

void record(QByteArray &out, QByteArrayView kind, std::initializer_list<QString> fields)
{
    const qsizetype start = out.size();
    JournalRecord::addField(out, start, kind);
    for (const QString &f : fields)
        JournalRecord::addField(out, start, f);
    JournalRecord::seal(out, start);
}

} // namespace

namespace JournalHead
{

QByteArray write(const RunIdentity &id, const QString &bootId)
{
    QByteArray out;
    record(out, JournalRecord::Magic, {QString::number(JournalRecord::Version)});
    record(out, Source, {id.source, id.odbcDataSource, id.odbcTableOrSql});
    record(out, Digest, {QString::fromLatin1(id.tableDigest.toHex())});
    record(out, Subject, {id.subject});
    record(out, Body, {id.body});
    record(out, Html, {id.html ? QStringLiteral("True") : QStringLiteral("False")});
    record(out, Sender, {id.sender});
    const qsizetype start = out.size();
    JournalRecord::addField(out, start, Attachments);
    for (const QString &a : id.attachments)
        JournalRecord::addField(out, start, a);
    JournalRecord::seal(out, start);
    record(out, Server, {id.server});
    record(out, Rows, {QString::number(id.rows)});
    record(out, StartedAt, {id.startedAt.toUTC().toString(Qt::ISODateWithMs)});
    record(out, Boot, {bootId});
    record(out, Begin, {});
    if (!id.chosenRows.empty()) {
        const qsizetype chosen = out.size();
        JournalRecord::addField(out, chosen, Chosen);
        out.append('\t');
        JournalRecord::appendRows(out, id.chosenRows);
        JournalRecord::seal(out, chosen);
    }
    if (!id.attachmentTemplates.isEmpty()) {
        const qsizetype start = out.size();
        JournalRecord::addField(out, start, Templates);
        for (const QString &t : id.attachmentTemplates)
            JournalRecord::addField(out, start, t);
        JournalRecord::seal(out, start);
    }
    if (!id.plainText.isEmpty())
        record(out, TextVersion, {id.plainText});
    if (id.bccSelf || id.iso2022jp || !id.imageFolder.isEmpty())
        record(out, Options,
               {id.bccSelf ? QStringLiteral("True") : QStringLiteral("False"),
                id.iso2022jp ? QStringLiteral("True") : QStringLiteral("False"), id.imageFolder});
    if (!id.mailToken.isEmpty())
        record(out, MailToken, {QString::fromLatin1(id.mailToken)});
    for (const FileStamp &stamp : id.attachmentStamps)
        record(out, Stamp,
               {stamp.path, QString::number(stamp.size), QString::fromLatin1(stamp.sha256.toHex())});
    return out;
}

Result<Head> read(QByteArrayView bytes, const QString &path)
{
    if (!bytes.startsWith(JournalRecord::Magic) ||
        !bytes.sliced(JournalRecord::Magic.size()).startsWith('\t'))
        return Failure::notAJournal(path);
    Head head;
    QList<QByteArray> f;
    // The next record, which must be of this kind with this many fields after the kind (at
    // least that many when `atLeast`).
    auto next = [&](QByteArrayView kind, qsizetype count, bool atLeast = false) {
        const qsizetype lf = bytes.indexOf('\n', head.end);
        if (lf < 0 || !JournalRecord::open(bytes.sliced(head.end, lf - head.end), f) || f[0] != kind)
            return false;
        head.end = lf + 1;
        f.removeFirst();
        return atLeast ? f.size() >= count : f.size() == count;
    };
    // The first line keeps this shape in every version, so another version is told from damage.
    if (!next(JournalRecord::Magic, 1))
        return Failure::journalHeadDamaged(path);
    if (f[0] != QByteArray::number(JournalRecord::Version))
        return Failure::journalVersion(path, JournalRecord::text(f[0]));

    using JournalRecord::text;
    RunIdentity &id = head.identity;
    const Failure damaged = Failure::journalHeadDamaged(path);
    if (!next(Source, 3))
        return damaged;
    id.source = text(f[0]);
    id.odbcDataSource = text(f[1]);
    id.odbcTableOrSql = text(f[2]);
    if (!next(Digest, 1) || f[0].size() != 64)
        return damaged;
    id.tableDigest = QByteArray::fromHex(f[0]);
    if (id.tableDigest.size() != 32 || !next(Subject, 1))
        return damaged;
    id.subject = text(f[0]);
    if (!next(Body, 1))
        return damaged;
    id.body = text(f[0]);
    if (!next(Html, 1) || (f[0] != "True" && f[0] != "False"))
        return damaged;
    id.html = f[0] == "True";
    if (!next(Sender, 1))
        return damaged;
    id.sender = text(f[0]);
    if (!next(Attachments, 0, true))
        return damaged;
    for (const QByteArray &a : f)
        id.attachments.append(text(a));
    if (!next(Server, 1))
        return damaged;
    id.server = text(f[0]);
    bool numberOk = false;
    if (!next(Rows, 1) || (id.rows = f[0].toInt(&numberOk), !numberOk || id.rows < 0) || !next(StartedAt, 1))
        return damaged;
    id.startedAt = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODateWithMs);
    if (!id.startedAt.isValid() || !next(Boot, 1))
        return damaged;
    head.bootId = QString::fromLatin1(f[0]);
    if (!next(Begin, 0))
        return damaged;
    return head;
}

} // namespace JournalHead
