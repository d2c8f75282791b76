#pragma once

#include "platform/mail/MailArguments.h"
#include "platform/mail/MailLogin.h"
#include "platform/mail/MailServer.h"

#include <QString>
#include <QStringList>

// Where and as whom a run, a test send or a timer start sends: the server text and the sender,
// each parsed once when it begins, the attachment list, and the login found for the server. It is
// handed whole to the logins, the pacer, the run and the mail session, so that nothing below
// parses a text again. A text that cannot be used keeps its reason (destination.error,
// sender.error) for the session to refuse with.
struct MailTarget {
    QString serverText; // trimmed, as typed (its password too): shown masked, kept without it
    MailServerParse destination;
    QString senderText; // as typed
    MailSender sender;
    QStringList attachments;
    MailLogin login;
    // Prefer ISO-2022-JP for Japanese plain-text mails whose text it can write.
    bool iso2022jp = false;
    // The folder relative <img src> paths of an HTML body resolve against: the body file's folder.
    QString imageFolder;

    const MailServer &server() const { return destination.server; }
    // A trial that writes .eml files into a folder instead of sending.
    bool isOutbox() const { return destination.error.isEmpty() && server().kind == MailServer::Kind::Outbox; }
};

// The target of these texts; serverText is trimmed of half-width spaces as a run takes it.
MailTarget mailTargetOf(const QString &serverText, const QString &senderText, const QStringList &attachments);

// The recipient element of an address as the library takes it: "<" address ">", unless the
// address already begins with "<" and ends with ">".
QString bracketedAddress(const QString &trimmedAddress);
