#include "app/frmTestSend.h"

#include "send/TestSend.h"
#include "windowkit/DialogParts.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

frmTestSend::frmTestSend(int row, int lastRow, const QString &address, QWidget *owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("frmTestSend"));
    setWindowTitle(QStringLiteral("テスト送信"));
    setAccessibleName(windowTitle());

    lblRow = windowLabel(this, "lblRow", QStringLiteral("送る行の番号"));
    txtRow = new QSpinBox(this);
    txtRow->setObjectName(QStringLiteral("txtRow"));
    txtRow->setRange(1, qMax(1, lastRow));
    txtRow->setValue(qBound(1, row, qMax(1, lastRow)));
    captionField(lblRow, txtRow);
    lblAddress = windowLabel(this, "lblAddress", QStringLiteral("送信先のアドレス"));
    txtAddress = new QLineEdit(address, this);
    txtAddress->setObjectName(QStringLiteral("txtAddress"));
    txtAddress->setMinimumWidth(320);
    captionField(lblAddress, txtAddress);
    lblNote = new QLabel(
        QStringLiteral("その行に差し込んだメールを、件名の先頭に「%1」を付けて上のアドレスへ1通だけ"
                       "送ります。メールサーバー・送信者・添付ファイルはメインウィンドウのものを使います。"
                       "宛先の表の送信状況は変わりません。")
            .arg(TestSubjectPrefix),
        this);
    lblNote->setObjectName(QStringLiteral("lblNote"));
    lblNote->setWordWrap(true);

    cmdSend = dialogButton(this, "cmdSend", QStringLiteral("送信"));
    cmdSend->setDefault(true);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));
    cmdCancel->setAutoDefault(false);
    connect(cmdSend, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto *fields = new QGridLayout;
    fields->addWidget(lblRow, 0, 0);
    fields->addWidget(txtRow, 0, 1, Qt::AlignLeft);
    fields->addWidget(lblAddress, 1, 0);
    fields->addWidget(txtAddress, 1, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(lblNote);
    layout->addLayout(buttonRow({cmdSend, cmdCancel}));
    txtAddress->setFocus();
}

int frmTestSend::row() const
{
    return txtRow->value();
}

QString frmTestSend::address() const
{
    return txtAddress->text();
}
