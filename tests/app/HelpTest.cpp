#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "app/Form1.h"
#include "app/FormAbout.h"
#include "app/HelpWindow.h"
#include "platform/SettingsStore.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString HelpSource = QStringLiteral(VELMORA_HELP_SOURCE_DIR);

class HelpTest : public ::testing::Test
{
  protected:
    void SetUp() override { setHelpFolderCandidates({dir.path(QStringLiteral("missing")), HelpSource}); }
    void TearDown() override
    {
        delete HelpWindow::current();
        setHelpFolderCandidates({});
    }

    QString shownText() const { return HelpWindow::current()->brwPage->toPlainText(); }

    ScratchDir dir;
    SettingsStore settings;
    ScriptedDialogs dialogs;
};

// Restores PATH when the test ends.
class PathOverride
{
  public:
    explicit PathOverride(const QString &path) : m_saved(qgetenv("PATH"))
    {
        qputenv("PATH", QFile::encodeName(path));
    }
    ~PathOverride() { qputenv("PATH", m_saved); }

  private:
    QByteArray m_saved;
};

} // namespace

TEST_F(HelpTest, F1OpensThePageOfTheWindowInUse)
{
    Form1 f(settings, dialogs, QString());
    f.show();
    QTest::keyClick(f.Text3, Qt::Key_F1);
    HelpWindow *help = HelpWindow::current();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->currentPage(), QStringLiteral("start.html#main"));
    EXPECT_EQ(help->parentWidget(), &f);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(shownText().contains(QStringLiteral("メインウィンドウ")));

    // Over the version window the help window belongs to it, or that modal window would block it.
    FormAbout about(dialogs, &f);
    about.show();
    QTest::keyClick(about.cmdOK, Qt::Key_F1);
    help = HelpWindow::current();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->currentPage(), QStringLiteral("index.html#version"));
    EXPECT_EQ(help->parentWidget(), &about);

    // F1 inside the help window itself is left to it.
    QTest::keyClick(help->txtFind, Qt::Key_F1);
    EXPECT_EQ(HelpWindow::current(), help);
    EXPECT_EQ(help->currentPage(), QStringLiteral("index.html#version"));
}

TEST_F(HelpTest, ContentsLinksBackForwardAndFind)
{
    Form1 f(settings, dialogs, QString());
    f.mnuHelpMokuji->trigger();
    HelpWindow *help = HelpWindow::current();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->currentPage(), QStringLiteral("index.html"));
    EXPECT_TRUE(shownText().contains(QStringLiteral("Velmora ヘルプ 目次")));
    EXPECT_FALSE(help->cmdBack->isEnabled());

    // A relative link of the contents page, then back and forward.
    help->brwPage->setSource(help->brwPage->source().resolved(QUrl(QStringLiteral("server.html#netrc"))));
    EXPECT_EQ(help->currentPage(), QStringLiteral("server.html#netrc"));
    EXPECT_TRUE(shownText().contains(QStringLiteral("~/.netrc")));
    ASSERT_TRUE(help->cmdBack->isEnabled());
    help->cmdBack->click();
    EXPECT_EQ(help->currentPage(), QStringLiteral("index.html"));
    ASSERT_TRUE(help->cmdForward->isEnabled());
    help->cmdForward->click();
    EXPECT_EQ(help->currentPage(), QStringLiteral("server.html#netrc"));
    help->cmdContents->click();
    EXPECT_EQ(help->currentPage(), QStringLiteral("index.html"));

    // Find goes round to the top, and says so when the page holds nothing.
    help->txtFind->setText(QStringLiteral("ODBC"));
    EXPECT_TRUE(help->findNext());
    EXPECT_EQ(help->brwPage->textCursor().selectedText(), QStringLiteral("ODBC"));
    const int first = help->brwPage->textCursor().position();
    int steps = 0;
    do {
        ASSERT_TRUE(help->findNext());
        ++steps;
    } while (help->brwPage->textCursor().position() != first && steps < 50);
    EXPECT_GT(steps, 1);
    EXPECT_EQ(help->brwPage->textCursor().position(), first);
    help->txtFind->setText(QStringLiteral("どこにも無い語句"));
    EXPECT_FALSE(help->findNext());
    EXPECT_EQ(help->lblFindResult->text(), QStringLiteral("見つかりません"));
    EXPECT_EQ(help->txtFind->accessibleName(), QStringLiteral("ページ内を検索"));
}

