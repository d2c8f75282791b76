#include "ManualClock.h"
#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "send/ScheduledRuns.h"
#include "send/ui/frmSchedule.h"
#include "send/ui/frmScheduled.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTableWidget>

#include <gtest/gtest.h>

namespace
{
QString accessibleName(QObject *o)
{
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(o);
    return a ? a->text(QAccessible::Name) : QString();
}
} // namespace

// The start at a date and time: named controls, a time that has begun refused, the next minute
// taken; the list of handed-over runs shows one that never ran and drops its record.
TEST(frmSchedule, ControlsAreNamedAPastTimeIsRefusedAndALostRunIsListed)
{
    ManualClock clock{QDateTime(QDate(2026, 12, 9), QTime(8, 59, 30))};
    ScriptedDialogs dialogs;
    frmSchedule d(clock, dialogs, nullptr);
    EXPECT_EQ(accessibleName(d.dteStart), QStringLiteral("送信を始める日時"));
    EXPECT_EQ(accessibleName(d.chkHandOff), QStringLiteral("Velmora を閉じても送信する"));
    EXPECT_FALSE(accessibleName(d.chkAskWhenLate).isEmpty());
    EXPECT_EQ(d.at(), QDateTime(QDate(2026, 12, 9), QTime(9, 0)));
    d.dteStart->setDateTime(QDateTime(QDate(2026, 12, 9), QTime(8, 59)));
    dialogs.expectBox(QStringLiteral("送信を始める日時には、今より後の日時（分まで）を指定してください。"), QString(),
                      UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok, UserDialogs::Answer::Ok);
    d.cmdOK_Click();
    EXPECT_NE(d.result(), QDialog::Accepted);

    ScratchDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
    const QString run = ScheduledRuns::folder() + QStringLiteral("/20261209-0900-abcdef");
    QDir().mkpath(run);
    state.write(run.mid(state.root().size() + 1) + QStringLiteral("/run.json"),
                R"({"at":"2026-12-09T09:00:00","unit":"velmora-send-20261209-0900-abcdef","source":"/home/taro/顧客.csv"})");
    frmScheduled list(dialogs, nullptr);
    ASSERT_EQ(list.grdRuns->rowCount(), 1);
    EXPECT_EQ(list.grdRuns->item(0, 0)->text(), QStringLiteral("2026/12/09 09:00"));
    EXPECT_EQ(list.grdRuns->item(0, 1)->text(), QStringLiteral("顧客.csv"));
    EXPECT_TRUE(list.grdRuns->item(0, 2)->text().startsWith(QStringLiteral("実行されませんでした")));
    EXPECT_EQ(accessibleName(list.grdRuns), QStringLiteral("Velmora を閉じても送信する予約"));
    EXPECT_FALSE(list.cmdCancelRun->isEnabled());
    ASSERT_TRUE(list.cmdForget->isEnabled());
    list.cmdForget->click();
    EXPECT_EQ(list.grdRuns->rowCount(), 0);
    EXPECT_FALSE(QDir(run).exists());
    qunsetenv("XDG_STATE_HOME");
}
