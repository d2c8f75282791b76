#include "ScriptedView.h"
#include "TestEnvironment.h"
#include "platform/formats/XlsWorkbook.h"
#include "send/Mailing.h"
#include "send/ScheduledRuns.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

namespace
{

// A long import runs while the window answers, and the stop button ends it with the table loaded
// before untouched.
TEST(MailingImport, AStoppedImportKeepsThePreviousTable)
{
    ScratchDir dir;
    ScriptedView view;
    Mailing mailing(view);
    ASSERT_EQ(mailing.AddressRead(dir.write("a.csv", "mail,name\r\na@example.jp,A\r\n")), 0);

    // A workbook reader that never answers.
    const QString hanging = dir.write("reader.sh", "#!/bin/sh\nexec sleep 60\n");
    QFile::setPermissions(hanging, QFile::ReadOwner | QFile::ExeOwner);
    const QString reader = XlsWorkbook::readerProgram();
    XlsWorkbook::setReaderProgram(hanging);
    MailingView::Activity during = MailingView::Activity::Idle;
    QTimer::singleShot(200, [&] {
        during = view.activity;
        EXPECT_TRUE(mailing.busy());
        mailing.stop();
    });
    EXPECT_EQ(mailing.AddressRead(dir.write("b.xls", "not read")), -1);
    XlsWorkbook::setReaderProgram(reader);

    EXPECT_EQ(during, MailingView::Activity::Importing);
    EXPECT_EQ(view.activity, MailingView::Activity::Idle);
    EXPECT_EQ(view.status, QStringLiteral("読込を中止しました"));
    EXPECT_EQ(mailing.table().cell(1, 1), QStringLiteral("a@example.jp"));
    EXPECT_EQ(view.addresses, QStringList({QStringLiteral("a@example.jp")}));
    EXPECT_FALSE(mailing.busy());
}

// A run handed to the session's timer whose timer went (a restart, a logout) is told at the next
// start, once, and stays listed.
TEST(MailingStart, AHandedOverRunThatNeverStartedIsToldOnce)
{
    ScratchDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.root()));
    const QString run = ScheduledRuns::folder() + QStringLiteral("/20261209-0900-abcdef");
    QDir().mkpath(run);
    state.write(
        run.mid(state.root().size() + 1) + QStringLiteral("/run.json"),
        R"({"at":"2026-12-09T09:00:00","unit":"velmora-send-20261209-0900-abcdef","source":"/home/taro/顧客.csv"})");
    ScriptedView view;
    Mailing mailing(view);
    view.dialogs.expectBox(
        QStringLiteral(
            "Velmora を閉じても送信するよう予約した次の送信は、開始されませんでした（ログアウト"
            "や再起動で予約が消えた可能性があります）。\r\n\r\n・2026/12/09 09:00　顧客.csv\r\n\r\n"
            "「予約した送信(Y)...」の一覧で確かめて、もう一度予約するか送信してください。"),
        QStringLiteral("予約した送信"), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok,
        UserDialogs::Answer::Ok);
    mailing.tellLostScheduledRuns();
    mailing.tellLostScheduledRuns(); // told already: no box
    ASSERT_EQ(ScheduledRuns::list().size(), 1u);
    EXPECT_EQ(ScheduledRuns::list().front().state, ScheduledRun::State::Lost);
    qunsetenv("XDG_STATE_HOME");
}

} // namespace
