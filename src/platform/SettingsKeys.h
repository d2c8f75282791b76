#pragma once

#include "platform/Twips.h"

#include <limits>

// Every value the settings file keeps, in one table: its section and name, what an absent key
// reads as, and the rule a stored text must keep to be read (one that does not reads as the
// default, or, for a coordinate, is held within the range). Numbers are decimal text, booleans the
// words True and False; SettingsStore reads and writes a key by its kind.
struct SettingKey {
    enum class Kind {
        Text,         // as stored
        TrimmedText,  // without leading and trailing half-width spaces
        Bool,         // True or False, in any letter case
        Number,       // a finite single-precision number within [least, most]
        Coordinate,   // a finite single-precision number, held within [least, most]
        RoundedWhole, // a number rounded half to even, within [least, most] (and a 16-bit integer)
        Count,        // a whole number from 0 in plain digits, empty for 0; written in plain digits
    };
    const char *section;
    const char *name;
    Kind kind;
    double defaultNumber = 0; // of the number kinds and Bool (0 false, 1 true)
    const char *defaultText = "";
    double least = -std::numeric_limits<double>::infinity();
    double most = std::numeric_limits<double>::infinity();
};

// The four keys of a window's outer placement in twips (frame included), and the placement a first
// start gives it: the window's design size at the top-left corner.
struct SettingsPlacement {
    SettingKey left, top, width, height;
};

namespace Settings
{
// A hand-edited value such as 1e30 must not reach the pixel conversion: every coordinate stays
// within what a window system can place (32767 pixels either way), a size at one pixel at least.
inline constexpr double MostTwips = 32767.0 * TwipsPerPixel;

constexpr SettingsPlacement placement(const char *section, double width, double height)
{
    using K = SettingKey::Kind;
    return {{section, "left", K::Coordinate, 0, "", -MostTwips, MostTwips},
            {section, "top", K::Coordinate, 0, "", -MostTwips, MostTwips},
            {section, "width", K::Coordinate, width, "", TwipsPerPixel, MostTwips},
            {section, "height", K::Coordinate, height, "", TwipsPerPixel, MostTwips}};
}

using K = SettingKey::Kind;

// The main window ("Form").
inline constexpr SettingKey ServerName{"Form", "svName", K::Text};
inline constexpr SettingKey SenderName{"Form", "fromName", K::Text};
inline constexpr SettingKey BodyFontName{"Form", "fontName", K::Text, 0, "ＭＳ ゴシック"};
inline constexpr SettingKey BodyFontBold{"Form", "fontBold", K::Bool};
inline constexpr SettingKey BodyFontItalic{"Form", "fontItalic", K::Bool};
// Any positive point size a single-precision number holds.
inline constexpr double LeastPointSize = std::numeric_limits<float>::denorm_min();
inline constexpr double MostPointSize = std::numeric_limits<float>::max();
inline constexpr SettingKey BodyFontSize{"Form", "fontSize", K::Number, 9, "", LeastPointSize, MostPointSize};
// Seconds between two mails of a run: 0 to 60.
inline constexpr SettingKey SendInterval{"Form", "sendTimer", K::RoundedWhole, 0, "", 0, 60};
// What shapes every mail: the sender as a blind copy, ISO-2022-JP for Japanese plain text.
inline constexpr SettingKey BccSelf{"Form", "bccSelf", K::Bool};
inline constexpr SettingKey Iso2022jp{"Form", "iso2022jp", K::Bool};
inline constexpr SettingsPlacement MainWindow = placement("Form", 7350, 7560);

// The recipient list ("Form2"), the text viewer ("Form3") and the merge preview ("Form3Preview").
inline constexpr SettingsPlacement RecipientList = placement("Form2", 7215, 5070);
inline constexpr SettingsPlacement TextViewer = placement("Form3", 8370, 3975);
inline constexpr SettingsPlacement MergePreview = placement("Form3Preview", 9600, 7200);

// The sending limits ("Limits"): a preset's name and the numbers per minute, hour and day.
inline constexpr SettingKey LimitsPreset{"Limits", "preset", K::Text};
inline constexpr SettingKey LimitsPerMinute{"Limits", "perMinute", K::Count};
inline constexpr SettingKey LimitsPerHour{"Limits", "perHour", K::Count};
inline constexpr SettingKey LimitsPerDay{"Limits", "perDay", K::Count};

// The organisation's app registrations for OAuth 2.0 sign-in ("OAuth"); nothing secret.
inline constexpr SettingKey MicrosoftTenant{"OAuth", "microsoftTenant", K::TrimmedText};
inline constexpr SettingKey MicrosoftClientId{"OAuth", "microsoftClientId", K::TrimmedText};
inline constexpr SettingKey GoogleClientId{"OAuth", "googleClientId", K::TrimmedText};
inline constexpr SettingKey CustomAuthorizationUrl{"OAuth", "customAuthorizationUrl", K::TrimmedText};
inline constexpr SettingKey CustomTokenUrl{"OAuth", "customTokenUrl", K::TrimmedText};
inline constexpr SettingKey CustomScope{"OAuth", "customScope", K::TrimmedText};
inline constexpr SettingKey CustomClientId{"OAuth", "customClientId", K::TrimmedText};

// The operator's mailbox over IMAP ("Mailbox"): its server text without a password (empty: none
// set), copies of the sent mails for its Sent folder, and the check for returned mails some
// minutes after a run.
inline constexpr SettingKey MailboxServerText{"Mailbox", "server", K::TrimmedText};
inline constexpr SettingKey MailboxCopyToSent{"Mailbox", "copyToSent", K::Bool};
inline constexpr SettingKey MailboxAutoCheck{"Mailbox", "autoCheck", K::Bool};
inline constexpr SettingKey MailboxAutoCheckMinutes{"Mailbox", "autoCheckMinutes", K::RoundedWhole, 15, "", 1,
                                                    1440};
} // namespace Settings