TEST_F(HelpTest, MissingHelpFolderIsReportedAndNothingOpens)
{
    const QString missing = dir.path(QStringLiteral("nowhere"));
    QDir().mkpath(missing); // a folder without the contents page counts as missing too
    setHelpFolderCandidates({missing});
    Form1 f(settings, dialogs, QString());
    dialogs.expectBox(
        QStringLiteral(
            "ヘルプが見つかりません。ヘルプのページ（help フォルダー）は次のいずれかの場所に必要です。"
            "Velmora をインストールし直してください。\n") +
            missing,
        QString(), Icon::Warning, Buttons::Ok, Answer::Ok);
    f.mnuHelpMokuji->trigger();
    EXPECT_EQ(HelpWindow::current(), nullptr);
    dialogs.verifyDone();
}

TEST_F(HelpTest, EveryLinkOfTheManualLeadsToAPageAndPlace)
{
    // Every page the windows open, and every relative link between the pages, must exist.
    QStringList targets{helpContentsPage()};
    for (const char *w : {"Form1", "Form2", "Form3", "frmOptions", "frmLimits", "frmODBC", "FormAbout"})
        targets << helpPageFor(QString::fromLatin1(w));
    const QDir help(HelpSource);
    const QRegularExpression href(QStringLiteral("href=\"([^\":]+)\""));
    const QStringList pages = help.entryList({QStringLiteral("*.html")});
    EXPECT_GE(pages.size(), 8);
    for (const QString &page : pages) {
        QFile file(help.filePath(page));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString html = QString::fromUtf8(file.readAll());
        EXPECT_TRUE(html.contains(QStringLiteral("href=\"style.css\""))) << page.toStdString();
        for (auto m = href.globalMatch(html); m.hasNext();) {
            const QString link = m.next().captured(1);
            targets << (link.startsWith(u'#') ? page + link : link);
        }
    }
    for (const QString &target : targets) {
        const QString file = target.section(u'#', 0, 0);
        const QString anchor = target.section(u'#', 1);
        QFile f(help.filePath(file));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << target.toStdString();
        if (!anchor.isEmpty()) {
            const QByteArray name = QStringLiteral("name=\"%1\"").arg(anchor).toUtf8();
            EXPECT_TRUE(f.readAll().contains(name)) << target.toStdString();
        }
    }
}

TEST_F(HelpTest, VersionWindowShowsTitleAndBuildVersion)
{
    Form1 f(settings, dialogs, QString());
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto *about = qobject_cast<FormAbout *>(QApplication::activeModalWidget());
        ASSERT_NE(about, nullptr);
        seen = true;
        EXPECT_EQ(about->parentWidget(), &f);
        EXPECT_EQ(about->windowTitle(), QStringLiteral("Velmoraのﾊﾞｰｼﾞｮﾝ情報"));
        EXPECT_EQ(about->lblTitle->text(), QStringLiteral("Velmora"));
        EXPECT_EQ(about->lblVersion->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ 1.7.0"));
        EXPECT_EQ(about->lblDescription->text(), QStringLiteral(" "));
        EXPECT_EQ(about->cmdSysInfo->text(), QStringLiteral("ｼｽﾃﾑ情報(&S)..."));
        EXPECT_FALSE(about->picIcon->pixmap().isNull());
        // Enter and Esc both press OK.
        EXPECT_TRUE(about->cmdOK->isDefault());
        QTest::keyClick(about, Qt::Key_Escape);
    });
    f.mnuHelpVersion->trigger();
    EXPECT_TRUE(seen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(HelpTest, SystemInformationToolIsStartedFromPathOrReported)
{
    Form1 f(settings, dialogs, QString());
    FormAbout about(dialogs, &f);
    about.show();
    {
        PathOverride path(dir.root());
        dialogs.expectBox(QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"), QString(), Icon::None,
                          Buttons::Ok, Answer::Ok);
        about.cmdSysInfo->click();
        dialogs.verifyDone();
        EXPECT_TRUE(about.isVisible());
    }

    // A tool found on PATH is started, and no message is shown.
    const QString bin = dir.path(QStringLiteral("bin"));
    QDir().mkpath(bin);
    const QString marker = dir.path(QStringLiteral("started"));
    const QString tool = bin + QStringLiteral("/hardinfo");
    QFile script(tool);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$@\" > '" + QFile::encodeName(marker) + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        PathOverride path(bin);
        about.cmdSysInfo->click();
    }
    for (int i = 0; i < 200 && !QFile::exists(marker); ++i)
        QTest::qWait(50);
    EXPECT_TRUE(QFile::exists(marker));
    EXPECT_TRUE(about.isVisible());
}
