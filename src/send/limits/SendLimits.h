#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class SettingsStore;

// How many mails the provider lets go out per minute, per hour and per day; 0 is no limit. The
// preset is only the name the operator chose in the limits dialog: the numbers are what count.
struct SendLimits {
    QString preset = QStringLiteral("制限なし");
    int perMinute = 0;
    int perHour = 0;
    int perDay = 0;

    bool any() const { return perMinute > 0 || perHour > 0 || perDay > 0; }
    bool operator==(const SendLimits &) const = default;
};

// The presets of the limits dialog in the order shown: fixed numbers named after common providers,
// then the custom entry whose numbers the operator types.
struct SendLimitPreset {
    QString name;
    SendLimits limits;
    bool custom = false;
    // The most recipients (the address, its copies and blind copies) the provider takes in one
    // mail; 0: not known.
    int recipientsPerMessage = 0;
};
const QList<SendLimitPreset> &sendLimitPresets();
// The most recipients of one mail for the preset these limits are; 0 when not known.
int recipientsPerMessage(const SendLimits &limits);
QString noLimitPresetName();
QString customPresetName();

// The stored or typed value of one limit: empty text is 0 (no limit); otherwise a whole number from
// 0 up, half-width, spaces around it allowed. Empty when the text is no such number.
std::optional<int> limitValue(const QString &text);
// The message of a refused box of the limits dialog.
QString limitRefusal();

// A number that does not read as a limit reads as 0. The preset name is kept only while the numbers
// are still that preset's; otherwise the limits read as custom.
SendLimits readSendLimits(const SettingsStore &settings);
void writeSendLimits(SettingsStore &settings, const SendLimits &limits);

// The status text while a run waits for a limit: "送信制限のため待機中：HH:MM に再開", the minute
// rounded up so the run has gone on by the time shown.
QString limitWaitText(const QDateTime &until);
// The question when the day limit holds a run: Yes waits until `until`, No stops the run (it can be
// continued later).
QString dailyLimitQuestion(const QDateTime &until, int perDay);
