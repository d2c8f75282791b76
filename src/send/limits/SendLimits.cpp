#include "send/limits/SendLimits.h"

#include "platform/SettingsStore.h"
#include "platform/Text.h"

#include <QLocale>

#include <cmath>
#include <limits>

const QList<SendLimitPreset> &sendLimitPresets()
{
    // Published limits of the providers; Microsoft 365 and Google count recipients a day, and a
    // mail here has one recipient. Gmail publishes no limit per minute, so none is guessed.
    static const QList<SendLimitPreset> presets{
        {noLimitPresetName(), {noLimitPresetName(), 0, 0, 0}},
        {QStringLiteral("Microsoft 365"), {QStringLiteral("Microsoft 365"), 30, 0, 10000}, false, 500},
        {QStringLiteral("Gmail"), {QStringLiteral("Gmail"), 0, 0, 500}, false, 100},
        {QStringLiteral("Google Workspace"), {QStringLiteral("Google Workspace"), 0, 0, 2000}, false, 100},
        // Rental servers cap mails per hour at very different values: a starting value to edit.
        {QStringLiteral("レンタルサーバー（1時間あたり）"),
         {QStringLiteral("レンタルサーバー（1時間あたり）"), 0, 300, 0}},
        {customPresetName(), {customPresetName(), 0, 0, 0}, true},
    };
    return presets;
}

int recipientsPerMessage(const SendLimits &limits)
{
    for (const SendLimitPreset &p : sendLimitPresets())
        if (!p.custom && p.name == limits.preset)
            return p.recipientsPerMessage;
    return 0;
}

QString noLimitPresetName()
{
    return QStringLiteral("制限なし");
}

QString customPresetName()
{
    return QStringLiteral("カスタム");
}

std::optional<int> limitValue(const QString &text)
{
    // A limit is typed as the settings keep it.
    return SettingsStore::countOf(text);
}

QString limitRefusal()
{
    return QStringLiteral("0以上の整数（半角）を入力してください。空欄または0は制限なしです");
}

namespace
{

bool sameNumbers(const SendLimits &a, const SendLimits &b)
{
    return a.perMinute == b.perMinute && a.perHour == b.perHour && a.perDay == b.perDay;
}

// A stored custom choice stays custom; a preset whose numbers were edited by hand, or a name this
// version does not know, becomes the fixed preset the numbers are, else custom.
QString presetFor(const SendLimits &numbers, const QString &stored)
{
    if (stored == customPresetName())
        return stored;
    for (const SendLimitPreset &p : sendLimitPresets())
        if (!p.custom && p.name == stored)
            return sameNumbers(p.limits, numbers) ? stored : customPresetName();
    for (const SendLimitPreset &p : sendLimitPresets())
        if (!p.custom && sameNumbers(p.limits, numbers))
            return p.name;
    return customPresetName();
}

// Ends on the minute the wait is over by.
QDateTime roundedUpToMinute(const QDateTime &t)
{
    const int intoMinute = t.time().second() * 1000 + t.time().msec();
    return intoMinute == 0 ? t : t.addMSecs(60000 - intoMinute);
}

} // namespace

SendLimits readSendLimits(const SettingsStore &settings)
{
    SendLimits limits;
    limits.perMinute = int(settings.number(Settings::LimitsPerMinute));
    limits.perHour = int(settings.number(Settings::LimitsPerHour));
    limits.perDay = int(settings.number(Settings::LimitsPerDay));
    limits.preset = presetFor(limits, settings.text(Settings::LimitsPreset));
    return limits;
}

void writeSendLimits(SettingsStore &settings, const SendLimits &limits)
{
    settings.setText(Settings::LimitsPreset, limits.preset);
    settings.setNumber(Settings::LimitsPerMinute, limits.perMinute);
    settings.setNumber(Settings::LimitsPerHour, limits.perHour);
    settings.setNumber(Settings::LimitsPerDay, limits.perDay);
}

QString limitWaitText(const QDateTime &until)
{
    return QStringLiteral("送信制限のため待機中：%1 に再開")
        .arg(roundedUpToMinute(until).toString(QStringLiteral("HH:mm")));
}

QString dailyLimitQuestion(const QDateTime &until, int perDay)
{
    return QStringLiteral("1日あたりの送信制限（%1通）に達しました。次に送信できるのは %2 です。\n\n"
                          "「はい」：その時刻まで待って、続きを自動で送信します（Velmora は起動したままにして"
                          "ください）。\n"
                          "「いいえ」：送信を中止します。中止した送信は、後で続きから再開できます。")
        .arg(QLocale(QLocale::Japanese, QLocale::Japan).toString(perDay),
             roundedUpToMinute(until).toString(QStringLiteral("M月d日 HH:mm")));
}
