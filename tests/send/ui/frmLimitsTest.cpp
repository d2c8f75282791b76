#include "send/ui/frmLimits.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "app/Form1.h"
#include "platform/SettingsStore.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString Refusal = QStringLiteral("0以上の整数（半角）を入力してください。空欄または0は制限なしです");

QString accessibleName(QObject *o)
{
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(o);
    return a ? a->text(QAccessible::Name) : QString();
}

void choose(frmLimits &d, const QString &preset)
{
    d.Combo1->setCurrentIndex(d.Combo1->findText(preset));
}

TEST(frmLimits, PresetsFillTheBoxesEditingMakesThemCustomAndOkStores)
{
    SendLimits limits;
    ScriptedDialogs dialogs;
    frmLimits d(limits, dialogs, nullptr);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("送信制限"));
    EXPECT_EQ(d.Combo1->currentText(), QStringLiteral("制限なし"));

    choose(d, QStringLiteral("Microsoft 365"));
    EXPECT_EQ(QStringList({d.Text1->text(), d.Text2->text(), d.Text3->text()}),
              QStringList({"30", "", "10000"}));
    d.Text2->setText(QStringLiteral("100"));
    EXPECT_EQ(d.Combo1->currentText(), QStringLiteral("カスタム"));
    EXPECT_EQ(d.Text1->text(), QStringLiteral("30"));
    choose(d, QStringLiteral("レンタルサーバー（1時間あたり）"));
    EXPECT_EQ(QStringList({d.Text1->text(), d.Text2->text(), d.Text3->text()}), QStringList({"", "300", ""}));
    d.Text2->setText(QStringLiteral("150"));
    d.cmdOK->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(limits, (SendLimits{QStringLiteral("カスタム"), 0, 150, 0}));
}

TEST(frmLimits, BadBoxesAreRefusedAndCancelKeepsTheLimits)
{
    SendLimits limits{QStringLiteral("Google Workspace"), 0, 0, 2000};
    ScriptedDialogs dialogs;
    frmLimits d(limits, dialogs, nullptr);
    d.show();
    QApplication::setActiveWindow(&d);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));

    // Leaving a box checks it; the refused box gets its last good text back and keeps the focus.
    d.Text3->setFocus();
    d.Text3->setText(QStringLiteral("-1"));
    dialogs.expectBox(Refusal, QString(), Icon::None, Buttons::Ok, Answer::Ok);
    d.Text1->setFocus(Qt::TabFocusReason);
    QTest::qWait(20);
    dialogs.verifyDone();
    EXPECT_EQ(d.Text3->text(), QStringLiteral("2000"));
    EXPECT_TRUE(d.Text3->hasFocus());

    for (const char *bad : {"2.5", "abc", "３０", "99999999999"}) {
        d.Text1->setText(QString::fromUtf8(bad));
        dialogs.expectBox(Refusal, QString(), Icon::None, Buttons::Ok, Answer::Ok);
        d.cmdOK->click();
        dialogs.verifyDone();
        EXPECT_EQ(d.Text1->text(), QString()) << bad;
        EXPECT_NE(d.result(), QDialog::Accepted) << bad;
    }
    EXPECT_EQ(limits, (SendLimits{QStringLiteral("Google Workspace"), 0, 0, 2000}));

    d.Text1->setText(QStringLiteral(" 10 "));
    d.cmdCancel->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(limits, (SendLimits{QStringLiteral("Google Workspace"), 0, 0, 2000}));
}

TEST(frmLimits, ControlsAreNamedForScreenReadersAndTheMainWindowKeepsTheLimits)
{
    SendLimits limits;
    ScriptedDialogs dialogs;
    frmLimits d(limits, dialogs, nullptr);
    const std::pair<QWidget *, const char *> named[] = {{d.Text1, "1分あたり"},
                                                        {d.Text2, "1時間あたり"},
                                                        {d.Text3, "1日あたり"},
                                                        {d.cmdOK, "OK"},
                                                        {d.cmdCancel, "ｷｬﾝｾﾙ"}};
    for (const auto &[w, name] : named)
        EXPECT_EQ(accessibleName(w), QString::fromUtf8(name)) << w->objectName().toStdString();
    // On Linux a list box is read by its choice and labelled by the relation to its caption.
    EXPECT_EQ(d.Combo1->accessibleName(), QStringLiteral("メールサービス"));
    const auto labels = QAccessible::queryAccessibleInterface(d.Combo1)->relations(QAccessible::Label);
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.first().first->object(), d.Label1);
    for (QLabel *l : d.findChildren<QLabel *>())
        EXPECT_EQ(l->accessibleName(), QString()) << l->objectName().toStdString();

    SettingsStore settings;
    writeSendLimits(settings, {QStringLiteral("Microsoft 365"), 30, 0, 10000});
    {
        Form1 f(settings, dialogs, QString());
        const QList<QAction *> items = f.mnuMailSend->actions();
        ASSERT_EQ(items.indexOf(f.mnuMailSendLimits), items.indexOf(f.mnuMailSendOption) + 1);
        EXPECT_EQ(f.mnuMailSendLimits->text(), QStringLiteral("送信制限(&L)..."));
        EXPECT_EQ(f.mailing().sendLimits(), (SendLimits{QStringLiteral("Microsoft 365"), 30, 0, 10000}));
        f.mailing().setSendLimits({QStringLiteral("カスタム"), 5, 0, 0});
    }
    EXPECT_EQ(readSendLimits(settings), (SendLimits{QStringLiteral("カスタム"), 5, 0, 0}));
}

} // namespace
