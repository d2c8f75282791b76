#include "platform/Failure.h"

#include <cerrno>
#include <cstring>

Failure Failure::fileNotFound(const QString &path)
{
    return {FailureNumber::FileNotFound, QStringLiteral("ファイルが見つかりません。\n%1").arg(path)};
}

Failure Failure::permissionDenied(const QString &path)
{
    return {FailureNumber::PermissionDenied,
            QStringLiteral("ファイルを開く権限がありません。\n%1").arg(path)};
}

Failure Failure::readError(const QString &path, const QString &reason)
{
    return {FailureNumber::PathFileAccessError,
            QStringLiteral("ファイルを読み込めません（%2）。\n%1").arg(path, reason)};
}

Failure Failure::writeError(const QString &path, const QString &reason)
{
    return {FailureNumber::PathFileAccessError,
            QStringLiteral("ファイルに書き込めません（%2）。\n%1").arg(path, reason)};
}

Failure Failure::emptyFile(const QString &path)
{
    return {FailureNumber::InputPastEnd,
            QStringLiteral("ファイルが空です。1行目に項目名の行が必要です。\n%1").arg(path)};
}

Failure Failure::undecodableBytes(const QString &path, qsizetype line)
{
    return {FailureNumber::InvalidCharacters,
            QStringLiteral("%1行目に文字として読めないバイトがあります。"
                           "Shift_JIS または UTF-8 のテキストファイルか確認してください。\n%2")
                .arg(line)
                .arg(path)};
}

Failure Failure::tooFewFields(qsizetype line, qsizetype expected, qsizetype found)
{
    return {FailureNumber::TooFewFields,
            QStringLiteral("%1行目の項目数が足りません（1行目の項目数 %2 に対して %3）。")
                .arg(line)
                .arg(expected)
                .arg(found)};
}

Failure Failure::extraEmptyLine(qsizetype line, qsizetype expected)
{
    return {FailureNumber::TooFewFields,
            QStringLiteral("%1行目が空行です（1行目の項目数 %2）。空行を削除してください。")
                .arg(line)
                .arg(expected)};
}

Failure Failure::noHeaderCell(const QString &path)
{
    return {FailureNumber::SubscriptOutOfRange,
            QStringLiteral("最初のワークシートのセルA1が空です。1行目に項目名が必要です。\n%1").arg(path)};
}

Failure Failure::notAWorkbook(const QString &path, const QString &reason)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("Excel 97-2003 ブック (.xls) として読めません（%2）。\n%1").arg(path, reason)};
}

Failure Failure::unreadableCell(int row, int column, const QString &reason)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%1行目 %2列目のセルを読めません（%3）。").arg(row).arg(column).arg(reason)};
}

Failure Failure::noAddressColumn()
{
    return {FailureNumber::SubscriptOutOfRange,
            QStringLiteral("メールアドレスの列（1列目）がありません。1行目が空でないか確認してください。")};
}

Failure Failure::sourceNotSupported(const QString &source)
{
    return {FailureNumber::CannotCreateObject,
            QStringLiteral("%1 からの読込はこのバージョンではまだ使えません。").arg(source)};
}

Failure Failure::outOfMemory()
{
    return {FailureNumber::OutOfMemory, QStringLiteral("メモリが不足しています。")};
}

Failure Failure::notAVCard(const QString &path)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("vCard ファイルとして読めません（BEGIN:VCARD の行がありません）。\n%1").arg(path)};
}

Failure Failure::unclosedVCard(const QString &path, qsizetype line)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%1行目から始まる連絡先に END:VCARD の行がありません。"
                           "ファイルが途中で切れていないか確認してください。\n%2")
                .arg(line)
                .arg(path)};
}

Failure Failure::damagedUtf16(const QString &path, qsizetype line)
{
    return {
        FailureNumber::InvalidCharacters,
        QStringLiteral("%1行目に UTF-16 の文字として読めない部分があります。ファイルが壊れているか、"
                       "途中で切れています。元のアドレス帳から vCard ファイルを書き出し直してください。\n%2")
            .arg(line)
            .arg(path)};
}

