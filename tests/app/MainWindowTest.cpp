#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "app/Form1.h"
#include "app/Main.h"
#include "platform/SettingsStore.h"
#include "platform/Twips.h"
#include "windowkit/Form3.h"
#include "windowkit/LayoutRules.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString BodyFilter =
    QStringLiteral("テキストファイル (*.txt)|*.txt|HTMLファイル (*.htm;*.html)|*.htm;*.html");

class MainWindow : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        settings.remove(QStringLiteral("Form"), QStringLiteral("left"));
        for (const char *k : {"left", "top", "width", "height", "fontName", "fontSize", "fontBold"})
            settings.remove(QStringLiteral("Form"), QString::fromLatin1(k));
        registerFontSubstitutes();
    }
    void close(Form1 &f)
    {
        dialogs.expectBox(QStringLiteral("本当にこのプログラムを終了して良いですか"),
                          QStringLiteral("Velmoraの終了"), Icon::Question, Buttons::OkCancel, Answer::Ok);
        f.close();
    }
    QRect twips(QWidget *w) const
    {
        const QRect g = w->geometry();
        return {pixelsToTwips(g.x()), pixelsToTwips(g.y()), pixelsToTwips(g.width()),
                pixelsToTwips(g.height())};
    }

    ScratchDir dir;
    SettingsStore settings;
    ScriptedDialogs dialogs;
};

} // namespace

TEST(MainWindowLayout, GrowsRightAndDownAndNeverShrinksBelowTheBase)
{
    const MainWindowLayout big = mainWindowLayout(9000, 9000);
    EXPECT_EQ(big.text1.width, 7065);
    EXPECT_EQ(big.text2.width, 7065);
    EXPECT_EQ(big.text4, (TwipsGeometry{120, 2760, 8625, 3735}));
    EXPECT_EQ(big.line1Right, 8730);
    EXPECT_EQ(big.command1, (TwipsGeometry{6050, 7320, 1215, 375}));
    EXPECT_EQ(big.command3, (TwipsGeometry{7530, 7320, 1215, 375}));
    EXPECT_EQ(big.text5.top, 6600);
    EXPECT_EQ(big.command4.top, 6600);

    const MainWindowLayout base = mainWindowLayout(7350, 7560);
    const MainWindowLayout small = mainWindowLayout(6000, 5000);
    EXPECT_EQ(small.text4, base.text4);
    EXPECT_EQ(small.command1, (TwipsGeometry{4400, 5880, 1215, 375}));
    // Widening alone changes no top or height; heightening alone no left or width.
    const MainWindowLayout wide = mainWindowLayout(9000, 7560);
    const MainWindowLayout tall = mainWindowLayout(7350, 9000);
    EXPECT_EQ(wide.text4.height, base.text4.height);
    EXPECT_EQ(wide.command3.top, base.command3.top);
    EXPECT_EQ(tall.text4.width, base.text4.width);
    EXPECT_EQ(tall.command5, base.command5);
}

TEST_F(MainWindow, ControlsFollowTheWindowAndCarryAccessibleNames)
{
    Form1 f(settings, dialogs, QString());
    f.show();
    // The rule is written for the outer size, frame included.
    const QSize frame = f.frameGeometry().size() - f.size();
    f.resize(twipsToPixels(9000) - frame.width(), twipsToPixels(9000) - frame.height());
    EXPECT_EQ(twips(f.Text1).width(), 7065);
    EXPECT_EQ(twips(f.Text4), QRect(120, 2760, 8625, 3735));
    EXPECT_EQ(twips(f.Command1).topLeft(), QPoint(6045, 7320)); // 6050 twips rounds to whole pixels
    EXPECT_EQ(twips(f.Command8).topLeft(), QPoint(120, 5880));
    f.resize(twipsToPixels(6000), twipsToPixels(5000));
    EXPECT_EQ(twips(f.Text4), QRect(120, 2760, 6975, 2295));
    EXPECT_EQ(twips(f.Command3).topLeft(), QPoint(5880, 5880));

    // The attachment box starts empty; its instruction is only a placeholder.
    EXPECT_EQ(f.Text5->toPlainText(), QString());
    EXPECT_EQ(f.Text5->placeholderText(),
              QStringLiteral("添付ファイル名(指定不要)　複数ファイル指定はスペース無しのカンマで区切る"));
    EXPECT_EQ(f.Text3->text(), QStringLiteral("件名"));
    EXPECT_EQ(f.Text4->toPlainText(), QStringLiteral("本文"));

    auto name = [](QObject *o) {
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(o);
        return a ? a->text(QAccessible::Name) : QString();
    };
    EXPECT_EQ(name(f.Text1), QStringLiteral("メールサーバ名"));
    EXPECT_EQ(name(f.Text3), QStringLiteral("件名"));
    EXPECT_EQ(name(f.Command6), QStringLiteral("本文読込..."));
    for (QWidget *w : f.centralWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w->isVisibleTo(&f)) {
            EXPECT_FALSE(name(w).isEmpty()) << w->objectName().toStdString();
        }
    }

    // Tab walks the design order.
    QStringList order;
    for (QWidget *w = f.Text1; order.size() < 5; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            order << w->objectName();
    EXPECT_EQ(order, QStringList({"Text1", "Text2", "Text3", "Text4", "Command1"}));
    close(f);
}

