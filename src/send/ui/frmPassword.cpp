#include "send/ui/frmPassword.h"

#include "windowkit/DialogParts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

frmPassword::frmPassword(const PasswordRequest &request, QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("frmPassword"));
    setWindowTitle(QStringLiteral("パスワードの入力"));
    setAccessibleName(windowTitle());

    QString text = QStringLiteral("メールサーバー %1 のユーザー %2 のパスワードを入力してください。")
                       .arg(request.endpoint, request.user);
    if (!request.refusal.isEmpty())
        text = QStringLiteral("メールサーバーがパスワードを受け付けませんでした。\n%1\n\n")
                   .arg(request.refusal) +
               text;
    lblAccount = new QLabel(text, this);
    lblAccount->setObjectName(QStringLiteral("lblAccount"));
    lblAccount->setWordWrap(true);
    lblPassword = windowLabel(this, "lblPassword", QStringLiteral("パスワード(&P)"));
    txtPassword = new QLineEdit(this);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    txtPassword->setEchoMode(QLineEdit::Password);
    captionField(lblPassword, txtPassword);
    chkSave = new QCheckBox(QStringLiteral("パスワードを保存する"), this);
    chkSave->setObjectName(QStringLiteral("chkSave"));
    chkSave->setAccessibleName(chkSave->text());
    chkSave->setEnabled(request.canSave);
    lblKeyring =
        new QLabel(request.canSave ? QStringLiteral("保存したパスワードは、デスクトップのキーリングに"
                                                    "暗号化して保管します（設定ファイルには書きません）。")
                                   : QStringLiteral("デスクトップのキーリングが使えないため、パスワードは"
                                                    "Velmora を終了するまでだけ覚えます。"),
                   this);
    lblKeyring->setObjectName(QStringLiteral("lblKeyring"));
    lblKeyring->setWordWrap(true);
    cmdOK = dialogButton(this, "cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));

    auto *field = new QHBoxLayout;
    field->addWidget(lblPassword);
    field->addWidget(txtPassword, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblAccount);
    layout->addLayout(field);
    layout->addWidget(chkSave);
    layout->addWidget(lblKeyring);
    layout->addLayout(buttonRow({cmdOK, cmdCancel}));
    setFixedWidth(430);

    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

PasswordAnswer frmPassword::answer() const
{
    return {txtPassword->text(), chkSave->isEnabled() && chkSave->isChecked()};
}

frmSignIn::frmSignIn(const QString &user, QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("frmSignIn"));
    setWindowTitle(QStringLiteral("サインイン"));
    setAccessibleName(windowTitle());
    lblWait = new QLabel(
        QStringLiteral("ブラウザーで %1 のサインインを済ませてください。終わると自動で送信を続けます。\n"
                       "ブラウザーにエラーが表示されたときは、キャンセルしてサインインの設定"
                       "（クライアント ID）を確かめてください。")
            .arg(user),
        this);
    lblWait->setObjectName(QStringLiteral("lblWait"));
    lblWait->setWordWrap(true);
    lblAddress =
        windowLabel(this, "lblAddress", QStringLiteral("ブラウザーが開かないときに開くアドレス(&A)"));
    txtAddress = new QLineEdit(this);
    txtAddress->setObjectName(QStringLiteral("txtAddress"));
    txtAddress->setReadOnly(true);
    captionField(lblAddress, txtAddress);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblWait);
    layout->addWidget(lblAddress);
    layout->addWidget(txtAddress);
    layout->addLayout(buttonRow({cmdCancel}));
    setFixedWidth(460);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void frmSignIn::setAddress(const QString &url)
{
    txtAddress->setText(url);
    txtAddress->setCursorPosition(0);
}
