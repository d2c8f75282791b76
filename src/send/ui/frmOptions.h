#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UserDialogs;

// The send options dialog: the interval between two mails (seconds) and the delay of a timer
// start (hours), and what shapes every mail (the sender as a blind copy, ISO-2022-JP). OK stores
// the values in the given variables; nothing is written to the settings.
class frmOptions : public QDialog
{
    Q_OBJECT
  public:
    frmOptions(qint16 &sendInterval, qint16 &timerHours, UserDialogs &dialogs, QWidget *owner);
    // The mail options the check boxes show and OK stores.
    void setMailOptions(bool &bccSelf, bool &iso2022jp);

    // The checks made when the operator leaves a box for a control that validates; a refused box
    // has been reset and keeps the focus. True when the box is valid.
    bool Text1_Validate();
    bool Text2_Validate();

    void cmdOK_Click();
    void cmdCancel_Click();

    QLabel *Label1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLabel *Label4 = nullptr;
    QCheckBox *chkBccSelf = nullptr;
    QCheckBox *chkIso2022jp = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

  private:
    bool refuse(QLineEdit *box, const QString &message, const QString &reset);

    qint16 &m_sendInterval;
    qint16 &m_timerHours;
    bool *m_bccSelf = nullptr;
    bool *m_iso2022jp = nullptr;
    UserDialogs &m_dialogs;
    bool m_refusing = false;
};
