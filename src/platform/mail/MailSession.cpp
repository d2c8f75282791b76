#include "platform/mail/MailSession.h"

#include "platform/Text.h"
#include "platform/mail/MailArguments.h"
#include "platform/mail/MailComposer.h"
#include "platform/mail/Outbox.h"
#include "platform/mail/SendMail.h"
#include "platform/mail/SigpipeBlock.h"
#include "platform/mail/SmtpConnection.h"

#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace
{

bool isAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The address for MAIL FROM or RCPT TO: a domain outside ASCII goes in its ACE form, as mail
// servers expect it; the local part stays as written. Empty when the domain cannot be converted.
QByteArray envelopeAddress(const QString &address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    const QString domain = at < 0 ? QString() : address.mid(at + 1);
    if (at < 0 || isAscii(domain.toUtf8()))
        return address.toUtf8();
    const QByteArray ace = QUrl::toAce(domain);
    if (ace.isEmpty())
        return {};
    return address.left(at + 1).toUtf8() + ace;
}

// Two envelope addresses name one mailbox when they differ only in the case of the domain.
QByteArray mailboxKey(const QByteArray &envelope)
{
    const qsizetype at = envelope.lastIndexOf('@');
    return at < 0 ? envelope : envelope.left(at + 1) + envelope.mid(at + 1).toLower();
}

SmtpSettings smtpSettings(const SendMailOptions &o)
{
    return {o.connectTimeoutSeconds, o.responseTimeoutSeconds,  o.caFile, o.reuseConnection,
            o.idleLimitSeconds,      o.quitTimeoutMilliseconds, o.clock};
}

MailOutcome refusal(MailOutcome::Kind kind, const QString &description)
{
    MailOutcome o;
    o.kind = kind;
    o.description = description;
    return o;
}

} // namespace

void initMailLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        initMimeLibrary();
    });
}

MailRecipient mailRecipientOf(const QString &address)
{
    return parseRecipients(bracketedAddress(trimSpaces(address)));
}

struct MailSession::Prepared {
    MailContent content;
    SmtpMail smtp;
    QList<RefusedCopy> copiesLeftOut; // CC and BCC addresses that fail the address check
};

MailSession::MailSession() = default;

MailSession::~MailSession()
{
    SigpipeBlock sigpipe;
    m_smtp.reset();
}

Result<std::unique_ptr<MailSession>> MailSession::open(const MailTarget &target)
{
    initMailLibraries();
    const MailServerParse &destination = target.destination;
    if (!destination.error.isEmpty())
        return Failure::mailSettingsUnusable(destination.error);
    if (destination.server.oauth && !target.login.oauth)
        return Failure::mailSettingsUnusable(
            QStringLiteral(
                "メールサーバー %1 には OAuth 2.0 でのサインインが必要です。宛先の表から送信してください"
                "（送信を始めるときにサインインします）。")
                .arg(destination.server.endpoint()));
    std::unique_ptr<MailSession> session(new MailSession);
    session->m_serverText = target.serverText;
    session->m_server = destination.server;
    session->m_login = target.login;
    session->m_iso2022jp = target.iso2022jp;
    session->m_imageFolder = target.imageFolder;
    if (std::optional<Failure> failure = session->change(target.sender, target.attachments))
        return *failure;
    return Result<std::unique_ptr<MailSession>>(std::move(session));
}

std::optional<Failure> MailSession::change(const MailSender &from, const QStringList &attachments)
{
    if (!from.error.isEmpty())
        return Failure::mailSettingsUnusable(from.error);
    const QByteArray mailFrom = envelopeAddress(from.address);
    if (mailFrom.isEmpty())
        return Failure::mailSettingsUnusable(
            QStringLiteral("送信者のメールアドレス「%1」のドメイン名を変換できません。").arg(from.address));
    QString error;
    std::unique_ptr<MailComposer> composer =
        MailComposer::create(from.name, from.address, attachments, &error);
    if (!composer)
        return Failure::attachmentUnreadable(error);
    m_mailFrom = mailFrom;
    m_composer = std::move(composer);
    m_next.reset();
    return std::nullopt;
}

