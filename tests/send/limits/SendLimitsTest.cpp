#include "send/limits/SendLimits.h"
#include "ManualClock.h"
#include "TestEnvironment.h"
#include "platform/SettingsStore.h"
#include "send/limits/ProviderPacer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

namespace
{

const QDateTime Start(QDate(2024, 5, 13), QTime(10, 0));
const SendAccount Account{QStringLiteral("smtp.example.jp"), QStringLiteral("taro"),
                          QStringLiteral("taro@example.jp")};

std::unique_ptr<ProviderPacer> openPacer(const SendLimits &limits, const QDateTime &now,
                                         const QString &folder, const SendAccount &account = Account)
{
    auto opened = ProviderPacer::open(limits, account, now, folder);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.failure().description.toStdString());
    return opened.ok() ? std::move(opened.value()) : nullptr;
}

int modeOf(const QString &path)
{
    struct stat st {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

TEST(ProviderPacer, WindowsOfMinuteHourAndDayHoldTheNextMailToTheSecondItMayGo)
{
    ScratchDir dir;
    ManualClock clock(Start);
    auto pacer = openPacer({QString(), 30, 40, 50}, clock.now(), dir.root());
    ASSERT_TRUE(pacer);
    EXPECT_EQ(pacer->allowance(clock.now()).now, 30);
    for (int i = 0; i < 30; ++i) {
        pacer->sent(clock.now());
        clock.advance(100);
    }
    // The first mail left at 10:00:00.000, the second at .100: the 31st waits for the first, and
    // only one more may go until the second is a whole minute old (counted from 10:00:01).
    SendPacer::Allowance a = pacer->allowance(clock.now());
    EXPECT_EQ(a.now, 0);
    EXPECT_EQ(a.nextAt, Start.addSecs(60));
    EXPECT_FALSE(a.daily);
    EXPECT_EQ(pacer->allowance(Start.addMSecs(59999)).now, 0);
    EXPECT_EQ(pacer->allowance(Start.addMSecs(60500)).now, 1);
    EXPECT_EQ(pacer->allowance(Start.addSecs(64)).now, 10); // the hour allows 10 more

    for (int i = 0; i < 10; ++i)
        pacer->sent(Start.addSecs(64));
    a = pacer->allowance(Start.addSecs(65));
    EXPECT_EQ(a.now, 0);
    EXPECT_EQ(a.nextAt, Start.addSecs(3600));
    EXPECT_FALSE(a.daily);

    EXPECT_EQ(pacer->allowance(Start.addSecs(3600)).now, 1);
    EXPECT_EQ(pacer->allowance(Start.addSecs(3604)).now, 10); // the day allows 10 more
    for (int i = 0; i < 10; ++i)
        pacer->sent(Start.addSecs(3604));
    a = pacer->allowance(Start.addSecs(3605));
    EXPECT_EQ(a.now, 0);
    EXPECT_EQ(a.nextAt, Start.addSecs(86400));
    EXPECT_TRUE(a.daily);

    // The clock set back an hour: the latest mails count as sent now, the wait is not an hour longer.
    auto minute =
        openPacer({QString(), 2, 0, 0}, Start, dir.root(), {QStringLiteral("other.example.jp"), {}, {}});
    minute->sent(Start);
    minute->sent(Start);
    a = minute->allowance(Start.addSecs(-3600));
    EXPECT_EQ(a.now, 0);
    EXPECT_EQ(a.nextAt, Start.addSecs(-3600 + 60));
}

TEST(ProviderPacer, ANewPacerOverTheSameFolderCountsTheLastDayOnly)
{
    ScratchDir dir;
    const QString folder = dir.path(QStringLiteral("state/velmora"));
    const SendLimits perDay{QString(), 0, 0, 10};
    const QDateTime yesterday = Start.addSecs(-25 * 3600);
    {
        auto old = openPacer(perDay, yesterday, folder);
        for (int i = 0; i < 4; ++i)
            old->sent(yesterday);
    }
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther));

    // A run that crashed: mails one second apart reached the file as they went, and its process,
    // with its hold on the record, is gone.
    auto first = openPacer(perDay, Start, folder);
    for (int i = 0; i < 6; ++i)
        first->sent(Start.addSecs(i));
    const QString file = first->path();
    first.reset();
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("damaged line\n1715562"); // a line cut short by the crash
    }

    // The same account, spelled with other case: the 6 of today count, the 4 of yesterday do not.
    auto second = openPacer(
        perDay, Start.addSecs(3600), folder,
        {QStringLiteral("SMTP.example.jp"), QStringLiteral("taro"), QStringLiteral("Taro@Example.jp")});
    EXPECT_EQ(second->path(), file);
    EXPECT_EQ(second->allowance(Start.addSecs(3600)).now, 4);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll().count('\n'), 6); // trimmed and rewritten: one line per second
    EXPECT_TRUE(QFileInfo(file).fileName().startsWith(QStringLiteral("sent-")));
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(file), 0600);

    // Another account starts from nothing.
    auto other =
        openPacer(perDay, Start, folder, {Account.host, Account.user, QStringLiteral("hanako@example.jp")});
    EXPECT_EQ(other->allowance(Start).now, 10);
}

