#pragma once

#include "platform/Failure.h"
#include "recipients/RecipientTable.h"
#include "send/Mailing.h"
#include "send/MailingView.h"
#include "send/limits/SendLimits.h"

#include <QMainWindow>
#include <QPointer>

class KeptPlacement;
class QCheckBox;
class QThread;
class TestSender;
class AddressListModel;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QTimer;
class Clock;
class QPushButton;
class QStatusBar;
class QAction;
class QMenu;
class SecretStore;
class SettingsStore;
class UserDialogs;

// The main window: the operator's one workplace. It gathers the operator's input and shows what
// the mailing (the recipient table, the run values, the send run and the timer) tells it.
class Form1 : public QMainWindow, private MailingView
{
    Q_OBJECT
  public:
    // Loading restores the settings, creates the initial table and loads the command-line file.
    Form1(SettingsStore &settings, UserDialogs &dialogs, const QString &strCommandLine,
          QWidget *parent = nullptr);
    // With the desktop's keyring for passwords and sign-ins (without one nothing outlives the process).
    Form1(SettingsStore &settings, UserDialogs &dialogs, SecretStore &secrets, const QString &strCommandLine,
          QWidget *parent = nullptr);
    ~Form1() override;

    // The one entry for every load of the recipient table: a path ending in .xls, .xlsx, .ods, .csv or .vcf,
    // or the word OUTLOOK or ODBC. Returns 0 when loaded (or when the source names no importer), -1 when the
    // import failed; a failure has been shown before the return.
    int AddressRead(const QString &strFileName) { return m_mailing.AddressRead(strFileName); }

    // The mailing keeps the process-wide run values (sendFlag, timerFlag, sendInterval, timerHours),
    // the ODBC texts and the sending limits.
    Mailing &mailing() { return m_mailing; }
    const RecipientTable &recipientTable() const { return m_mailing.table(); }
    // The body as the merge and the send run see it: the text of Text4 with CR LF line breaks.
    QString bodyText() const;
    QString statusText() const;
    void setStatusText(const QString &text);

    // The clock of the interval and timer waits; tests put one they move by hand in its place.
    void setClock(Clock &clock);

    // Click handlers; a menu item that repeats a button calls the button's handler.
    void Command1_Click();       // send run
    void Command2_Click();       // read recipients
    void Command4_Click();       // choose attachments
    void Command5_Click();       // recipient list window
    void Command6_Click();       // read body from file
    void Command7_Click();       // merge preview of row 1
    void Command8_Click();       // stop a run or a timer wait
    void cmdTextFont_Click();    // body font
    void mnuEditCut_Click();     // clear whole body to the clipboard
    void mnuEditCopy_Click();    // copy the body's selection
    void mnuEditPast_Click();    // paste into the body
    void mnuEditDelete_Click();  // delete the body's selection to the clipboard
    void mnuFileJobSave_Click(); // the mailing as a job file for velmora-send
    void mnuMailSendStart_Click();
    void mnuMailSendTimer_Click();
    void mnuMailSendAt_Click();
    void mnuMailSendScheduled_Click(); // the runs handed to the session's timers
    void mnuMailSendOption_Click();
    void mnuMailSendLimits_Click();
    void mnuMailSendSignIn_Click();  // the app registrations for OAuth 2.0 sign-in
    void mnuMailSendMailbox_Click(); // the mailbox for Sent copies and returned mails
    void mnuMailSendCheck_Click();   // check every row before sending, report in the viewer
    void mnuMailSendTest_Click();    // one row's mail to the operator's own address
    void mnuHelpMokuji_Click();
    void mnuHelpVersion_Click();

    // Enables (true) or disables (false) as one group everything a run or a timer wait must not
    // see changed.
    void ctlEnabled(bool enabled);

    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QPlainTextEdit *Text4 = nullptr;
    QPlainTextEdit *Text5 = nullptr;
    QComboBox *Combo1 = nullptr;
    QCheckBox *CheckHTML = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command5 = nullptr;
    QPushButton *Command6 = nullptr;
    QPushButton *Command7 = nullptr;
    QPushButton *Command8 = nullptr;
    QPushButton *cmdTextFont = nullptr;
    QFrame *Line1 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    // The status line's text lives in a permanent label: status tips of menus never replace it.
    QLabel *StatusText = nullptr;
    // Row k of R during a send run; hidden otherwise.
    QProgressBar *ProgressBar1 = nullptr;