Failure Failure::addressBookNotFound(const QStringList &placesLookedAt)
{
    return {FailureNumber::CannotCreateObject,
            QStringLiteral("アドレス帳が見つかりません。次の場所を確認しました。\n%1")
                .arg(placesLookedAt.join(u'\n'))};
}

Failure Failure::profileFolderMissing(const QString &iniPath, const QString &folder)
{
    return {
        FailureNumber::PathNotFound,
        QStringLiteral("既定のプロファイルのフォルダがありません。\n%1\n（%2 に記載）").arg(folder, iniPath)};
}

Failure Failure::noDefaultProfile(const QString &iniPath)
{
    return {
        FailureNumber::PathNotFound,
        QStringLiteral("既定のプロファイルが決められません。プロファイルの一覧に既定の指定がありません。\n%1")
            .arg(iniPath)};
}

Failure Failure::addressBookMissing(const QString &path)
{
    return {FailureNumber::FileNotFound,
            QStringLiteral("個人用アドレス帳のファイルがありません。\n%1").arg(path)};
}

Failure Failure::notAnAddressBook(const QString &path, const QString &reason)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("アドレス帳として読めません（%2）。\n%1").arg(path, reason)};
}

Failure Failure::addressBookInUse(const QString &path)
{
    return {FailureNumber::PermissionDenied,
            QStringLiteral("アドレス帳はメールソフトが書き込み中のため、読み込めませんでした。"
                           "しばらく待ってから、もう一度読み込んでください。続くときは、メールソフトを"
                           "一度起動して終了してから読み込んでください。\n%1")
                .arg(path)};
}

Failure Failure::addressBookUnsafe(const QString &path, const QString &object)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("アドレス帳の「%2」が、メールソフトの作る形（計算を含まない通常の表と列）では"
                           "ありません。安全のため読み込みません。ファイルが壊れているか、アドレス帳ではない"
                           "可能性があります。メールソフトでアドレス帳を開けるか確認してください。\n%1")
                .arg(path, object)};
}

Failure Failure::addressBookValueTooLarge(const QString &path, int limitBytes)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("アドレス帳に、連絡先としては大きすぎる値（%2 MB を超えるもの）があるため、"
                           "読み込みを中止しました。ファイルが壊れている可能性があります。メールソフトで"
                           "アドレス帳を開けるか確認してください。\n%1")
                .arg(path)
                .arg(limitBytes / (1024 * 1024))};
}

Failure Failure::addressBookTimedOut(const QString &path, qint64 seconds)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("アドレス帳の読み込みが %2 秒たっても終わらないため、中止しました。"
                           "ファイルが壊れている可能性があります。メールソフトでアドレス帳を開けるか"
                           "確認してください。\n%1")
                .arg(path)
                .arg(seconds)};
}

Failure Failure::inconsistentProfilePath(const QString &iniPath, const QString &path, bool markedRelative)
{
    return {
        FailureNumber::PathNotFound,
        (markedRelative ? QStringLiteral("プロファイルの一覧で、絶対パスの Path=%1 に IsRelative=1"
                                         "（相対パス）が指定されています。")
                        : QStringLiteral("プロファイルの一覧で、相対パスの Path=%1 に IsRelative=0"
                                         "（絶対パス）が指定されています。"))
                .arg(path) +
            QStringLiteral("どのフォルダのアドレス帳か決められないため、読み込みません。"
                           "メールソフトでプロファイルを確認するか、IsRelative の値を直してください。\n%1")
                .arg(iniPath)};
}

Failure Failure::odbcUnavailable()
{
    return {FailureNumber::CannotCreateObject, QStringLiteral("ODBCドライバマネージャを使えません。")};
}

