#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// What a mail system says it did with a mail: a delivery status notification (RFC 3464, and its
// UTF-8 form of RFC 6533), or one of the plain-text bounces that some large providers send instead.
struct DeliveryNotice {
    enum class Action { Failed, Delayed, Delivered, Relayed, Expanded, Unknown };
    struct Recipient {
        QString address;         // Final-Recipient, else Original-Recipient, without its address type;
                                 // the domain in lower case
        QString originalAddress; // Original-Recipient when given
        Action action = Action::Unknown;
        QString status;     // "5.1.1"; empty when the notice gives none that reads as one
        QString diagnostic; // the remote server's reply (Diagnostic-Code without its type), unfolded
        QString remoteMta;  // Remote-MTA without its type
        // Failed for good: a 5.x.x status, or without a status a 5xx reply.
        bool permanent() const;
    };
    QByteArray originalMessageId; // of the returned mail, without <>: from the returned headers or
                                  // message, else from the notice's In-Reply-To or References, else
                                  // from a Message-ID line in its text
    QByteArray envelopeId;        // Original-Envelope-Id
    QString reportingMta;
    QDateTime arrival; // Arrival-Date, when given
    QList<Recipient> recipients;
    bool standard = true; // multipart/report of delivery-status; false: a provider's own text form
};

// What a message from the inbox says as a delivery notice; nothing for any other mail (an
// auto-reply, a newsletter, a read receipt). The message comes from anyone: sizes are bounded and
// nothing in it can make the reading slow or crash it.
std::optional<DeliveryNotice> readDeliveryNotice(const QByteArray &message);
