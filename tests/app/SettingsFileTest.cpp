#include "ScriptedDialogs.h"
#include "TestEnvironment.h"
#include "app/Form1.h"
#include "app/MergePreviewWindow.h"
#include "platform/SettingsStore.h"
#include "results/ui/Form2.h"
#include "windowkit/Form3.h"

#include <QFile>

#include <gtest/gtest.h>

// A returning user's settings file, odd values and all, read by every window that keeps settings
// and written back when they close: the file comes out byte for byte as version 1.7.0 wrote it
// (returning-user-saved.ini is that version's output for returning-user.ini), with the two mail
// options of this version (bccSelf, iso2022jp) beside them.
TEST(SettingsFile, EveryWindowReadsAndWritesItsSectionAsBefore)
{
    const QString path = SettingsStore().fileName();
    QFile input(QStringLiteral(VELMORA_TEST_DATA "/settings/returning-user.ini"));
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(input.readAll());
    }
    {
        SettingsStore settings;
        ScriptedDialogs dialogs;
        Form1 main(settings, dialogs, QString());
        {
            Form2 list(settings, dialogs, main.recipientTable(), QString(), &main);
        }
        {
            Form3 viewer(settings, &main);
        }
        {
            MergePreviewWindow preview(settings, &main, main.recipientTable(), SendInputs{});
        }
        dialogs.expectBox(QStringLiteral("本当にこのプログラムを終了して良いですか"),
                          QStringLiteral("Velmoraの終了"), UserDialogs::Icon::Question,
                          UserDialogs::Buttons::OkCancel, UserDialogs::Answer::Ok);
        ASSERT_TRUE(main.close());
    }
    QFile written(path), expected(QStringLiteral(VELMORA_TEST_DATA "/settings/returning-user-saved.ini"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    ASSERT_TRUE(expected.open(QIODevice::ReadOnly));
    EXPECT_EQ(bytes.toStdString(), expected.readAll().toStdString());
}