Failure Failure::odbcConnect(const QString &dataSource, const QString &diagnostics)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("データソース「%1」に接続できません。\n%2").arg(dataSource, diagnostics)};
}

Failure Failure::odbcStatement(const QString &tableOrStatement, const QString &diagnostics)
{
    return {FailureNumber::OdbcFailure, QStringLiteral("テーブル名またはSQL文「%1」を実行できません。\n%2")
                                            .arg(tableOrStatement, diagnostics)};
}

Failure Failure::odbcNoColumns(const QString &tableOrStatement)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("「%1」は列を返しません。1列目にメールアドレスの入った列を持つ"
                           "テーブルまたは問い合せ文を指定してください。")
                .arg(tableOrStatement)};
}

Failure Failure::odbcNotAQuery(const QString &statement)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("「%1」は実行できません。データソースは読み取るだけです。テーブル名か、"
                           "SELECT・WITH・VALUES で始まる問い合せ文を1つだけ指定してください"
                           "（「;」は文の終わりにだけ書けます）。")
                .arg(statement)};
}

Failure Failure::odbcWriteRefused(const QString &tableOrStatement, const QString &diagnostics)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("「%1」はデータを変更しようとしたため、読み込みを止めました。データソースは"
                           "読み取るだけです。データを変更しない問い合せ文を指定してください。\n%2")
                .arg(tableOrStatement, diagnostics)};
}

Failure Failure::odbcNoTransaction(const QString &dataSource, const QString &diagnostics)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("データソース「%1」では、読み込みを取り消しのできるトランザクションの中で"
                           "行えないため、読み込みませんでした。\n%2")
                .arg(dataSource, diagnostics)};
}

Failure Failure::odbcRead(qint64 record, const QString &diagnostics)
{
    return {FailureNumber::OdbcFailure,
            QStringLiteral("%1件目のレコードを読み込めません。\n%2").arg(record).arg(diagnostics)};
}

Failure Failure::nullField(qint64 record, const QString &field)
{
    return {FailureNumber::InvalidUseOfNull,
            QStringLiteral("%1件目のレコードの項目「%2」がNULLです。NULLの項目は読み込めません。"
                           "COALESCEなどで空文字に置き換える問い合せ文を指定してください。")
                .arg(record)
                .arg(field)};
}

Failure Failure::importCancelled()
{
    return {FailureNumber::UserInterrupt, QStringLiteral("読込を中止しました")};
}

Failure Failure::damagedWorkbook(const QString &path)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%1を読み込めませんでした。ファイルが壊れている可能性があります").arg(path)};
}

Failure Failure::notAWorkbookOf(const QString &path, const QString &format, const QString &reason)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%3 として読めません（%2）。\n%1").arg(path, reason, format)};
}

namespace
{
const QString tooLargeAdvice =
    QStringLiteral("表計算ソフトで開けるか確かめ、宛先の表だけを新しいブックに保存してから"
                   "読み込んでください。");
}

Failure Failure::workbookLimit(const QString &path, const QString &reason)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%1を読み込めませんでした。%2").arg(path, reason) + tooLargeAdvice};
}

Failure Failure::workbookTimedOut(const QString &path, int seconds)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("%1を読み込めませんでした。%2 秒たっても読み終わらないため中止しました。"
                           "ファイルが壊れているか、大きすぎる可能性があります。")
                    .arg(path)
                    .arg(seconds) +
                tooLargeAdvice};
}

Failure Failure::sendCountRecord(const QString &path, const QString &reason)
{
    return {
        FailureNumber::PathFileAccessError,
        QStringLiteral("送信数の記録（送信制限のため直近24時間に送った数を残すファイル）を読み書きできません"
                       "（%2）。\n%1\nフォルダーの権限とディスクの空き容量を確かめてください。")
            .arg(path, reason)};
}

Failure Failure::mailSettingsUnusable(const QString &reason)
{
    return {FailureNumber::InvalidProcedureCall, reason};
}

