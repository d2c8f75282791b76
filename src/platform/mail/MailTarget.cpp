#include "platform/mail/MailTarget.h"

#include "platform/Text.h"

MailTarget mailTargetOf(const QString &serverText, const QString &senderText, const QStringList &attachments)
{
    MailTarget target;
    target.serverText = trimSpaces(serverText);
    target.destination = parseMailServer(target.serverText);
    target.senderText = senderText;
    target.sender = parseSender(senderText);
    target.attachments = attachments;
    return target;
}

QString bracketedAddress(const QString &trimmedAddress)
{
    if (trimmedAddress.size() >= 2 && trimmedAddress.startsWith(u'<') && trimmedAddress.endsWith(u'>'))
        return trimmedAddress;
    return u'<' + trimmedAddress + u'>';
}
