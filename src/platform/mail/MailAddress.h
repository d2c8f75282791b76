#pragma once

#include <QByteArray>
#include <QString>

// One address (an RFC 5322 local part "@" domain, no display name, no angle brackets) as checked by GMime's
// address parser and the rules SMTP adds on top of it.
struct CheckedAddress {
    QString address;            // the form that goes into MAIL FROM, RCPT TO and the header:
                                // the local part as written, the domain in ACE form
    bool utf8LocalPart = false; // deliverable only through a server that offers SMTPUTF8
    QString reason;             // empty when usable; otherwise why not, for the operator
};

CheckedAddress checkMailAddress(const QString &addrSpec);

// The same, always through GMime's parser; checkMailAddress() answers plain addresses without it.
CheckedAddress parseMailAddress(const QString &addrSpec);

// The domain of an address as a Message-ID carries it: in ACE form, "localhost" when it has none.
QByteArray mailDomainOf(const QString &address);