Failure Failure::attachmentUnreadable(const QString &reason)
{
    return {FailureNumber::PathFileAccessError, reason};
}

namespace
{

QString journalReason(int err)
{
    switch (err) {
    case ENOSPC:
    case EDQUOT: return QStringLiteral("ディスクの空き容量が足りません");
    case EACCES:
    case EPERM: return QStringLiteral("書き込む権限がありません");
    case EROFS: return QStringLiteral("読み取り専用の場所です");
    case EIO: return QStringLiteral("入出力エラー");
    default: return QString::fromLocal8Bit(std::strerror(err));
    }
}

} // namespace

Failure Failure::journalFolder(const QString &folder, int err)
{
    return {FailureNumber::PathFileAccessError,
            QStringLiteral("送信記録のフォルダーを用意できないため、送信しません（%2）。"
                           "フォルダーの場所と権限を確認してください。\n%1")
                .arg(folder, journalReason(err))};
}

Failure Failure::journalFolderNotOwn(const QString &folder)
{
    return {
        FailureNumber::PermissionDenied,
        QStringLiteral("送信記録のフォルダーが別のユーザーのものか、フォルダーではないため、送信しません。"
                       "このフォルダーを削除するか、自分のフォルダーにしてください。\n%1")
            .arg(folder)};
}

Failure Failure::journalWrite(const QString &path, int err)
{
    return {FailureNumber::PathFileAccessError,
            QStringLiteral("送信記録に書き込めないため、送信を中止しました（%2）。"
                           "ディスクの空きと権限を確認してから、送信を再開してください。\n%1")
                .arg(path, journalReason(err))};
}

Failure Failure::notAJournal(const QString &path)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("Velmora の送信記録ではありません。\n%1").arg(path)};
}

Failure Failure::journalVersion(const QString &path, const QString &version)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("この送信記録は別の形式（版 %2）のため読めません。"
                           "記録を作ったバージョンの Velmora で開いてください。\n%1")
                .arg(path, version)};
}

Failure Failure::journalHeadDamaged(const QString &path)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("送信記録の先頭（送信の内容）が壊れているため、この送信は再開できません。"
                           "どの宛先に送信済みかは、メールサーバーの記録で確認してください。\n%1")
                .arg(path)};
}

Failure Failure::journalOtherTable(const QString &path, const QString &source)
{
    return {FailureNumber::InvalidFileFormat,
            QStringLiteral("この送信記録は、いま読み込んでいる宛先の表とは別の表のものです。"
                           "記録を作ったときと同じ宛先の表（%2）を読み込んでから再開してください。\n%1")
                .arg(path, source)};
}

Failure Failure::journalInUse(const QString &path)
{
    return {
        FailureNumber::PermissionDenied,
        QStringLiteral("この送信記録は、実行中の送信が使っています。送信が終わってから操作してください。\n%1")
            .arg(path)};
}

Failure Failure::tableBeingSent(const QString &source)
{
    return {FailureNumber::PermissionDenied,
            QStringLiteral(
                "この宛先の表（%1）は、別の Velmora が今送信しています。同じ宛先に二重に"
                "送らないよう、ここでは送信しません。\nその送信が終わってから、もう一度操作してください。")
                .arg(source)};
}

Failure Failure::testSendRow(int row, int lastRow)
{
    return {FailureNumber::SubscriptOutOfRange,
            QStringLiteral("%1 行目はありません。行番号は 1 から %2 までの数で指定してください。")
                .arg(row)
                .arg(lastRow)};
}

Failure Failure::testSendAddress(const QString &address, const QString &reason)
{
    if (address.isEmpty())
        return {FailureNumber::InvalidProcedureCall,
                QStringLiteral("テストメールの送信先のアドレスを入力してください。")};
    return {FailureNumber::InvalidProcedureCall,
            QStringLiteral("テストメールの送信先「%1」は使えません（%2）。アドレスを確かめてください。")
                .arg(address, reason)};
}

