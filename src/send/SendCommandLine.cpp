#include "send/SendCommandLine.h"

#include "send/SendRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace
{
using namespace SendOption;
const QString AtFormat = QStringLiteral("yyyy-MM-ddTHH:mm");

QString dashed(const QString &name)
{
    return QStringLiteral("--") + name;
}
} // namespace

SendExit exitOf(const SendSummary *summary)
{
    if (!summary)
        return SendExit::NothingSent;
    if (summary->stopped)
        return SendExit::Stopped;
    if (summary->failed > 0)
        return SendExit::SomeFailed;
    return SendExit::AllSent;
}

ParsedCommand parseSendCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Velmora の送信設定のファイル（.velmorajob）のメールを、画面を開かずに送信します。"));
    parser.addPositionalArgument(QStringLiteral("job"), QStringLiteral("送信設定のファイル"));
    parser.addOptions({
        {DryRun, QStringLiteral("送信せず、メールをファイルとしてフォルダーに書き出します。"),
         QStringLiteral("folder")},
        {Resume, QStringLiteral("途中で終わった送信の続きを送信します（それだけを送ります）。")},
        {ResendUnknown, QStringLiteral("続きを送るとき、届いたかどうか分からない宛先にも送り直します。")},
        {EveryRow, QStringLiteral("同じアドレスが複数の行にあるとき、すべての行に送ります。")},
        {IgnoreCheck, QStringLiteral("送信前の確認で問題が見つかっても送信します。")},
        {At, QStringLiteral("予定時刻（yyyy-MM-ddTHH:mm）。過ぎてからの開始はそう伝えます。"),
         QStringLiteral("time")},
        {SkipIfLate, QStringLiteral("予定時刻を過ぎていたら送信しません。")},
        {Outcome, QStringLiteral("終了したとき、結果を JSON で書くファイル。"), QStringLiteral("file")},
    });
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    ParsedCommand parsed;
    if (!parser.parse(QStringList{SendProgramName} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        parsed.error =
            !unknown.isEmpty()
                ? QStringLiteral("「%1」というオプションはありません。").arg(unknown.front())
                : QStringLiteral("コマンドラインが正しくありません（%1）。").arg(parser.errorText());
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.help = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.help = SendProgramName + u' ' + QCoreApplication::applicationVersion();
        return parsed;
    }
    const QStringList jobs = parser.positionalArguments();
    if (jobs.size() != 1) {
        parsed.error = QStringLiteral("送信設定のファイルを1つ指定してください。");
        return parsed;
    }
    SendCommandOptions o;
    o.jobFile = jobs.front();
    o.dryRunFolder = parser.value(DryRun);
    o.resume = parser.isSet(Resume);
    o.resendUnknown = parser.isSet(ResendUnknown);
    o.everyRow = parser.isSet(EveryRow);
    o.ignoreCheck = parser.isSet(IgnoreCheck);
    o.skipIfLate = parser.isSet(SkipIfLate);
    o.outcomeFile = parser.value(Outcome);
    if (parser.isSet(At)) {
        const QDateTime when = QDateTime::fromString(parser.value(At), AtFormat);
        if (!when.isValid()) {
            parsed.error = QStringLiteral("--at の時刻「%1」は yyyy-MM-ddTHH:mm の形で指定してください。")
                               .arg(parser.value(At));
            return parsed;
        }
        o.scheduledAt = when;
    }
    if (parser.isSet(DryRun) && o.dryRunFolder.isEmpty())
        parsed.error = QStringLiteral("--dry-run には書き出すフォルダーを指定してください。");
    else if (o.skipIfLate && !o.scheduledAt)
        parsed.error = QStringLiteral("--skip-if-late には --at で予定時刻を指定してください。");
    else if (o.resume && !o.dryRunFolder.isEmpty())
        parsed.error =
            QStringLiteral("--dry-run の書き出しには続きがありません（--resume とは一緒に使えません）。");
    else if (o.resendUnknown && !o.resume)
        parsed.error = QStringLiteral("--resend-unknown は --resume と一緒に指定してください。");
    else
        parsed.options = std::move(o);
    return parsed;
}

QStringList sendCommandArguments(const SendCommandOptions &o)
{
    QStringList arguments;
    if (!o.dryRunFolder.isEmpty())
        arguments << dashed(DryRun) << o.dryRunFolder;
    for (const auto &[set, name] : {std::pair{o.resume, Resume}, std::pair{o.resendUnknown, ResendUnknown},
                                    std::pair{o.everyRow, EveryRow}, std::pair{o.ignoreCheck, IgnoreCheck},
                                    std::pair{o.skipIfLate, SkipIfLate}})
        if (set)
            arguments << dashed(name);
    if (o.scheduledAt)
        arguments << dashed(At) << o.scheduledAt->toString(AtFormat);
    if (!o.outcomeFile.isEmpty())
        arguments << dashed(Outcome) << o.outcomeFile;
    // A job file named like an option is still the job file.
    arguments << QStringLiteral("--") << o.jobFile;
    return arguments;
}
