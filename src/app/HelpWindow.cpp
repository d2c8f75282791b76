#include "app/HelpWindow.h"

#include "app/VelmoraVersion.h"
#include "platform/UserDialogs.h"
#include "windowkit/DialogParts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace
{
const QString ContentsPage = QStringLiteral("index.html");

QStringList &overriddenCandidates()
{
    static QStringList folders;
    return folders;
}

QPointer<HelpWindow> &openWindow()
{
    static QPointer<HelpWindow> window;
    return window;
}

} // namespace

QStringList helpFolderCandidates()
{
    if (!overriddenCandidates().isEmpty())
        return overriddenCandidates();
    const QDir exe(QCoreApplication::applicationDirPath());
    QStringList folders{exe.filePath(QStringLiteral("help")),
                        QDir::cleanPath(exe.filePath(QStringLiteral("../share/velmora/help")))};
    const QString installed = QDir::cleanPath(QStringLiteral(VELMORA_INSTALLED_HELP_DIR));
    if (!folders.contains(installed))
        folders << installed;
    return folders;
}

void setHelpFolderCandidates(const QStringList &folders)
{
    overriddenCandidates() = folders;
}

QString findHelpFolder()
{
    for (const QString &folder : helpFolderCandidates()) {
        if (QFileInfo(QDir(folder).filePath(ContentsPage)).isFile())
            return folder;
    }
    return QString();
}

QString helpContentsPage()
{
    return ContentsPage;
}

QString helpPageFor(const QString &windowName)
{
    static const QHash<QString, QString> pages{
        {QStringLiteral("Form1"), QStringLiteral("start.html#main")},
        {QStringLiteral("Form2"), QStringLiteral("list.html")},
        {QStringLiteral("Form3"), QStringLiteral("body.html#viewer")},
        {QStringLiteral("MergePreview"), QStringLiteral("body.html#preview")},
        {QStringLiteral("frmTestSend"), QStringLiteral("send.html#test")},
        {QStringLiteral("frmOptions"), QStringLiteral("send.html#options")},
        {QStringLiteral("frmLimits"), QStringLiteral("send.html#limits")},
        {QStringLiteral("frmMailbox"), QStringLiteral("mailbox.html#settings")},
        {QStringLiteral("frmOAuth"), QStringLiteral("oauth.html#settings")},
        {QStringLiteral("frmPassword"), QStringLiteral("server.html#keyring")},
        {QStringLiteral("frmSignIn"), QStringLiteral("server.html#oauth")},
        {QStringLiteral("frmODBC"), QStringLiteral("recipients.html#odbc")},
        {QStringLiteral("FormAbout"), QStringLiteral("index.html#version")},
    };
    return pages.value(windowName, ContentsPage);
}

HelpWindow::HelpWindow(const QString &folder, QWidget *owner) : QWidget(owner, Qt::Window), m_folder(folder)
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("Velmora ヘルプ"));
    setAttribute(Qt::WA_DeleteOnClose);

    cmdBack = dialogButton(this, "cmdBack", QStringLiteral("戻る"), false);
    cmdForward = dialogButton(this, "cmdForward", QStringLiteral("進む"), false);
    cmdContents = dialogButton(this, "cmdContents", QStringLiteral("目次"), false);
    lblFind = windowLabel(this, "lblFind", QStringLiteral("ページ内を検索"));
    txtFind = new QLineEdit(this);
    txtFind->setObjectName(QStringLiteral("txtFind"));
    txtFind->setClearButtonEnabled(true);
    captionField(lblFind, txtFind);
    cmdFindNext = dialogButton(this, "cmdFindNext", QStringLiteral("次を検索"), false);
    cmdFindPrevious = dialogButton(this, "cmdFindPrevious", QStringLiteral("前を検索"), false);
    lblFindResult = new QLabel(this);
    lblFindResult->setObjectName(QStringLiteral("lblFindResult"));
    lblFindResult->setMinimumWidth(120);

    brwPage = new QTextBrowser(this);
    brwPage->setObjectName(QStringLiteral("brwPage"));
    brwPage->setAccessibleName(QStringLiteral("ヘルプのページ"));
    brwPage->setOpenExternalLinks(true);
    brwPage->setSearchPaths({folder});
    // The pages link their stylesheet for any browser; the help window applies it itself, since
    // the link is not followed when a page is shown.
    QFile css(QDir(folder).filePath(QStringLiteral("style.css")));
    if (css.open(QIODevice::ReadOnly))
        brwPage->document()->setDefaultStyleSheet(QString::fromUtf8(css.readAll()));

    auto *bar = new QHBoxLayout;
    bar->addWidget(cmdBack);
    bar->addWidget(cmdForward);
    bar->addWidget(cmdContents);
    bar->addSpacing(16);
    bar->addWidget(lblFind);
    bar->addWidget(txtFind, 1);
    bar->addWidget(cmdFindNext);
    bar->addWidget(cmdFindPrevious);
    bar->addWidget(lblFindResult);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(brwPage, 1);

    cmdBack->setEnabled(false);
    cmdForward->setEnabled(false);
    connect(brwPage, &QTextBrowser::backwardAvailable, cmdBack, &QWidget::setEnabled);
    connect(brwPage, &QTextBrowser::forwardAvailable, cmdForward, &QWidget::setEnabled);
    connect(cmdBack, &QPushButton::clicked, brwPage, &QTextBrowser::backward);
    connect(cmdForward, &QPushButton::clicked, brwPage, &QTextBrowser::forward);
    connect(cmdContents, &QPushButton::clicked, this, [this] { showPage(ContentsPage); });
    connect(brwPage, &QTextBrowser::sourceChanged, this, [this] {
        lblFindResult->clear();
        const QString title = brwPage->documentTitle();
        setWindowTitle(title.isEmpty() ? QStringLiteral("Velmora ヘルプ")
                                       : QStringLiteral("Velmora ヘルプ - ") + title);
    });
    connect(txtFind, &QLineEdit::returnPressed, this, [this] { findNext(); });
    connect(txtFind, &QLineEdit::textChanged, lblFindResult, &QLabel::clear);
    connect(cmdFindNext, &QPushButton::clicked, this, [this] { findNext(); });
    connect(cmdFindPrevious, &QPushButton::clicked, this, [this] { findNext(true); });

    auto *findKey = new QShortcut(QKeySequence::Find, this);
    connect(findKey, &QShortcut::activated, this, [this] {
        txtFind->setFocus();
        txtFind->selectAll();
    });
    auto *closeKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(closeKey, &QShortcut::activated, this, &QWidget::close);

    resize(760, 620);
}

