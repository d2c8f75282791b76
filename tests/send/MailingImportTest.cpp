#include "ScriptedView.h"
#include "TestEnvironment.h"
#include "platform/formats/XlsWorkbook.h"
#include "send/Mailing.h"

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

} // namespace
