#include "send/mailbox/BounceMatcher.h"

#include <QUrl>

#include <algorithm>

namespace
{

bool hasNonAscii(const QString &s)
{
    return std::any_of(s.begin(), s.end(), [](QChar c) { return c.unicode() >= 0x80; });
}

// An address as compared: the local part as written, the domain in lower case and in ACE form,
// so that "user@例え.jp" and "user@xn--r8jz45g.jp" are one address.
QString addressKey(QString address)
{
    address = address.trimmed();
    if (address.startsWith(u'<') && address.endsWith(u'>'))
        address = address.mid(1, address.size() - 2);
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return address;
    QString domain = address.mid(at + 1).toLower();
    if (hasNonAscii(domain)) {
        const QByteArray ace = QUrl::toAce(domain);
        if (!ace.isEmpty())
            domain = QString::fromLatin1(ace).toLower();
    }
    return address.left(at + 1) + domain;
}

QByteArray idKey(const QByteArray &id)
{
    QByteArray key = id.trimmed();
    if (key.startsWith('<') && key.endsWith('>'))
        key = key.mid(1, key.size() - 2).trimmed();
    return key;
}

} // namespace

BounceMatcher::BounceMatcher(std::vector<SentMail> mails, QByteArray envelopeIdPrefix)
    : m_mails(std::move(mails)), m_prefix(std::move(envelopeIdPrefix))
{
    m_byMessageId.reserve(qsizetype(m_mails.size()));
    m_byRow.reserve(qsizetype(m_mails.size()));
    m_byAddress.reserve(qsizetype(m_mails.size()));
    for (qsizetype i = 0; i < qsizetype(m_mails.size()); ++i) {
        const SentMail &mail = m_mails[size_t(i)];
        if (const QByteArray id = idKey(mail.messageId); !id.isEmpty())
            m_byMessageId.insert(id, i);
        m_byRow.insert(mail.row, i);
        if (!mail.recipient.isEmpty())
            m_byAddress[addressKey(mail.recipient)].push_back(i);
    }
}

QByteArray BounceMatcher::envelopeIdOf(const QByteArray &prefix, int row)
{
    return prefix + QByteArray::number(row);
}

std::vector<BounceMatch> BounceMatcher::match(const DeliveryNotice &notice) const
{
    std::vector<const DeliveryNotice::Recipient *> failing;
    for (const DeliveryNotice::Recipient &r : notice.recipients)
        if (r.action == DeliveryNotice::Action::Failed || r.action == DeliveryNotice::Action::Delayed)
            failing.push_back(&r);
    std::vector<BounceMatch> matches;
    if (failing.empty())
        return matches;
    const auto add = [&](qsizetype mail, BounceMatch::By by, const DeliveryNotice::Recipient &r) {
        matches.push_back({m_mails[size_t(mail)].row, by, r, r.permanent()});
    };

    qsizetype mail = -1;
    BounceMatch::By by = BounceMatch::By::MessageId;
    if (const QByteArray id = idKey(notice.originalMessageId); !id.isEmpty())
        mail = m_byMessageId.value(id, -1);
    // The run's ENVID is the prefix and a row number as envelopeIdOf() writes it.
    const QByteArray envid = notice.envelopeId.trimmed();
    if (mail < 0 && !m_prefix.isEmpty() && envid.startsWith(m_prefix)) {
        const QByteArray number = envid.mid(m_prefix.size());
        bool ok = false;
        const int row = number.size() <= 10 && !number.startsWith('0') ? number.toInt(&ok) : 0;
        if (ok && number == QByteArray::number(row)) {
            mail = m_byRow.value(row, -1);
            by = BounceMatch::By::EnvelopeId;
        }
    }
    if (mail >= 0) {
        for (const DeliveryNotice::Recipient *r : failing)
            add(mail, by, *r);
        return matches;
    }
    for (const DeliveryNotice::Recipient *r : failing) {
        auto found = m_byAddress.constFind(addressKey(r->address));
        if (found == m_byAddress.cend() && !r->originalAddress.isEmpty())
            found = m_byAddress.constFind(addressKey(r->originalAddress));
        if (found == m_byAddress.cend())
            continue;
        for (const qsizetype m : found.value())
            add(m, BounceMatch::By::Address, *r);
    }
    return matches;
}