QByteArray recordOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(ProviderPacer, TwoRunsOfOneAccountAtOnceBothEndUpInTheRecord)
{
    ScratchDir dir;
    const SendLimits perDay{QString(), 0, 0, 1000};
    auto remaining = [&](const QDateTime &now) {
        auto pacer = openPacer(perDay, now, dir.root());
        return pacer ? pacer->allowance(now).now : -1;
    };
    // Each pacer opens the record for itself, as a second program would: flock tells them apart.
    auto first = openPacer(perDay, Start, dir.root());
    for (int i = 0; i < 3; ++i)
        first->sent(Start.addSecs(i));
    auto second = openPacer(perDay, Start.addSecs(10), dir.root());
    EXPECT_EQ(second->allowance(Start.addSecs(10)).now, 997);
    for (int i = 0; i < 3; ++i) {
        first->sent(Start.addSecs(20 + i));
        second->sent(Start.addSecs(20 + i));
    }
    // A line cut short by a third program's crash: the next line still starts on a line of its own.
    {
        QFile f(first->path());
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("1715562");
    }
    first->sent(Start.addSecs(30));
    second->flush();
    first->flush();
    EXPECT_EQ(remaining(Start.addSecs(40)), 1000 - 10) << recordOf(first->path()).toStdString();

    // Alone with the record again, a pacer trims it to one line per second.
    first.reset();
    second.reset();
    EXPECT_EQ(remaining(Start.addSecs(50)), 1000 - 10);
    EXPECT_EQ(recordOf(dir.path(ProviderPacer::fileNameFor(Account))).count('\n'), 7);

    // Two runs on two threads that open, send and close over and over, each mail appended at once.
    constexpr int Rounds = 20, Mails = 10;
    const QDateTime late = Start.addSecs(20000);
    auto run = [&](int which) {
        for (int round = 0; round < Rounds; ++round) {
            auto pacer = openPacer(perDay, late, dir.root());
            if (!pacer)
                return;
            for (int i = 0; i < Mails; ++i)
                pacer->sent(Start.addSecs(100 + round * 100 + which * 50 + i));
        }
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    EXPECT_EQ(remaining(late), 1000 - 10 - 2 * Rounds * Mails);
}

TEST(SendLimits, SettingsRoundTripAndBadValuesReadAsNoLimit)
{
    SettingsStore settings;
    const SendLimits custom{QStringLiteral("カスタム"), 20, 0, 12345678};
    writeSendLimits(settings, custom);
    EXPECT_EQ(readSendLimits(settings), custom);
    EXPECT_EQ(settings.text(Settings::LimitsPerDay), QStringLiteral("12345678"));

    const SendLimits m365 = sendLimitPresets()[1].limits;
    writeSendLimits(settings, m365);
    EXPECT_EQ(readSendLimits(settings), m365);
    settings.setText(Settings::LimitsPerDay, QStringLiteral("9000")); // edited by hand
    EXPECT_EQ(readSendLimits(settings), (SendLimits{QStringLiteral("カスタム"), 30, 0, 9000}));

    for (const char *bad : {"abc", "-5", "12.5", "1e99", "３０"}) {
        settings.setText(Settings::LimitsPerHour, QString::fromUtf8(bad));
        EXPECT_EQ(readSendLimits(settings).perHour, 0) << bad;
    }
    settings.remove(Settings::LimitsPreset);
    settings.setText(Settings::LimitsPerMinute, QStringLiteral(" 0 "));
    settings.setText(Settings::LimitsPerDay, QStringLiteral("500"));
    EXPECT_EQ(readSendLimits(settings).preset, QStringLiteral("Gmail"));

    EXPECT_EQ(limitWaitText(QDateTime(QDate(2024, 5, 13), QTime(9, 5))),
              QStringLiteral("送信制限のため待機中：09:05 に再開"));
    EXPECT_EQ(limitWaitText(QDateTime(QDate(2024, 5, 13), QTime(23, 59, 0, 1))),
              QStringLiteral("送信制限のため待機中：00:00 に再開"));
    EXPECT_TRUE(
        dailyLimitQuestion(QDateTime(QDate(2024, 5, 14), QTime(10, 0, 30)), 10000)
            .contains(QStringLiteral("（10,000通）に達しました。次に送信できるのは 5月14日 10:01 です。")));
}

} // namespace
