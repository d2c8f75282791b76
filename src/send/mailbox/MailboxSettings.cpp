#include "send/mailbox/MailboxSettings.h"

#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/Text.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/MailboxServer.h"

std::optional<MailboxSettings> mailboxSettingsFor(const QString &sendingServerText,
                                                  const MailboxSettings &kept)
{
    const MailServerParse sending = parseMailServer(trimSpaces(sendingServerText));
    if (!sending.error.isEmpty() || sending.server.kind == MailServer::Kind::Outbox ||
        sending.server.host.isEmpty())
        return std::nullopt;
    MailboxServer box;
    box.host = mailboxHostFor(sending.server.host);
    box.user = sending.server.user;
    box.oauth = sending.server.oauth;
    MailboxSettings m = kept;
    m.server = mailboxServerText(box);
    m.copyToSent = mailboxPresetOf(box.host) == MailboxPreset::Other;
    return m;
}

MailboxSettings readMailboxSettings(const SettingsStore &settings)
{
    MailboxSettings m;
    m.server = settings.text(Settings::MailboxServerText);
    m.copyToSent = settings.flag(Settings::MailboxCopyToSent);
    m.autoCheck = settings.flag(Settings::MailboxAutoCheck);
    m.autoCheckMinutes = int(settings.number(Settings::MailboxAutoCheckMinutes));
    return m;
}

void writeMailboxSettings(SettingsStore &settings, const MailboxSettings &mailbox)
{
    settings.setText(Settings::MailboxServerText, mailbox.server);
    settings.setFlag(Settings::MailboxCopyToSent, mailbox.copyToSent);
    settings.setFlag(Settings::MailboxAutoCheck, mailbox.autoCheck);
    settings.setNumber(Settings::MailboxAutoCheckMinutes, mailbox.autoCheckMinutes);
}
