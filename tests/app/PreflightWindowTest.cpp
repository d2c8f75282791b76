#include "MailTestSupport.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "app/Form1.h"
#include "app/MergePreviewWindow.h"
#include "app/frmTestSend.h"
#include "platform/SettingsStore.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

// The main window with five recipients from a CP932 file: row 2 has no name, row 4 an address
// the mail library refuses.
class PreflightWindow : public MailServerTest
{
  protected:
    void SetUp() override
    {
        MailServerTest::SetUp();
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
        dialogs.expectBox(QStringLiteral("読込エラーの行があります。表示しますか？"),
                          QStringLiteral("読込エラー"), Icon::Warning, Buttons::YesNo, Answer::No);
        const QString csv =
            dir.write("宛先.csv", toCp932(QStringLiteral("メールアドレス,氏名\r\n"
                                                         "a@example.jp,山田\r\nb@example.jp,\r\n"
                                                         "c@example.jp,佐藤\r\nd.example.jp,鈴木\r\n"
                                                         "e@example.jp,伊藤\r\n")));
        form = std::make_unique<Form1>(settings, dialogs, csv);
        form->Text1->setText(server->hostPort());
        form->Text2->setText(QStringLiteral("ベルモラ商事 <info@example.jp>"));
        form->Text3->setText(QStringLiteral("<%氏名%>様へのご案内"));
        form->Text4->setPlainText(QStringLiteral("<%氏名%>様\nよろしく"));
        form->Text5->setPlainText(dir.write("案内.pdf", QByteArray(1536, 'x')));
    }
    void TearDown() override
    {
        form.reset();
        qunsetenv("XDG_STATE_HOME");
    }
    // Runs `check` on the preview once Command7 has opened it, then closes it.
    void withPreview(const std::function<void(MergePreviewWindow &)> &check)
    {
        QTimer::singleShot(0, [&] {
            auto *preview = qobject_cast<MergePreviewWindow *>(QApplication::activeModalWidget());
            ASSERT_NE(preview, nullptr);
            check(*preview);
            preview->Command1->click();
        });
        form->Command7->click();
    }

    ScratchDir dir;
    ScratchDir state;
    SettingsStore settings;
    ScriptedDialogs dialogs;
    std::unique_ptr<Form1> form;
};

} // namespace

TEST_F(PreflightWindow, PreviewMovesByRowByNumberAndThroughTheRowsWithProblems)
{
    withPreview([&](MergePreviewWindow &p) {
        EXPECT_EQ(p.windowTitle(), QStringLiteral("1件目の差込みを表示中"));
        EXPECT_EQ(p.Text1->toPlainText(), QStringLiteral("山田様\nよろしく"));
        EXPECT_EQ(p.txtSubject->text(), QStringLiteral("山田様へのご案内"));
        EXPECT_EQ(p.txtAddress->text(), QStringLiteral("a@example.jp"));
        EXPECT_EQ(p.txtAttachments->text(), QStringLiteral("案内.pdf（1.5 KB）"));
        EXPECT_FALSE(p.cmdPrevious->isEnabled());
        p.cmdNext->click();
        EXPECT_EQ(p.windowTitle(), QStringLiteral("2件目の差込みを表示中"));
        EXPECT_EQ(p.Text1->toPlainText(), QStringLiteral("様\nよろしく"));
        p.txtRow->setValue(5);
        EXPECT_EQ(p.windowTitle(), QStringLiteral("5件目の差込みを表示中"));
        EXPECT_EQ(p.txtAddress->text(), QStringLiteral("e@example.jp"));
        EXPECT_FALSE(p.cmdNext->isEnabled());

        ASSERT_TRUE(QTest::qWaitFor([&] { return p.checked(); }, 10000));
        EXPECT_EQ(p.lblNotes->text(), QStringLiteral("この行に問題はありません（問題のある行：2 行）"));
        // No row with problems after row 5: the last one before it.
        p.chkProblemsOnly->setChecked(true);
        EXPECT_EQ(p.windowTitle(), QStringLiteral("4件目の差込みを表示中"));
        EXPECT_TRUE(p.lblNotes->text().startsWith(QStringLiteral("この行：アドレスを送信に使えません")))
            << str(p.lblNotes->text());
        EXPECT_FALSE(p.cmdNext->isEnabled());
        p.cmdPrevious->click();
        EXPECT_EQ(p.txtRow->value(), 2);
        EXPECT_EQ(p.lblNotes->text(), QStringLiteral("この行：「氏名」が空です（問題のある行：2 行）"));
        EXPECT_FALSE(p.cmdPrevious->isEnabled());
        p.cmdNext->click();
        EXPECT_EQ(p.txtRow->value(), 4);

        // Fields by their label's caption, buttons by their text; labels whose text changes keep none.
        for (QWidget *w : p.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<QLabel *>(w))
                continue;
            EXPECT_FALSE(QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty())
                << str(w->objectName());
        }
        EXPECT_EQ(p.txtRow->accessibleName(), p.lblRow->text());
        EXPECT_TRUE(p.lblNotes->accessibleName().isEmpty() && p.lblRowCount->accessibleName().isEmpty());
    });

    // An HTML body is shown rendered, and nothing it names is read from disk.
    const QString picture = dir.write("p.png", "not read");
    form->CheckHTML->setChecked(true);
    form->Text4->setPlainText(QStringLiteral("<b><%氏名%></b>様<img src=\"%1\">").arg(picture));
    withPreview([&](MergePreviewWindow &p) {
        EXPECT_TRUE(p.Html1->isVisible() && !p.Text1->isVisible());
        EXPECT_TRUE(p.Html1->toPlainText().startsWith(QStringLiteral("山田様")));
        EXPECT_TRUE(p.text().startsWith(QStringLiteral("<b>山田</b>様")));
        EXPECT_TRUE(p.Html1->document()->resource(QTextDocument::ImageResource, QUrl(picture)).isNull());
    });
}

