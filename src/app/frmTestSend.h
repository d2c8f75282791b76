#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The test send dialog: which row's mail goes out, and to which address (the sender's own unless
// the operator types another). 送信 accepts, キャンセル rejects; nothing is sent by the dialog.
class frmTestSend : public QDialog
{
    Q_OBJECT
  public:
    frmTestSend(int row, int lastRow, const QString &address, QWidget *owner);

    int row() const;
    QString address() const;

    QLabel *lblRow = nullptr;
    QSpinBox *txtRow = nullptr;
    QLabel *lblAddress = nullptr;
    QLineEdit *txtAddress = nullptr;
    QLabel *lblNote = nullptr;
    QPushButton *cmdSend = nullptr;
    QPushButton *cmdCancel = nullptr;
};
