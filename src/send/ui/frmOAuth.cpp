#include "send/ui/frmOAuth.h"

#include "platform/Text.h"
#include "platform/UserDialogs.h"
#include "send/Mailing.h"
#include "windowkit/DialogParts.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

frmOAuth::frmOAuth(Mailing &mailing, UserDialogs &dialogs, QWidget *owner)
    : QDialog(owner), m_mailing(mailing), m_settings(mailing.oauthSettings()), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmOAuth"));
    setWindowTitle(QStringLiteral("サインインの設定"));
    setAccessibleName(windowTitle());

    // Each field is named by its label's caption, for screen readers.
    auto field = [this](QFormLayout *form, const char *name, const QString &caption, const QString &text) {
        auto *e = new QLineEdit(text, this);
        e->setObjectName(QString::fromLatin1(name));
        auto *l = new QLabel(caption, this);
        captionField(l, e);
        form->addRow(l, e);
        return e;
    };
    auto group = [this](QVBoxLayout *layout, const QString &title, const QString &note) {
        auto *box = new QGroupBox(title, this);
        auto *form = new QFormLayout(box);
        if (!note.isEmpty()) {
            auto *l = new QLabel(note, box);
            l->setWordWrap(true);
            form->addRow(l);
        }
        layout->addWidget(box);
        return form;
    };

    auto *layout = new QVBoxLayout(this);
    auto *intro =
        new QLabel(QStringLiteral("サーバー欄を「smtp+oauth://ユーザー名@ホスト名:ポート」の形にすると、"
                                  "送信の前にブラウザーでサインインします。ここには組織で登録したアプリの"
                                  "情報を入力します（手順はヘルプの「OAuth 2.0 の準備」）。"),
                   this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    QFormLayout *ms = group(layout, QStringLiteral("Microsoft 365（smtp.office365.com）"), QString());
    txtTenant = field(ms, "txtTenant", QStringLiteral("テナント ID"), m_settings.microsoftTenant);
    txtTenant->setPlaceholderText(QStringLiteral("organizations"));
    txtMicrosoftClientId = field(ms, "txtMicrosoftClientId", QStringLiteral("Microsoft のクライアント ID"),
                                 m_settings.microsoftClientId);

    QFormLayout *google = group(layout, QStringLiteral("Google（smtp.gmail.com）"), QString());
    txtGoogleClientId = field(google, "txtGoogleClientId", QStringLiteral("Google のクライアント ID"),
                              m_settings.googleClientId);
    txtGoogleSecret =
        field(google, "txtGoogleSecret", QStringLiteral("Google のクライアント シークレット"), QString());
    txtGoogleSecret->setEchoMode(QLineEdit::Password);
    txtGoogleSecret->setPlaceholderText(QStringLiteral("変えるときだけ入力（キーリングに保存）"));

    QFormLayout *custom = group(layout, QStringLiteral("その他のメールサーバー"), QString());
    txtAuthorizationUrl =
        field(custom, "txtAuthorizationUrl", QStringLiteral("認可 URL"), m_settings.customAuthorizationUrl);
    txtTokenUrl = field(custom, "txtTokenUrl", QStringLiteral("トークン URL"), m_settings.customTokenUrl);
    txtScope = field(custom, "txtScope", QStringLiteral("スコープ"), m_settings.customScope);
    txtCustomClientId =
        field(custom, "txtCustomClientId", QStringLiteral("クライアント ID"), m_settings.customClientId);

    cmdOK = dialogButton(this, "cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));
    layout->addLayout(buttonRow({cmdOK, cmdCancel}));
    setMinimumWidth(520);

    connect(cmdOK, &QPushButton::clicked, this, &frmOAuth::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void frmOAuth::refuse(const QString &text, QLineEdit *box)
{
    m_dialogs.messageBox(this, {text, windowTitle(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
    box->setFocus();
    box->selectAll();
}

void frmOAuth::cmdOK_Click()
{
    OAuthSettings s;
    s.microsoftTenant = trimSpaces(txtTenant->text());
    s.microsoftClientId = trimSpaces(txtMicrosoftClientId->text());
    s.googleClientId = trimSpaces(txtGoogleClientId->text());
    s.customAuthorizationUrl = trimSpaces(txtAuthorizationUrl->text());
    s.customTokenUrl = trimSpaces(txtTokenUrl->text());
    s.customScope = trimSpaces(txtScope->text());
    s.customClientId = trimSpaces(txtCustomClientId->text());
    if (!plausibleTenant(s.microsoftTenant)) {
        refuse(QStringLiteral(
                   "テナント ID は、Microsoft Entra 管理センターに表示される「ディレクトリ (テナント) ID」"
                   "か、組織のドメイン名（example.co.jp）を入力してください。空欄なら組織のアカウント"
                   "すべてです。"),
               txtTenant);
        return;
    }
    for (QLineEdit *box : {txtAuthorizationUrl, txtTokenUrl}) {
        const QString text = trimSpaces(box->text());
        if (!text.isEmpty() && !oauthUrlIsSafe(QUrl(text, QUrl::StrictMode))) {
            refuse(QStringLiteral("「%1」は使えません。https:// で始まる URL を入力してください。").arg(text),
                   box);
            return;
        }
    }
    const QString secret = txtGoogleSecret->text();
    if (!secret.isEmpty()) {
        if (s.googleClientId.isEmpty()) {
            refuse(QStringLiteral(
                       "クライアント シークレットは、Google のクライアント ID と一緒に入力してください。"),
                   txtGoogleClientId);
            return;
        }
        // Kept for this session in any case; a keyring that is missing or refuses is told.
        if (const std::optional<Failure> failure = m_mailing.logins().keepSecret(
                clientSecretKey(OAuthClient::Provider::Google, s.googleClientId), secret))
            m_dialogs.messageBox(this, {failure->description, QString::number(failure->number),
                                        UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
    }
    m_settings = s;
    m_mailing.setOAuthSettings(s);
    accept();
}
