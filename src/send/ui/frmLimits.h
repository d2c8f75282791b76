#pragma once

#include "send/limits/SendLimits.h"

#include <QDialog>
#include <QHash>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UserDialogs;

// The send limits dialog: a preset named after a provider, or custom numbers per minute, hour and
// day. OK stores them in the given limits; nothing is written to the settings.
class frmLimits : public QDialog
{
    Q_OBJECT
  public:
    frmLimits(SendLimits &limits, UserDialogs &dialogs, QWidget *owner);

    // The check made when the operator leaves a box for a control that validates; a refused box
    // gets its last valid text back and keeps the focus. True when the box is valid.
    bool Text_Validate(QLineEdit *box);

    void Combo1_Click();
    void cmdOK_Click();
    void cmdCancel_Click();

    QLabel *Label1 = nullptr;
    QComboBox *Combo1 = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLabel *Label5 = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

  private:
    void showNumbers(const SendLimits &limits);
    void boxEdited();

    SendLimits &m_limits;
    UserDialogs &m_dialogs;
    QHash<QLineEdit *, QString> m_lastValid;
    bool m_filling = false;
    bool m_refusing = false;
};
