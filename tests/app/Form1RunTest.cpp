#include "MailTestSupport.h"
#include "ManualClock.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "TestSmtpServer.h"
#include "app/Form1.h"
#include "platform/SettingsStore.h"
#include "windowkit/Form3.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

// The main window as the mailing's view: what it locks, shows and empties while a run or a timer
// goes on. The runs themselves are the core tests' business.
class Form1RunTest : public MailServerTest
{
  protected:
    Form1 &window(int rows)
    {
        QString csv = QStringLiteral("メールアドレス,氏名\r\n");
        for (int k = 1; k <= rows; ++k)
            csv += QStringLiteral("r%1@example.jp,宛先%1\r\n").arg(k);
        form = std::make_unique<Form1>(settings, dialogs, dir.write("recipients.csv", toCp932(csv)));
        form->setClock(clock);
        form->Text1->setText(server->hostPort());
        form->Text2->setText(QStringLiteral("株式会社ベルモラ商事 <info@example.jp>"));
        form->show();
        return *form;
    }
    void waitUntilIdle()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] { return form->Command8->isHidden(); }, 30000));
    }
    void TearDown() override { form.reset(); }

    ManualClock clock{QDateTime(QDate(2026, 12, 8), QTime(10, 0, 50))};
    ScratchDir dir;
    SettingsStore settings;
    ScriptedDialogs dialogs;
    std::unique_ptr<Form1> form;
};

TEST_F(Form1RunTest, ARunLocksTheWindowShowsItsProgressAndLeavesTheOutcomeReadable)
{
    Form1 &f = window(5);
    // The attachment hint is only the box's placeholder: a first run sends no attachment.
    EXPECT_EQ(f.Text5->toPlainText(), QString());
    f.Command1->click();
    // The check before sending runs first; the window is locked from the click on.
    EXPECT_FALSE(f.Command1->isEnabled());
    EXPECT_FALSE(f.Text4->isEnabled());
    EXPECT_FALSE(f.mnuMailSend->menuAction()->isEnabled());
    EXPECT_EQ(f.Command8->text(), QStringLiteral("送信を中止する"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.ProgressBar1->isHidden(); }, 10000));
    waitUntilIdle();
    EXPECT_EQ(f.ProgressBar1->maximum(), 5);
    EXPECT_EQ(f.statusText(), QStringLiteral("送信完了：5件中、正常5件、エラー0件。"));
    // Screen readers read the status line by its accessible name: the text it shows now.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(f.StatusText)->text(QAccessible::Name), f.statusText());
    EXPECT_TRUE(f.Command1->isEnabled());
    EXPECT_TRUE(f.ProgressBar1->isHidden());
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Velmora"));
    EXPECT_EQ(server->messages(), 5);

    // The timer wait locks the same controls under its own stop caption; closing stops it.
    f.mailing().setTimerHours(1);
    f.mnuMailSendTimer->trigger();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return f.Command8->text() == QStringLiteral("送信タイマーを停止する"); }, 10000));
    EXPECT_FALSE(f.Command1->isEnabled());
    EXPECT_FALSE(f.close());
    waitUntilIdle();
    EXPECT_TRUE(f.Command1->isEnabled());
    EXPECT_EQ(f.statusText(), QStringLiteral("送信タイマーを停止しました"));
}

TEST_F(Form1RunTest, TheAttachmentBoxIsFilledByTheChooserAndEmptiedWhenItNamesNoFile)
{
    Form1 &f = window(1);
    const QString all = QStringLiteral("すべてのファイル (*.*)|*.*");
    dialogs.expectOpenFile(all, QStringLiteral("/tmp/a.pdf"));
    f.Command4->click();
    dialogs.expectOpenFile(all, QStringLiteral("/tmp/b.txt"));
    f.mnuFileIncSet->trigger();
    dialogs.expectOpenFile(all, QString());
    f.Command4->click();
    EXPECT_EQ(f.Text5->toPlainText(), QStringLiteral("/tmp/a.pdf,/tmp/b.txt"));

    dialogs.expectBox(QStringLiteral("指定した添付ファイルが正しくありません"), QString(), Icon::Critical,
                      Buttons::Ok, Answer::Ok);
    f.Command1_Click();
    EXPECT_EQ(f.Text5->toPlainText(), QString());
    EXPECT_TRUE(f.Command8->isHidden());
    EXPECT_EQ(server->messages(), 0);
}

} // namespace