TEST_F(PreflightWindow, TestSendMailsOneRowToOneAddressAndLeavesTheRunAlone)
{
    const QString sent = QStringLiteral("テストメールを送信しました。\r\n宛先：%1\r\n件名：%2\r\n\r\n"
                                        "宛先の表の送信状況は変わりません。");
    auto answerDialog = [](int row, const QString &address, QString *offered) {
        QTimer::singleShot(0, [=] {
            auto *d = qobject_cast<frmTestSend *>(QApplication::activeModalWidget());
            ASSERT_NE(d, nullptr);
            *offered = d->address();
            if (row > 0)
                d->txtRow->setValue(row);
            d->txtAddress->setText(address);
            d->cmdSend->click();
        });
    };

    // From the menu, to an address typed for the purpose.
    QString offered;
    answerDialog(2, QStringLiteral("tester@example.jp"), &offered);
    dialogs.expectBox(sent.arg(QStringLiteral("tester@example.jp"), QStringLiteral("[テスト]様へのご案内")),
                      QStringLiteral("テスト送信"), Icon::Information, Buttons::Ok, Answer::Ok);
    form->mnuMailSendTest->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.shown.size() == 2; }, 30000));
    EXPECT_EQ(offered, QStringLiteral("info@example.jp"));
    ASSERT_EQ(server->messages(), 1);
    EXPECT_EQ(server->envelope(1).value("rcpt_tos").toArray(), QJsonArray({"tester@example.jp"}));
    EXPECT_EQ(str(decodeMessage(server->messagePath(1)).value("subject").toString()),
              str(QStringLiteral("[テスト]様へのご案内")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->mnuMailSendTest->isEnabled(); }, 1000));

    // An address the library refuses is refused before anything goes out.
    answerDialog(0, QStringLiteral("tester.example.jp"), &offered);
    dialogs.expectBox(
        QStringLiteral(
            "テストメールの送信先「tester.example.jp」は使えません（メールアドレスの形式ではありません）。"
            "アドレスを確かめてください。"),
        QStringLiteral("5"), Icon::Critical, Buttons::Ok, Answer::Ok);
    form->mnuMailSendTest->trigger();
    EXPECT_EQ(server->messages(), 1);

    // From the preview: the row shown.
    withPreview([&](MergePreviewWindow &p) {
        p.txtRow->setValue(3);
        answerDialog(0, QStringLiteral("tester@example.jp"), &offered);
        dialogs.expectBox(
            sent.arg(QStringLiteral("tester@example.jp"), QStringLiteral("[テスト]佐藤様へのご案内")),
            QStringLiteral("テスト送信"), Icon::Information, Buttons::Ok, Answer::Ok);
        p.cmdTestSend->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialogs.shown.size() == 4; }, 30000));
    });
    EXPECT_EQ(server->messages(), 2);
    for (int row = 1; row <= 5; ++row)
        EXPECT_EQ(form->recipientTable().cell(row, 0), QString()) << row;
    EXPECT_TRUE(QDir(state.root()).isEmpty()) << "a journal or a send count was written";
    dialogs.expectBox(QStringLiteral("本当にこのプログラムを終了して良いですか"),
                      QStringLiteral("Velmoraの終了"), Icon::Question, Buttons::OkCancel, Answer::Ok);
    form->close();
}