void HelpWindow::showPage(const QString &page)
{
    const qsizetype hash = page.indexOf(u'#');
    QUrl url = QUrl::fromLocalFile(QDir(m_folder).filePath(hash < 0 ? page : page.left(hash)));
    if (hash >= 0)
        url.setFragment(page.mid(hash + 1));
    brwPage->setSource(url);
}

QString HelpWindow::currentPage() const
{
    const QUrl url = brwPage->source();
    const QString name = QFileInfo(url.toLocalFile()).fileName();
    return url.hasFragment() ? name + u'#' + url.fragment() : name;
}

bool HelpWindow::findNext(bool backward)
{
    const QString text = txtFind->text();
    if (text.isEmpty())
        return false;
    const QTextDocument::FindFlags flags =
        backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    bool found = brwPage->find(text, flags);
    if (!found) {
        // Go round: search again from the other end of the page.
        QTextCursor cursor = brwPage->textCursor();
        cursor.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        brwPage->setTextCursor(cursor);
        found = brwPage->find(text, flags);
    }
    lblFindResult->setText(found ? QString() : QStringLiteral("見つかりません"));
    return found;
}

HelpWindow *HelpWindow::open(UserDialogs &dialogs, QWidget *owner, const QString &page)
{
    const QString folder = findHelpFolder();
    if (folder.isEmpty()) {
        dialogs.messageBox(
            owner, {QStringLiteral("ヘルプが見つかりません。ヘルプのページ（help フォルダー）は次のいずれかの"
                                   "場所に必要です。Velmora をインストールし直してください。\n") +
                        helpFolderCandidates().join(u'\n'),
                    QString(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return nullptr;
    }
    // The window belongs to the window it was asked from: over a modal window it must be that
    // window's child, or the modal window would block it.
    QPointer<HelpWindow> &window = openWindow();
    if (window && (window->parentWidget() != owner || window->m_folder != folder)) {
        window->close();
        delete window.data();
    }
    if (!window)
        window = new HelpWindow(folder, owner);
    window->showPage(page);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

HelpWindow *HelpWindow::current()
{
    return openWindow().data();
}

HelpKey::HelpKey(UserDialogs &dialogs, QObject *parent) : QObject(parent), m_dialogs(dialogs)
{
    qApp->installEventFilter(this);
}

bool HelpKey::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() != Qt::Key_F1 || key->modifiers() != Qt::NoModifier)
        return false;
    QWidget *window = static_cast<QWidget *>(watched)->window();
    // A menu that is open belongs to the window whose menu bar opened it.
    while (window && window->windowType() == Qt::Popup && window->parentWidget())
        window = window->parentWidget()->window();
    if (!window || qobject_cast<HelpWindow *>(window))
        return false;
    HelpWindow::open(m_dialogs, window, helpPageFor(window->objectName()));
    return true;
}
