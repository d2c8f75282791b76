#pragma once

#include "send/ScheduledRuns.h"

#include <QDialog>

#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;
class UserDialogs;

// The runs handed to the session's timers: when, which table, and how each stands or ended;
// one can be cancelled, and the record of one that ended dropped.
class frmScheduled : public QDialog
{
    Q_OBJECT
  public:
    frmScheduled(UserDialogs &dialogs, QWidget *owner);

    void refresh();
    void cmdCancelRun_Click();
    void cmdForget_Click();

    QLabel *lblRuns = nullptr;
    QTableWidget *grdRuns = nullptr;
    QPushButton *cmdCancelRun = nullptr;
    QPushButton *cmdForget = nullptr;
    QPushButton *cmdClose = nullptr;

  private:
    const ScheduledRun *chosen() const;
    void showChoice();

    UserDialogs &m_dialogs;
    std::vector<ScheduledRun> m_runs;
};
