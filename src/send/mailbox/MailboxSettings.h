#pragma once

#include <QString>

#include <optional>

class SettingsStore;

// The operator's mailbox, where the provider files what was sent and where returned mails arrive.
// Kept in the settings (section "Mailbox"); its login is the sending server's, so nothing secret
// is kept here.
struct MailboxSettings {
    QString server; // "imaps://user@host:993" and the like; empty: no mailbox, nothing is read
    // Each accepted mail is appended to the Sent folder. Off for providers that file a copy of
    // every submitted mail themselves (Microsoft 365, Gmail).
    bool copyToSent = false;
    // The inbox is read for returned mails this many minutes after a run ends.
    bool autoCheck = false;
    int autoCheckMinutes = 15;

    bool configured() const { return !server.isEmpty(); }
    bool operator==(const MailboxSettings &) const = default;
};

// The mailbox that goes with a sending server: its provider's IMAP host (or the one derived from
// the submission host), over TLS, with the same user and sign-in, and Sent copies only where the
// provider does not file them itself. Nothing for a server text that is not understood or a
// trial into a folder.
std::optional<MailboxSettings> mailboxSettingsFor(const QString &sendingServerText,
                                                  const MailboxSettings &kept);

MailboxSettings readMailboxSettings(const SettingsStore &settings);
void writeMailboxSettings(SettingsStore &settings, const MailboxSettings &mailbox);
