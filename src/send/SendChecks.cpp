#include "send/SendChecks.h"

#include "body/MergeEngine.h"
#include "platform/mail/MailTarget.h"

#include "platform/Text.h"

#include <QFileInfo>
#include <QStringList>

namespace
{
UserDialogs::Message warning(const QString &text)
{
    return {text, QString(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok};
}
} // namespace

SendCheck checkSendInputs(const SendInputs &inputs, bool (*fileExists)(const QString &))
{
    SendCheck check;
    if (!inputs.haveAddresses) {
        check.refusal =
            warning(QStringLiteral("宛先読込ボタンをクリックして、メールアドレスを読み込んでください。"));
        return check;
    }
    // Compared as typed: a box of spaces passes and becomes the empty server name.
    if (inputs.server.isEmpty()) {
        check.refusal = warning(QStringLiteral("メールサーバーを指定してください。例）mail.example.co.jp"));
        return check;
    }
    if (inputs.sender.isEmpty()) {
        check.refusal = warning(
            QStringLiteral("送信者を指定してください。例）株式会社ベルモラ商事 <info@example.co.jp>"));
        return check;
    }
    if (trimSpaces(inputs.attachments).isEmpty())
        return check;
    bool allExist = true;
    QStringList everyRow;
    // Every piece is tested as it stands, so a trailing comma (an empty piece) fails. A piece with
    // a merge tag names a file of its own for every row: the check before sending looks for those.
    for (const QString &piece : inputs.attachments.split(u',')) {
        if (hasMergeTag(piece)) {
            check.attachmentTemplates.append(piece);
            continue;
        }
        everyRow.append(piece);
        allExist = fileExists(piece) && allExist;
    }
    if (!allExist) {
        check.refusal =
            UserDialogs::Message{QStringLiteral("指定した添付ファイルが正しくありません"), QString(),
                                 UserDialogs::Icon::Critical, UserDialogs::Buttons::Ok};
        check.clearAttachments = true;
        return check;
    }
    check.attachmentList = everyRow.join(u'\t');
    return check;
}

QString addressElement(const QString &trimmedAddress)
{
    return bracketedAddress(trimmedAddress);
}

QString rowAttachmentProblem(const QString &path)
{
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("添付ファイル「%1」が見つかりません。").arg(path);
    if (!file.isFile())
        return QStringLiteral("添付ファイル「%1」はファイルではありません（フォルダーなど）。").arg(path);
    if (!file.isReadable())
        return unreadableAttachmentText(path);
    return QString();
}

QString unreadableAttachmentText(const QString &path)
{
    return QStringLiteral("添付ファイル「%1」を読み込めません。").arg(path);
}
