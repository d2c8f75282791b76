#include "send/ui/frmMailbox.h"

#include "platform/Text.h"
#include "platform/UserDialogs.h"
#include "platform/mail/MailboxServer.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

frmMailbox::frmMailbox(MailboxSettings &settings, QString sendingServer, UserDialogs &dialogs, QWidget *owner)
    : QDialog(owner), m_settings(settings), m_sendingServer(std::move(sendingServer)), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmMailbox"));
    setWindowTitle(QStringLiteral("受信箱の設定"));
    setAccessibleName(windowTitle());

    Label1 = windowLabel(this, "Label1", QStringLiteral("受信箱（IMAP）(&I)"));
    txtServer = new QLineEdit(this);
    txtServer->setObjectName(QStringLiteral("txtServer"));
    txtServer->setPlaceholderText(QStringLiteral("imaps://ユーザー名@imap.example.jp"));
    captionField(Label1, txtServer);
    cmdFromSending = dialogButton(this, "cmdFromSending", QStringLiteral("送信サーバーから(&D)"), false);
    chkCopyToSent = new QCheckBox(QStringLiteral("送信したメールを送信済みフォルダーにコピーする(&C)"), this);
    chkCopyToSent->setObjectName(QStringLiteral("chkCopyToSent"));
    chkAutoCheck = new QCheckBox(QStringLiteral("送信が終わってから不達を自動で確認する(&A)"), this);
    chkAutoCheck->setObjectName(QStringLiteral("chkAutoCheck"));
    Label2 = windowLabel(this, "Label2", QStringLiteral("確認するまでの時間（分）(&M)"));
    spnMinutes = new QSpinBox(this);
    spnMinutes->setObjectName(QStringLiteral("spnMinutes"));
    spnMinutes->setRange(1, 1440);
    captionField(Label2, spnMinutes);
    Label3 = windowLabel(
        this, "Label3",
        QStringLiteral(
            "送信サーバーが受け付けたメールでも、宛先が間違っていると後から「配信できませんでした」という"
            "通知が受信箱に届きます。「不達を確認」はこの通知を読み（既読にはしません）、その行を"
            "「不達」にします。受信箱には送信サーバーと同じユーザー名・パスワード（またはサインイン）で"
            "接続します。Microsoft 365 と Gmail は送ったメールを自動で送信済みフォルダーに"
            "保存するため、コピーは不要です。"));
    Label3->setWordWrap(true);
    cmdOK = dialogButton(this, "cmdOK", QStringLiteral("OK"), false);
    cmdOK->setDefault(true);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"), false);

    auto *grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(txtServer, 0, 1);
    grid->addWidget(cmdFromSending, 0, 2);
    grid->addWidget(chkCopyToSent, 1, 0, 1, 3);
    grid->addWidget(chkAutoCheck, 2, 0, 1, 3);
    grid->addWidget(Label2, 3, 0);
    grid->addWidget(spnMinutes, 3, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(Label3);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    setFixedWidth(560);

    show(m_settings);
    connect(chkAutoCheck, &QCheckBox::toggled, spnMinutes, &QWidget::setEnabled);
    connect(cmdFromSending, &QPushButton::clicked, this, &frmMailbox::cmdFromSending_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmMailbox::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void frmMailbox::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
}

void frmMailbox::show(const MailboxSettings &settings)
{
    txtServer->setText(settings.server);
    chkCopyToSent->setChecked(settings.copyToSent);
    chkAutoCheck->setChecked(settings.autoCheck);
    spnMinutes->setValue(settings.autoCheckMinutes);
    spnMinutes->setEnabled(settings.autoCheck);
}

void frmMailbox::cmdFromSending_Click()
{
    MailboxSettings now{trimSpaces(txtServer->text()), chkCopyToSent->isChecked(), chkAutoCheck->isChecked(),
                        spnMinutes->value()};
    const std::optional<MailboxSettings> derived = mailboxSettingsFor(m_sendingServer, now);
    if (!derived) {
        m_dialogs.messageBox(this,
                             {QStringLiteral("送信サーバーの欄から受信箱を決められません。受信箱（IMAP）の"
                                             "サーバーを入力してください。"),
                              windowTitle(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return;
    }
    show(*derived);
}

void frmMailbox::cmdOK_Click()
{
    const QString text = trimSpaces(txtServer->text());
    if (!text.isEmpty()) {
        const MailboxServerParse parsed = parseMailboxServer(text);
        if (!parsed.error.isEmpty()) {
            m_dialogs.messageBox(
                this, {parsed.error, windowTitle(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
            txtServer->setFocus();
            return;
        }
    }
    m_settings = {text, chkCopyToSent->isChecked(), chkAutoCheck->isChecked(), spnMinutes->value()};
    accept();
}
