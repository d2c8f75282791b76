#include "platform/mail/MailAddress.h"

#include "platform/mail/MimeComposer.h"

#include <QUrl>

#undef signals
#include <gmime/gmime.h>

#include <arpa/inet.h>

namespace
{

GMimeParserOptions *strictAddresses()
{
    static GMimeParserOptions *options = [] {
        initMimeLibrary();
        GMimeParserOptions *o = g_mime_parser_options_new();
        g_mime_parser_options_set_address_compliance_mode(o, GMIME_RFC_COMPLIANCE_STRICT);
        return o;
    }();
    return options;
}

bool isAscii(const QString &s)
{
    for (const QChar c : s)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// A host name as SMTP knows it: letters, digits and hyphens, in labels of 1 to 63.
bool isHostName(const QByteArray &ace)
{
    if (ace.isEmpty() || ace.size() > 253)
        return false;
    for (const QByteArray &label : ace.split('.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith('-') || label.endsWith('-'))
            return false;
        for (const char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
                return false;
    }
    return true;
}

// "[192.0.2.1]" or "[IPv6:2001:db8::1]".
bool isAddressLiteral(const QString &domain)
{
    if (domain.size() < 3 || !domain.startsWith(u'[') || !domain.endsWith(u']'))
        return false;
    const QByteArray inner = domain.mid(1, domain.size() - 2).toLatin1();
    unsigned char buffer[16];
    if (inner.startsWith("IPv6:"))
        return inet_pton(AF_INET6, inner.constData() + 5, buffer) == 1;
    return inet_pton(AF_INET, inner.constData(), buffer) == 1;
}

bool headerKeepsAddress(const QString &address)
{
    InternetAddress *mailbox = internet_address_mailbox_new(nullptr, address.toUtf8().constData());
    const bool kept =
        QString::fromUtf8(internet_address_mailbox_get_idn_addr(INTERNET_ADDRESS_MAILBOX(mailbox))) ==
        address;
    g_object_unref(mailbox);
    return kept;
}

CheckedAddress refused(const QString &reason)
{
    CheckedAddress r;
    r.reason = reason;
    return r;
}

// Dot-separated atoms of letters, digits and "_+-" before the "@", a host name after it, short
// enough: what nearly every recipient is, and what the parser takes exactly as written.
bool isPlainAddress(const QString &addrSpec)
{
    const qsizetype at = addrSpec.indexOf(u'@');
    if (at <= 0 || at > 64 || addrSpec.size() > 254 || at + 1 == addrSpec.size())
        return false;
    char16_t previous = u'.';
    for (qsizetype i = 0; i < addrSpec.size(); ++i) {
        const char16_t c = addrSpec[i].unicode();
        if (i == at) {
            if (previous == u'.')
                return false;
            previous = u'.';
            continue;
        }
        if (c == u'.') {
            if (previous == u'.')
                return false;
        } else if (!((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' ||
                     (i < at && ((c >= u'A' && c <= u'Z') || c == u'_' || c == u'+')))) {
            return false;
        }
        previous = c;
    }
    const QByteArray domain = addrSpec.mid(at + 1).toLatin1();
    return previous != u'.' && !domain.contains("xn--") && isHostName(domain);
}

// Domains are case-insensitive; one case for an ASCII domain gives one answer for all.
QString lowerCaseDomain(const QString &written)
{
    if (const qsizetype at = written.lastIndexOf(u'@');
        at >= 0 && isAscii(written.mid(at + 1)) && !written.mid(at + 1).startsWith(u'['))
        return written.left(at + 1) + written.mid(at + 1).toLower();
    return written;
}

CheckedAddress parsed(const QString &addrSpec);

} // namespace

CheckedAddress checkMailAddress(const QString &written)
{
    const QString addrSpec = lowerCaseDomain(written);
    if (isPlainAddress(addrSpec)) {
        CheckedAddress r;
        r.address = addrSpec;
        return r;
    }
    return parsed(addrSpec);
}

CheckedAddress parseMailAddress(const QString &written)
{
    return parsed(lowerCaseDomain(written));
}

namespace
{

CheckedAddress parsed(const QString &addrSpec)
{

    if (addrSpec.isEmpty())
        return refused(QStringLiteral("アドレスが空です"));
    const QByteArray utf8 = addrSpec.toUtf8();
    // Angle brackets belong around an address and comments beside it, never in it; GMime 3.2 also
    // leaks memory on some of them.
    for (const char c : utf8)
        if (c == '<' || c == '>' || c == '(' || c == ')' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return refused(QStringLiteral("メールアドレスの形式ではありません"));
    InternetAddressList *list = internet_address_list_parse(strictAddresses(), utf8.constData());
    QByteArray parsed;
    bool mailbox = false;
    if (list) {
        if (internet_address_list_length(list) == 1) {
            InternetAddress *a = internet_address_list_get_address(list, 0);
            const char *name = internet_address_get_name(a);
            if (INTERNET_ADDRESS_IS_MAILBOX(a) && (!name || !*name)) {
                mailbox = true;
                parsed = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            }
        }
        g_object_unref(list);
    }
    const qsizetype at = addrSpec.lastIndexOf(u'@');
    if (!mailbox || at <= 0 || at == addrSpec.size() - 1)
        return refused(QStringLiteral("メールアドレスの形式ではありません"));
    const QString local = addrSpec.left(at);
    const QString domain = addrSpec.mid(at + 1);
    // Whatever the parser dropped or read differently (a second "@", a comment, a group, a
    // trailing dot) would make the envelope and the header disagree with what was written. The
    // parser gives an ACE domain back in Unicode, so domains are compared in their ACE form.
    const QString parsedText = QString::fromUtf8(parsed);
    const qsizetype parsedAt = parsedText.lastIndexOf(u'@');
    const QString parsedDomain = parsedText.mid(parsedAt + 1);
    if (parsedAt < 0 || parsedText.left(parsedAt) != local ||
        (parsedDomain != domain && (domain.startsWith(u'[') || QUrl::toAce(parsedDomain).isEmpty() ||
                                    QUrl::toAce(parsedDomain) != QUrl::toAce(domain))))
        return refused(QStringLiteral("メールアドレスの形式ではありません"));
    // SMTP knows a local part as dot-separated atoms or as one quoted string, not a mix of both.
    if (local.contains(u'"') && !(local.size() >= 2 && local.startsWith(u'"') && local.endsWith(u'"')))
        return refused(QStringLiteral("メールアドレスの形式ではありません"));
    if (local.toUtf8().size() > 64)
        return refused(QStringLiteral("「@」の前が64バイトを超えています"));

    CheckedAddress r;
    if (domain.startsWith(u'[')) {
        if (!isAddressLiteral(domain))
            return refused(QStringLiteral("「@」の後のIPアドレスが正しくありません"));
        r.address = addrSpec;
    } else {
        // A label already in ACE form is ASCII; "xn--" before other letters is no domain.
        if (!isAscii(domain))
            for (const QStringView label : QStringView(domain).split(u'.'))
                if (label.startsWith(QLatin1String("xn--"), Qt::CaseInsensitive))
                    return refused(QStringLiteral("「@」の後のドメイン名が正しくありません"));
        // Plain ASCII host names need no conversion; this runs twice for every mail.
        const QByteArray ace = isAscii(domain) && !domain.contains(QLatin1String("xn--"), Qt::CaseInsensitive)
                                   ? domain.toLatin1()
                                   : QUrl::toAce(domain);
        // An ACE label that does not decode to a name and back is no domain either.
        if (ace.toLower().contains("xn--") && QUrl::toAce(QUrl::fromAce(ace)) != ace)
            return refused(QStringLiteral("「@」の後のドメイン名が正しくありません"));
        if (!isHostName(ace))
            return refused(QStringLiteral("「@」の後のドメイン名が正しくありません"));
        r.address = local + u'@' + QString::fromLatin1(ace);
        // GMime writes a header address from the Unicode form of its domain; one it cannot turn
        // back into this ACE form (a label with "--" after two letters, a symbol) would travel as
        // raw UTF-8 in the header, unlike in the envelope.
        if (ace.toLower().contains("xn--") && !headerKeepsAddress(r.address))
            return refused(QStringLiteral("「@」の後のドメイン名が正しくありません"));
    }
    if (r.address.toUtf8().size() > 254)
        return refused(QStringLiteral("アドレスが長すぎます"));
    r.utf8LocalPart = !isAscii(local);
    return r;
}

} // namespace

QByteArray mailDomainOf(const QString &address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    const QByteArray ace = at < 0 ? QByteArray() : QUrl::toAce(address.mid(at + 1));
    return ace.isEmpty() ? QByteArrayLiteral("localhost") : ace;
}
