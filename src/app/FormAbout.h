#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

class QFrame;
class QLabel;
class QPushButton;
class UserDialogs;

// The version window: the application title, the version of this build, and a way to the
// desktop's system-information tool.
class FormAbout : public QDialog
{
    Q_OBJECT
  public:
    FormAbout(UserDialogs &dialogs, QWidget *owner);

    // A system-information tool: the program looked for on PATH and the arguments it is given.
    struct SysInfoTool {
        QString program;
        QStringList arguments;
    };
    // The tools tried, in order: the first one found on PATH that starts is used.
    static QList<SysInfoTool> sysInfoTools();

    // Starts the first system-information tool found on PATH, detached; tells the operator when
    // none could be started.
    void StartSysInfo();

    QLabel *picIcon = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblDescription = nullptr;
    QFrame *Line1 = nullptr;
    QFrame *Line2 = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;

  private:
    void Form_Load();

    UserDialogs &m_dialogs;
};

// "ﾊﾞｰｼﾞｮﾝ 1.7.0" for this build.
QString versionText();