std::optional<MailOutcome> MailSession::prepare(const MailContent &mail, Prepared *out)
{
    const MailRecipient recipient = mailRecipientOf(mail.address);
    if (!recipient.error.isEmpty())
        return refusal(MailOutcome::Kind::Refused, recipient.error);
    if (QString e = checkSubject(mail.subject); !e.isEmpty())
        return refusal(MailOutcome::Kind::Refused, e);
    const QByteArray rcptTo = envelopeAddress(recipient.address);
    if (rcptTo.isEmpty())
        return refusal(MailOutcome::Kind::Refused,
                       QStringLiteral("宛先のメールアドレス「%1」のドメイン名を変換できません。")
                           .arg(recipient.address));
    // A copy that cannot be used goes neither into the envelope nor into the Cc header; the mail
    // goes to the others.
    QList<RefusedCopy> leftOut;
    QList<QByteArray> copyTo;
    QList<QByteArray> seen{mailboxKey(rcptTo)};
    MailContent written = mail;
    written.cc.clear();
    const qsizetype ccCount = mail.cc.size();
    const QStringList copies = mail.cc + mail.bcc;
    for (qsizetype i = 0; i < copies.size(); ++i) {
        const QString copy = trimSpaces(copies[i]);
        if (copy.isEmpty())
            continue;
        const MailRecipient r = mailRecipientOf(copy);
        const QByteArray to = r.error.isEmpty() ? envelopeAddress(r.address) : QByteArray();
        if (to.isEmpty()) {
            leftOut.append(
                {copy, r.error.isEmpty() ? QStringLiteral("ドメイン名を変換できません") : r.reason, false});
            continue;
        }
        if (i < ccCount)
            written.cc += copy;
        if (seen.contains(mailboxKey(to)))
            continue;
        seen += mailboxKey(to);
        copyTo += to;
    }
    BuiltMessage message = m_composer->compose(written, recipient.address, {m_iso2022jp, m_imageFolder});
    if (!message.error.isEmpty())
        return refusal(MailOutcome::Kind::LocalFailure, message.error);
    out->content = mail;
    out->smtp = {
        m_mailFrom,        rcptTo,         !isAscii(m_mailFrom) || !isAscii(rcptTo), std::move(message.bytes),
        std::move(copyTo), mail.envelopeId};
    out->copiesLeftOut = std::move(leftOut);
    return std::nullopt;
}

MailOutcome MailSession::send(const MailContent &mail, const MailContent *next,
                              const std::function<bool()> &beforeEnd)
{
    SigpipeBlock sigpipe;
    Prepared current;
    if (m_next && m_next->content == mail) {
        current = std::move(*m_next);
    } else if (std::optional<MailOutcome> refused = prepare(mail, &current)) {
        return *refused;
    }
    m_next.reset();

    if (m_server.kind == MailServer::Kind::Outbox) {
        if (!m_outbox)
            m_outbox = std::make_unique<Outbox>(m_server.folder);
        if (beforeEnd && !beforeEnd())
            return heldBackOutcome();
        const QString error = m_outbox->write(current.smtp.message);
        if (!error.isEmpty())
            return refusal(MailOutcome::Kind::LocalFailure, error);
        MailOutcome stored;
        stored.copiesRefused = copiesRefusedText(current.copiesLeftOut);
        return stored;
    }

    const SmtpSettings settings = smtpSettings(sendMailOptions());
    if (!m_smtp || !(m_smtp->settings() == settings))
        m_smtp = std::make_unique<SmtpConnection>(m_server, settings, m_login);
    std::function<const SmtpMail *()> following;
    if (next) {
        following = [this, next]() -> const SmtpMail * {
            auto prepared = std::make_unique<Prepared>();
            if (prepare(*next, prepared.get()))
                return nullptr; // refused here again when it is sent
            m_next = std::move(prepared);
            return &m_next->smtp;
        };
    }
    MailOutcome outcome = m_smtp->send(current.smtp, following, beforeEnd);
    if (outcome.accepted() && m_onAccepted)
        m_onAccepted(current.smtp.message);
    if (outcome.accepted() && !current.copiesLeftOut.isEmpty()) {
        const QString left = copiesRefusedText(current.copiesLeftOut);
        outcome.copiesRefused =
            outcome.copiesRefused.isEmpty() ? left : left + QStringLiteral("\r\n") + outcome.copiesRefused;
    }
    return outcome;
}

void MailSession::close()
{
    SigpipeBlock sigpipe;
    m_next.reset();
    if (m_smtp)
        m_smtp->close();
}

bool MailSession::isOutbox() const
{
    return m_server.kind == MailServer::Kind::Outbox;
}

QString MailSession::outboxFolder() const
{
    return m_server.folder;
}

QString MailSession::serverForDisplay() const
{
    return mailServerWithoutPassword(m_serverText);
}
