#pragma once

#include <QObject>
#include <QStringList>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTextBrowser;
class UserDialogs;

// The folders searched for the help pages, in order: beside the executable, the share folder of
// an installation relative to it, then the share folder the build was configured to install into.
QStringList helpFolderCandidates();
// Replaces the search list (an empty list restores the default one).
void setHelpFolderCandidates(const QStringList &folders);
// The first candidate that holds the contents page, or the empty text.
QString findHelpFolder();

// The contents page, and the page that explains a window, by the window's objectName ("Form1",
// "frmOptions"...); any other window gets the contents page.
QString helpContentsPage();
QString helpPageFor(const QString &windowName);

// The help window: the manual's pages with links, back and forward, and search in the page.
class HelpWindow : public QWidget
{
    Q_OBJECT
  public:
    HelpWindow(const QString &folder, QWidget *owner);

    // Shows a page of the help folder: "send.html" or "send.html#timer".
    void showPage(const QString &page);
    // The page shown now, as a file name with its fragment ("send.html#timer").
    QString currentPage() const;
    // Selects the next occurrence of the search text after the cursor, from the top when none
    // follows; false when the page holds none.
    bool findNext(bool backward = false);

    // Opens the page in the application's one help window, placed over owner; the window is
    // made anew when owner changed. A missing help folder is reported through dialogs and nothing
    // opens. Returns the window, or nullptr.
    static HelpWindow *open(UserDialogs &dialogs, QWidget *owner, const QString &page);
    // The help window now open, if any.
    static HelpWindow *current();

    QPushButton *cmdBack = nullptr;
    QPushButton *cmdForward = nullptr;
    QPushButton *cmdContents = nullptr;
    QLabel *lblFind = nullptr;
    QLineEdit *txtFind = nullptr;
    QPushButton *cmdFindNext = nullptr;
    QPushButton *cmdFindPrevious = nullptr;
    QLabel *lblFindResult = nullptr;
    QTextBrowser *brwPage = nullptr;

  private:
    QString m_folder;
};

// F1 anywhere in the application opens the help page of the window in use. Installed on the
// application while it lives.
class HelpKey : public QObject
{
    Q_OBJECT
  public:
    HelpKey(UserDialogs &dialogs, QObject *parent);

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    UserDialogs &m_dialogs;
};