Failure Failure::journalFinished(const QString &path)
{
    return {FailureNumber::InvalidProcedureCall,
            QStringLiteral("この送信は、別の Velmora で既に最後まで送信されています。続きはありません。\n%1")
                .arg(path)};
}

Failure Failure::keyringUnavailable(const QString &detail)
{
    return {FailureNumber::KeyringFailure,
            QStringLiteral("デスクトップのキーリングを使えないため、保存できませんでした（%1）。"
                           "この起動中だけ覚えておき、終了すると忘れます。")
                .arg(detail)};
}

Failure Failure::keyringRefused(const QString &detail)
{
    return {FailureNumber::KeyringFailure,
            QStringLiteral("デスクトップのキーリングが、パスワードなどの読み書きを拒否しました（%1）。"
                           "キーリングのロックを解除してから、もう一度送信してください。それまでは入力した"
                           "パスワードをこの起動中だけ覚えます。")
                .arg(detail)};
}

Failure Failure::oauthNotConfigured(const QString &host)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("メールサーバー %1 に OAuth 2.0 でサインインするための設定（組織で登録したアプリの"
                           "クライアント ID）がありません。送信(R) → サインインの設定(G)... で入力してから、"
                           "もう一度送信してください（登録の手順はヘルプの「OAuth 2.0 の準備」にあります）。")
                .arg(host)};
}

Failure Failure::oauthUnsafeUrl(const QString &url)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("サインインの URL「%1」は https:// で始まっていないため使えません"
                           "（サインインの情報が暗号化されずに送られるのを防ぐためです）。"
                           "送信(R) → サインインの設定(G)... で直してください。")
                .arg(url)};
}

Failure Failure::signInCancelled()
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("サインインを取り消しました。メールは送信していません。")};
}

Failure Failure::signInNeedsWindow(const QString &account)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("%1 のサインインがキーリングにありません。Velmora の画面で一度サインインしてから、"
                           "もう一度実行してください。メールは送信していません。")
                .arg(account)};
}

Failure Failure::passwordNeedsWindow(const QString &account)
{
    return {
        FailureNumber::SignInFailure,
        QStringLiteral("%1 のパスワードがキーリングにも ~/.netrc にもありません。Velmora の画面でパスワードを"
                       "入力して「保存する」を選ぶか、端末から実行してください。メールは送信していません。")
            .arg(account)};
}

Failure Failure::userTimerRefused(const QString &detail)
{
    return {
        FailureNumber::PermissionDenied,
        QStringLiteral("送信の予約を systemd に登録（または取り消し）できませんでした。\n%1").arg(detail)};
}

Failure Failure::signInBrowser()
{
    return {
        FailureNumber::SignInFailure,
        QStringLiteral("サインインのためのブラウザーを開けませんでした。既定のブラウザーが設定されているか"
                       "確かめてから、もう一度送信してください。")};
}

Failure Failure::signInListen(const QString &detail)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("サインインの結果を受け取る口（127.0.0.1 のポート）を開けませんでした（%1）。")
                .arg(detail)};
}

Failure Failure::signInTimedOut(int minutes)
{
    return {
        FailureNumber::SignInFailure,
        QStringLiteral("ブラウザーでのサインインが %1 分以内に終わらなかったため、サインインを中止しました。"
                       "メールは送信していません。もう一度送信して、開いたブラウザーのページでサインインして"
                       "ください。")
            .arg(minutes)};
}

Failure Failure::signInRefused(const QString &error, const QString &description)
{
    const QString detail = description.isEmpty() ? error : error + QStringLiteral(": ") + description;
    if (error == u"access_denied")
        return {FailureNumber::SignInFailure,
                QStringLiteral("サインインが拒否されたか、アクセスの許可（同意）がされませんでした（%1）。"
                               "管理者の同意が必要な組織では、管理者にアプリへの同意を依頼してください。")
                    .arg(detail)};
    if (error == u"invalid_client" || error == u"unauthorized_client")
        return tokenClientRefused(detail);
    return {
        FailureNumber::SignInFailure,
        QStringLiteral("サインインのサービスがエラーを返しました（%1）。送信(R) → サインインの設定(G)... の"
                       "内容を確かめてください。")
            .arg(detail)};
}

