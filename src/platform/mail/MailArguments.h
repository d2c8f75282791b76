#pragma once

#include <QString>
#include <QStringList>

// The sender text: "display name <address>", or a bare address.
struct MailSender {
    QString name;
    QString address;
    QString error; // empty when usable
};

// The recipients argument: TAB-separated, at most one ">Content-Type: …;" element and exactly one
// "<address>" element.
struct MailRecipient {
    bool html = false;
    QString address;
    QString error;
    // The error without the sentence around it: what is wrong with the address, for lists.
    QString reason;
};

MailSender parseSender(const QString &text);
MailRecipient parseRecipients(const QString &text);

// Empty when the subject can go into a header unchanged; otherwise the reason it cannot.
QString checkSubject(const QString &subject);

// The non-empty pieces of the TAB-separated attachment list.
QStringList splitAttachments(const QString &text);
