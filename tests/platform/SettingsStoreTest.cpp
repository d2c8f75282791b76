#include "platform/SettingsStore.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QSettings>

#include <gtest/gtest.h>

TEST(SettingsStore, ValuesRoundTripAsTextInOneIniGroupPerSection)
{
    {
        SettingsStore s;
        s.setString(QStringLiteral("Form"), QStringLiteral("fontName"), QStringLiteral("ＭＳ ゴシック"));
        s.setNumber(QStringLiteral("Form"), QStringLiteral("left"), -120);
        s.setNumber(QStringLiteral("Form3"), QStringLiteral("width"), 10000.5);
        s.setBool(QStringLiteral("Form"), QStringLiteral("fontBold"), true);
    }
    SettingsStore s;
    EXPECT_TRUE(s.fileName().endsWith(QStringLiteral("raroZori.ini")));
    EXPECT_EQ(s.getString(QStringLiteral("Form"), QStringLiteral("fontName"), {}),
              QStringLiteral("ＭＳ ゴシック"));
    EXPECT_EQ(s.getString(QStringLiteral("Form"), QStringLiteral("left"), {}), QStringLiteral("-120"));
    EXPECT_EQ(s.getString(QStringLiteral("Form"), QStringLiteral("fontBold"), {}), QStringLiteral("True"));
    EXPECT_FLOAT_EQ(s.getNumber(QStringLiteral("Form3"), QStringLiteral("width"), 0), 10000.5f);
    EXPECT_TRUE(s.getBool(QStringLiteral("Form"), QStringLiteral("fontBold"), false));

    QFile ini(s.fileName());
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(ini.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("[Form3]")));
    EXPECT_TRUE(text.contains(QStringLiteral("fontBold=True")));
}

TEST(SettingsStore, TheFileAndAFolderMadeForItAreTheOwnersAlone)
{
    ScratchDir dir;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path(QStringLiteral("new/config")));
    const QString file = SettingsStore().fileName();
    const auto groupOrOthers = [](const QString &path) { return int(QFile::permissions(path) & 0x77); };
    EXPECT_EQ(groupOrOthers(dir.path(QStringLiteral("new"))) + groupOrOthers(QFileInfo(file).path()), 0);
    // A file left readable by others is made private at the next save.
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    SettingsStore().setString(QStringLiteral("Form"), QStringLiteral("fromName"), QStringLiteral("山田"));
    EXPECT_EQ(QFile::permissions(file),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, qEnvironmentVariable("XDG_CONFIG_HOME"));
}

TEST(SettingsStore, ValuesThatDoNotParseGiveTheDefault)
{
    SettingsStore s;
    const QString sec = QStringLiteral("Garbage");
    s.setString(sec, QStringLiteral("n"), QStringLiteral("abc"));
    s.setString(sec, QStringLiteral("huge"), QStringLiteral("1e300"));
    s.setString(sec, QStringLiteral("b"), QStringLiteral("yes"));
    s.setString(sec, QStringLiteral("i"), QStringLiteral("70000"));
    EXPECT_FLOAT_EQ(s.getNumber(sec, QStringLiteral("n"), 7350), 7350);
    EXPECT_FLOAT_EQ(s.getNumber(sec, QStringLiteral("huge"), 5), 5);
    EXPECT_FLOAT_EQ(s.getNumber(sec, QStringLiteral("absent"), 3975), 3975);
    EXPECT_TRUE(s.getBool(sec, QStringLiteral("b"), true));
    EXPECT_FALSE(s.getBool(sec, QStringLiteral("b"), false));
    EXPECT_EQ(s.getInt16(sec, QStringLiteral("i"), 0), 0);
    s.setString(sec, QStringLiteral("i"), QStringLiteral("12"));
    EXPECT_EQ(s.getInt16(sec, QStringLiteral("i"), 0), 12);
}
