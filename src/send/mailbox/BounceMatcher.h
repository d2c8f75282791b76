#pragma once

#include "platform/mail/DeliveryNotice.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <vector>

// One mail of a run as the journal knows it.
struct SentMail {
    int row = 0;
    QByteArray messageId; // without <>
    QString recipient;    // the main To address
};

// A row of the run that a delivery notice is about.
struct BounceMatch {
    enum class By { MessageId, EnvelopeId, Address };
    int row = 0;
    By by = By::MessageId;
    DeliveryNotice::Recipient recipient; // the entry that failed or is delayed
    bool permanent = false;
};

// Finds the rows of one run that delivery notices are about. Built once for a run; each notice is
// then matched in time that does not grow with the run.
class BounceMatcher
{
  public:
    // The ENVID of row N is envelopeIdPrefix + N (envelopeIdOf()); an empty prefix: the run sent none.
    BounceMatcher(std::vector<SentMail> mails, QByteArray envelopeIdPrefix);

    static QByteArray envelopeIdOf(const QByteArray &prefix, int row);

    // The rows the notice is about, one for each of its failed or delayed recipients: the mail of
    // its Message-ID, else of its ENVID, else the mails sent to that recipient (the local part as
    // written, the domain in any case; every row sent to the address). A copy's address (CC, BCC)
    // is found through the Message-ID or the ENVID only; the entry then names the copy's address.
    std::vector<BounceMatch> match(const DeliveryNotice &notice) const;

  private:
    std::vector<SentMail> m_mails;
    QByteArray m_prefix;
    QHash<QByteArray, qsizetype> m_byMessageId;
    QHash<int, qsizetype> m_byRow;
    QHash<QString, std::vector<qsizetype>> m_byAddress;
};