    QMenu *mnuFile = nullptr;
    QAction *mnuFileAddressRead = nullptr;
    QAction *mnuFileAddressReadOutlook = nullptr;
    QAction *mnuFileAddressReadODBC = nullptr;
    QAction *mnuFileTextRead = nullptr;
    QAction *mnuFileIncSet = nullptr;
    QAction *mnuFileJobSave = nullptr;
    QAction *mnuExit = nullptr;
    QMenu *mnuEdit = nullptr;
    QAction *mnuEditCut = nullptr;
    QAction *mnuEditCopy = nullptr;
    QAction *mnuEditPast = nullptr;
    QAction *mnuEditDelete = nullptr;
    QMenu *mnuView = nullptr;
    QAction *mnuViewAddressCheck = nullptr;
    QAction *mnuViewInsertCheck = nullptr;
    QAction *mnuViewFont = nullptr;
    QMenu *mnuMailSend = nullptr;
    QAction *mnuMailSendStart = nullptr;
    QAction *mnuMailSendCheck = nullptr;
    QAction *mnuMailSendTest = nullptr;
    QAction *mnuMailSendTimer = nullptr;
    QAction *mnuMailSendAt = nullptr;
    QAction *mnuMailSendScheduled = nullptr;
    QAction *mnuMailSendOption = nullptr;
    QAction *mnuMailSendLimits = nullptr;
    QAction *mnuMailSendSignIn = nullptr;
    QAction *mnuMailSendMailbox = nullptr;
    QAction *mnuMailSendBounces = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuHelpMokuji = nullptr;
    QAction *mnuHelpVersion = nullptr;

  protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    AddressListModel *m_addressModel = nullptr; // Combo1's items
    Form1(SettingsStore &settings, UserDialogs &dialogs, SecretStore *secrets, const QString &strCommandLine,
          QWidget *parent);
    void createControls();
    void createMenus();
    void setAccessibility();
    void Form_Resize();
    // The body's selection with CR LF line breaks.
    QString bodySelection() const;
    void Form_Load(const QString &strCommandLine);
    bool Form_QueryUnload();
    void Form_Unload();
    void flushRunStatus();
    void showFailure(const Failure &failure);

    // What the mailing shows and asks.
    SendInputs sendInputs() const override;
    void showStatus(const QString &text, bool paintNow) override;
    void showRunProgress(const QString &text, int row, int rows) override;
    void showAddresses(const RecipientAddresses &addresses) override;
    void showActivity(Activity activity) override;
    UserDialogs::Answer ask(const UserDialogs::Message &message) override;
    void showText(const QString &caption, const QString &text) override;
    void chooseOdbcSource(QString &strODBCconn, QString &strODBCrec) override;
    void clearAttachments() override;
    void restoreInputs(const SendInputs &inputs) override;
    std::optional<PasswordAnswer> askPassword(const PasswordRequest &request) override;
    TokenReply signIn(const OAuthClient &client, const QString &user) override;

    SettingsStore &m_settings;
    UserDialogs &m_dialogs;
    Mailing m_mailing;
    KeptPlacement *m_placement = nullptr; // made at load
    // Of the body file last loaded: its folder, and the text version beside an HTML body.
    QString m_bodyFolder;
    QString m_textVersion;
    bool m_unloaded = false;
    Activity m_activity = Activity::Idle;

    // Status and progress of a run are drawn a few times a second at most.
    QTimer *m_statusFlush = nullptr;
    qint64 m_lastFlushMs = -1000000;
    QString m_pendingStatus;
    int m_progressRow = 0;
    int m_progressRows = 0;

    // The check before sending while it runs off the GUI thread, and the test mails.
    QPointer<QThread> m_check;
    TestSender *m_testSender = nullptr;
};