Failure Failure::tokenClientRefused(const QString &detail)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("サインインのサービスが、このアプリの登録を受け付けませんでした（%1）。"
                           "送信(R) → サインインの設定(G)... のクライアント ID（Google ではクライアント "
                           "シークレットも）が、組織で登録したアプリのものと同じか確かめてください。")
                .arg(detail)};
}

Failure Failure::tokenGrantRefused(const QString &detail)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral(
                "サインインの有効期限が切れたか、取り消されました（%1）。もう一度サインインしてください。")
                .arg(detail)};
}

Failure Failure::tokenUnreadable(const QString &url)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral("サインインのサービス（%1）の応答を読み取れませんでした。サインインの設定の URL が"
                           "正しいか確かめ、時間をおいてもう一度送信してください。")
                .arg(url)};
}

Failure Failure::tokenUnreachable(const QString &url, const QString &detail)
{
    return {FailureNumber::SignInFailure,
            QStringLiteral(
                "サインインのサービス（%1）に接続できません（%2）。ネットワークの接続を確かめてください。")
                .arg(url, detail)};
}

Failure Failure::mailboxUnreachable(const QString &where, const QString &detail)
{
    return {FailureNumber::MailboxFailure,
            QStringLiteral("メールボックス（IMAP サーバー）%1 に接続できませんでした（%2）。"
                           "ホスト名とポート番号を確かめてください。")
                .arg(where, detail)};
}

Failure Failure::mailboxTls(const QString &where, const QString &detail)
{
    return {FailureNumber::MailboxFailure,
            QStringLiteral("メールボックス（IMAP サーバー）%1 との暗号化通信（TLS）を始められなかったため、"
                           "接続しませんでした（%2）。")
                .arg(where, detail)};
}

Failure Failure::mailboxLoginRefused(const QString &where, const QString &user, const QString &detail)
{
    return {FailureNumber::MailboxFailure,
            QStringLiteral("メールボックス（IMAP サーバー）%1 が %2 のサインインを拒否しました（%3）。"
                           "ユーザー名とパスワード（またはサインイン）を確かめてください。")
                .arg(where, user, detail)};
}

Failure Failure::mailboxTimedOut(const QString &where, int seconds)
{
    return {FailureNumber::MailboxFailure,
            QStringLiteral("メールボックス（IMAP サーバー）%1 が %2 秒以内に応答しませんでした。")
                .arg(where)
                .arg(seconds)};
}

Failure Failure::mailboxConnectionLost(const QString &where, const QString &detail)
{
    return {
        FailureNumber::MailboxFailure,
        QStringLiteral("メールボックス（IMAP サーバー）%1 との接続が切れました（%2）。").arg(where, detail)};
}

Failure Failure::mailboxRefused(const QString &where, const QString &what, const QString &reply)
{
    return {
        FailureNumber::MailboxFailure,
        QStringLiteral("メールボックス（IMAP サーバー）%1 が%2を拒否しました: %3").arg(where, what, reply)};
}

Failure Failure::mailboxNoSentFolder(const QString &where)
{
    return {FailureNumber::MailboxFailure,
            QStringLiteral("メールボックス（IMAP サーバー）%1 に送信済みフォルダーが見つかりません。"
                           "メールソフトで送信済みフォルダーを作ってから、もう一度試してください。")
                .arg(where)};
}

Failure Failure::mailboxUnsafeValue(const QString &value)
{
    return {
        FailureNumber::MailboxFailure,
        QStringLiteral("「%1」には改行などの制御文字が含まれているため、メールボックスへの命令に使えません。")
            .arg(QString(value).replace(u'\r', u' ').replace(u'\n', u' '))};
}
