#pragma once

#include <QDateTime>
#include <QDialog>

class Clock;
class QCheckBox;
class QDateTimeEdit;
class QLabel;
class QPushButton;
class UserDialogs;

// The start of a run at a date and time, to the minute: today or a later day.
class frmSchedule : public QDialog
{
    Q_OBJECT
  public:
    frmSchedule(Clock &clock, UserDialogs &dialogs, QWidget *owner);

    QDateTime at() const;
    // Asked before sending when the machine slept through the time; otherwise the run starts on
    // waking and says so.
    bool askWhenLate() const;
    // The run goes to a timer of the session and happens with the window closed (only offered when
    // the session has one).
    bool handOff() const;

    void cmdOK_Click();

    QLabel *lblStart = nullptr;
    QDateTimeEdit *dteStart = nullptr;
    QCheckBox *chkAskWhenLate = nullptr;
    QCheckBox *chkHandOff = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  private:
    Clock &m_clock;
    UserDialogs &m_dialogs;
};