TEST_F(MainWindow, MenusCarryTheirItemsAndShortcuts)
{
    Form1 f(settings, dialogs, QString());
    QStringList menus;
    for (QAction *a : f.menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus, QStringList({"ﾌｧｲﾙ(&F)", "編集(&E)", "表示(&V)", "送信(&R)", "ﾍﾙﾌﾟ(&H)"}));
    const std::pair<const char *, QKeySequence> shortcuts[] = {
        {"mnuFileAddressRead", QKeySequence(QStringLiteral("Ctrl+A"))},
        {"mnuFileTextRead", QKeySequence(QStringLiteral("Ctrl+T"))},
        {"mnuFileIncSet", QKeySequence(QStringLiteral("Ctrl+I"))},
        {"mnuEditCut", QKeySequence(QStringLiteral("Ctrl+X"))},
        {"mnuEditCopy", QKeySequence(QStringLiteral("Ctrl+C"))},
        {"mnuEditPast", QKeySequence(QStringLiteral("Ctrl+V"))},
        {"mnuEditDelete", QKeySequence(QStringLiteral("Ctrl+D"))},
        {"mnuViewFont", QKeySequence()},
    };
    for (const auto &[item, keys] : shortcuts) {
        auto *a = f.findChild<QAction *>(QString::fromLatin1(item));
        ASSERT_NE(a, nullptr) << item;
        EXPECT_EQ(a->shortcut(), keys) << item;
    }
    EXPECT_EQ(f.mnuMailSend->actions().size(), 13);
    EXPECT_EQ(f.mnuMailSendBounces->text(), QStringLiteral("不達を確認(&B)..."));
    EXPECT_EQ(f.mnuMailSendMailbox->text(), QStringLiteral("受信箱の設定(&M)..."));
    EXPECT_EQ(f.mnuMailSendAt->text(), QStringLiteral("日時を指定して送信(&D)..."));
    EXPECT_EQ(f.mnuMailSendSignIn->text(), QStringLiteral("サインインの設定(&G)..."));
    EXPECT_EQ(f.mnuMailSendCheck->text(), QStringLiteral("送信前の確認(&K)..."));
    EXPECT_EQ(f.mnuMailSendTest->text(), QStringLiteral("テスト送信(&E)..."));
    EXPECT_EQ(f.mnuMailSendOption->text(), QStringLiteral("送信ｵﾌﾟｼｮﾝ(&O)..."));
    EXPECT_EQ(f.mnuHelpVersion->text(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)..."));

    // ctlEnabled switches the inputs and all five menus as one group.
    f.ctlEnabled(false);
    EXPECT_FALSE(f.Text4->isEnabled());
    EXPECT_FALSE(f.mnuHelp->menuAction()->isEnabled());
    f.ctlEnabled(true);
    EXPECT_TRUE(f.mnuEdit->menuAction()->isEnabled());
    close(f);
}

TEST_F(MainWindow, BodyLoadsWholeOrNotAtAll)
{
    Form1 f(settings, dialogs, QString());
    const QString file =
        dir.write(QStringLiteral("本文.html"), toCp932(QStringLiteral("<%氏名%>様\nこんにちは")));
    dialogs.expectOpenFile(BodyFilter, file);
    f.Command6->click();
    EXPECT_EQ(f.bodyText(), QStringLiteral("<%氏名%>様\r\nこんにちは\r\n"));
    EXPECT_EQ(f.statusText(), QStringLiteral("本文を読み込みました"));
    EXPECT_FALSE(f.CheckHTML->isChecked());

    // A file that cannot be read is reported and leaves the body as it was.
    const QString bad = dir.write(QStringLiteral("bad.txt"), "x\n\xff\xfe\n");
    dialogs.expectBox(QStringLiteral("2行目に文字として読めないバイトがあります。"
                                     "Shift_JIS または UTF-8 のテキストファイルか確認してください。\n") +
                          bad,
                      QStringLiteral("1001"), Icon::Critical, Buttons::Ok, Answer::Ok);
    dialogs.expectOpenFile(BodyFilter, bad);
    f.findChild<QAction *>(QStringLiteral("mnuFileTextRead"))->trigger();
    EXPECT_EQ(f.bodyText(), QStringLiteral("<%氏名%>様\r\nこんにちは\r\n"));
    EXPECT_EQ(f.statusText(), QString());

    // Cancel changes nothing.
    dialogs.expectOpenFile(BodyFilter, QString());
    f.Command6->click();
    EXPECT_EQ(f.bodyText(), QStringLiteral("<%氏名%>様\r\nこんにちは\r\n"));
    close(f);
}

TEST_F(MainWindow, EditCommandsActOnTheBodyWhicheverFieldHasTheFocus)
{
    Form1 f(settings, dialogs, QString());
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QClipboard *clipboard = QGuiApplication::clipboard();
    f.Text4->setPlainText(QStringLiteral("一行目\n二行目"));
    QTextCursor c = f.Text4->textCursor();
    c.setPosition(1);
    c.setPosition(5, QTextCursor::KeepAnchor);
    f.Text4->setTextCursor(c);
    f.Text3->setFocus();
    f.Text3->selectAll();
    QTest::keyClick(f.Text3, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard->text(), QStringLiteral("行目\r\n二"));

    // Ctrl+V in the subject pastes into the body, replacing its selection.
    clipboard->setText(QStringLiteral("X"));
    QTest::keyClick(f.Text3, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(f.bodyText(), QStringLiteral("一X行目"));
    EXPECT_EQ(f.Text3->text(), QStringLiteral("件名"));

    // Delete keeps what it removed on the clipboard.
    c = f.Text4->textCursor();
    c.setPosition(0);
    c.setPosition(2, QTextCursor::KeepAnchor);
    f.Text4->setTextCursor(c);
    QTest::keyClick(f.Text3, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(clipboard->text(), QStringLiteral("一X"));
    EXPECT_EQ(f.bodyText(), QStringLiteral("行目"));

    // A picture on the clipboard cannot be pasted.
    auto *picture = new QMimeData;
    picture->setImageData(QImage(4, 4, QImage::Format_RGB32));
    clipboard->setMimeData(picture);
    dialogs.expectBox(QStringLiteral("本文に貼り付けできない形式のデータです"),
                      QStringLiteral("本文の貼り付け"), Icon::Warning, Buttons::Ok, Answer::Ok);
    f.mnuEditPast->trigger();
    EXPECT_EQ(f.bodyText(), QStringLiteral("行目"));

    // Clear asks first; Cancel keeps the body, OK moves it whole to the clipboard.
    const QString clear =
        QStringLiteral("本文をクリアして良いですか？クリアすると本文はクリップボードに保存されます");
    dialogs.expectBox(clear, QStringLiteral("本文のクリア"), Icon::Question, Buttons::OkCancel,
                      Answer::Cancel);
    QTest::keyClick(f.Text1, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(f.bodyText(), QStringLiteral("行目"));
    dialogs.expectBox(clear, QStringLiteral("本文のクリア"), Icon::Question, Buttons::OkCancel, Answer::Ok);
    f.mnuEditCut->trigger();
    EXPECT_EQ(f.bodyText(), QString());
    EXPECT_EQ(clipboard->text(), QStringLiteral("行目"));
    close(f);
}

TEST_F(MainWindow, FontDialogChangesFourValuesAndCancelNone)
{
    settings.setString(QStringLiteral("Form"), QStringLiteral("fontName"), QStringLiteral("存在しない書体"));
    Form1 f(settings, dialogs, QString());
    // A font the machine lacks keeps its stored name; a substitute draws it.
    EXPECT_EQ(f.Text4->font().family(), QStringLiteral("存在しない書体"));
    const UserDialogs::FontChoice current{QStringLiteral("存在しない書体"), false, false, 9};
    dialogs.expectFont(current, std::nullopt);
    f.cmdTextFont->click();
    EXPECT_EQ(f.Text4->font().family(), QStringLiteral("存在しない書体"));

    QFont underlined = f.Text4->font();
    underlined.setUnderline(true);
    f.Text4->setFont(underlined);
    dialogs.expectFont(current, UserDialogs::FontChoice{QStringLiteral("IPAGothic"), true, true, 12.5f});
    f.mnuViewFont->trigger();
    EXPECT_EQ(f.Text4->font().family(), QStringLiteral("IPAGothic"));
    EXPECT_TRUE(f.Text4->font().bold() && f.Text4->font().italic() && f.Text4->font().underline());
    EXPECT_EQ(f.Text4->font().pointSizeF(), 12.5);
    close(f);
    EXPECT_EQ(settings.getString(QStringLiteral("Form"), QStringLiteral("fontName"), {}),
              QStringLiteral("IPAGothic"));
    EXPECT_EQ(settings.getString(QStringLiteral("Form"), QStringLiteral("fontSize"), {}),
              QStringLiteral("12.5"));
}

TEST_F(MainWindow, MergePreviewNeedsRecipientsAndShowsRowOne)
{
    Form1 f(settings, dialogs, QString());
    const QString warning = QStringLiteral("先に宛先、本文の読み込みをおこなってください");
    dialogs.expectBox(warning, QStringLiteral("Velmora"), Icon::Warning, Buttons::Ok, Answer::Ok);
    f.Command7->click();

    const QString csv =
        dir.write(QStringLiteral("r.csv"), toCp932(QStringLiteral("mail,氏名\r\na@example.jp,山田\r\n")));
    ASSERT_EQ(f.AddressRead(csv), 0);
    f.Text4->setPlainText(QStringLiteral("<%氏名%>様\nよろしく"));
    QString caption, shown;
    QTimer::singleShot(0, [&] {
        auto *viewer = qobject_cast<Form3 *>(QApplication::activeModalWidget());
        ASSERT_NE(viewer, nullptr);
        caption = viewer->windowTitle();
        shown = viewer->Text1->toPlainText();
        viewer->Command1->click();
    });
    f.mnuViewInsertCheck->trigger();
    EXPECT_EQ(caption, QStringLiteral("1件目の差込みを表示中"));
    EXPECT_EQ(shown, QStringLiteral("山田様\nよろしく"));
    close(f);
}

TEST_F(MainWindow, StatusLineKeepsItsTextWhileMenusAreHovered)
{
    const QString csv = dir.write(QStringLiteral("r.csv"), "mail\r\na@example.jp\r\n");
    Form1 f(settings, dialogs, csv);
    f.show();
    const QString loaded = QStringLiteral("読込完了：1件中、正常1件、エラー0件。");
    ASSERT_EQ(f.statusText(), loaded);
    f.mnuFile->popup(f.mapToGlobal(QPoint(0, 0)));
    f.mnuFile->setActiveAction(f.mnuFileTextRead);
    QStatusTipEvent tip{QString()};
    QApplication::sendEvent(&f, &tip);
    f.mnuFile->hide();
    EXPECT_EQ(f.statusText(), loaded);
    EXPECT_TRUE(f.StatusText->isVisible());
    close(f);
}

TEST_F(MainWindow, PlacementOffEveryScreenComesBackOnThePrimaryOne)
{
    settings.setString(QStringLiteral("Form"), QStringLiteral("left"), QStringLiteral("1e30"));
    settings.setString(QStringLiteral("Form"), QStringLiteral("top"), QStringLiteral("-1e30"));
    settings.setString(QStringLiteral("Form"), QStringLiteral("width"), QStringLiteral("9000"));
    Form1 f(settings, dialogs, QString());
    f.show();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.intersects(f.frameGeometry()));
    EXPECT_EQ(f.frameGeometry().width(), twipsToPixels(9000));
    close(f);
}
