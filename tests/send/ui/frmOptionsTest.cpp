#include "send/ui/frmOptions.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <QCheckBox>

#include <gtest/gtest.h>

using Icon = UserDialogs::Icon;
using Buttons = UserDialogs::Buttons;
using Answer = UserDialogs::Answer;

namespace
{

const QString IntervalMessage = QStringLiteral("0～60までの数値（半角）を入力してください");
const QString HoursMessage = QStringLiteral("0～24までの数値（半角）を入力してください");

class frmOptionsTest : public ::testing::Test
{
  protected:
    qint16 interval = 7;
    qint16 hours = 0;
    ScriptedDialogs dialogs;
};

TEST_F(frmOptionsTest, ShowsTheValuesAndStoresWholeNumbersOnOk)
{
    frmOptions d(interval, hours, dialogs, nullptr);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("送信ｵﾌﾟｼｮﾝ"));
    EXPECT_EQ(d.Text1->text(), QStringLiteral("7"));
    EXPECT_EQ(d.Text2->text(), QStringLiteral("0"));
    for (QWidget *w : std::initializer_list<QWidget *>{d.Text1, d.Text2, d.cmdOK, d.cmdCancel})
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
    // A check box is named by its caption as read aloud: without the access key's "(&B)".
    for (QCheckBox *c : {d.chkBccSelf, d.chkIso2022jp})
        EXPECT_FALSE(c->accessibleName().contains(u'&') || c->accessibleName().contains(QStringLiteral("(B)")) ||
                     c->accessibleName().contains(QStringLiteral("(J)")))
            << c->accessibleName().toStdString();

    // The hours as opened (0, never set) pass OK unchanged, so the interval alone can be set.
    d.Text1->setText(QStringLiteral("2.5"));
    d.cmdOK->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(interval, 2);
    EXPECT_EQ(hours, 0);

    frmOptions again(interval, hours, dialogs, nullptr);
    again.Text1->setText(QStringLiteral("60"));
    again.Text2->setText(QStringLiteral("24"));
    again.cmdOK->click();
    EXPECT_EQ(interval, 60);
    EXPECT_EQ(hours, 24);
}

TEST_F(frmOptionsTest, OkRefusesAnUncheckedValueAndCancelChangesNothing)
{
    frmOptions d(interval, hours, dialogs, nullptr);
    d.Text1->setText(QStringLiteral("61"));
    dialogs.expectBox(IntervalMessage, QString(), Icon::None, Buttons::Ok, Answer::Ok);
    d.cmdOK->click();
    EXPECT_EQ(d.Text1->text(), QStringLiteral("0"));
    EXPECT_NE(d.result(), QDialog::Accepted);
    EXPECT_EQ(interval, 7);

    d.Text1->setText(QStringLiteral("5"));
    d.Text2->setText(QStringLiteral("25"));
    dialogs.expectBox(HoursMessage, QString(), Icon::None, Buttons::Ok, Answer::Ok);
    d.cmdOK->click();
    EXPECT_EQ(d.Text2->text(), QStringLiteral("1"));
    EXPECT_EQ(d.Text1->text(), QStringLiteral("5"));
    EXPECT_EQ(interval, 7);
    EXPECT_EQ(hours, 0);

    d.Text1->setText(QStringLiteral("30"));
    d.cmdCancel->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(interval, 7);
}

TEST_F(frmOptionsTest, LeavingABoxChecksItButLeavingForCancelDoesNot)
{
    frmOptions d(interval, hours, dialogs, nullptr);
    d.show();
    QApplication::setActiveWindow(&d);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&d));

    d.Text1->setFocus();
    d.Text1->setText(QStringLiteral("abc"));
    dialogs.expectBox(IntervalMessage, QString(), Icon::None, Buttons::Ok, Answer::Ok);
    d.Text2->setFocus(Qt::TabFocusReason);
    QTest::qWait(20);
    dialogs.verifyDone();
    EXPECT_EQ(d.Text1->text(), QStringLiteral("0"));
    EXPECT_TRUE(d.Text1->hasFocus());

    d.Text2->setFocus();
    d.Text2->setText(QStringLiteral("0"));
    d.cmdCancel->setFocus(Qt::MouseFocusReason);
    QTest::qWait(20);
    EXPECT_EQ(d.Text2->text(), QStringLiteral("0")); // no box: the script fails on any
}

} // namespace
