#include "platform/mail/MailArguments.h"

#include "platform/Text.h"
#include "platform/mail/MailAddress.h"

namespace
{

const QString PlainHeader = QStringLiteral(">Content-Type: text/plain;");
const QString HtmlHeader = QStringLiteral(">Content-Type: text/html;");

bool isControl(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

bool hasControl(QStringView s)
{
    for (const QChar c : s)
        if (isControl(c))
            return true;
    return false;
}

QString unquoteName(QString name)
{
    if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"')) {
        QString out;
        out.reserve(name.size());
        for (qsizetype i = 1; i + 1 < name.size(); ++i) {
            if (name[i] == u'\\' && i + 2 < name.size())
                ++i;
            out += name[i];
        }
        return out;
    }
    return name;
}

MailSender parseSenderText(const QString &text)
{
    MailSender s;
    QString t = text;
    t.replace(QLatin1String("||"), QString());
    if (hasControl(t)) {
        s.error = QStringLiteral("送信者に改行やタブなどの制御文字が含まれています。");
        return s;
    }
    t = trimSpaces(t);
    QString address;
    if (t.endsWith(u'>')) {
        const qsizetype lt = t.lastIndexOf(u'<');
        if (lt < 0) {
            s.error =
                QStringLiteral("送信者「%1」が正しくありません。「名前 <アドレス>」の形で指定してください。")
                    .arg(t);
            return s;
        }
        address = trimSpaces(t.mid(lt + 1, t.size() - lt - 2));
        s.name = unquoteName(trimSpaces(t.left(lt)));
    } else {
        address = t;
    }
    const CheckedAddress checked = checkMailAddress(address);
    if (!checked.reason.isEmpty()) {
        s.error = QStringLiteral("送信者のメールアドレス「%1」が正しくありません（%2）。")
                      .arg(address, checked.reason);
        return s;
    }
    s.address = checked.address;
    return s;
}

} // namespace

MailSender parseSender(const QString &text)
{
    // A run sends every mail with the same sender text.
    thread_local QString lastText;
    thread_local MailSender last;
    if (!lastText.isNull() && text == lastText)
        return last;
    last = parseSenderText(text);
    lastText = text.isNull() ? QStringLiteral("") : text;
    return last;
}

MailRecipient parseRecipients(const QString &text)
{
    MailRecipient r;
    for (const QChar c : text) {
        if (isControl(c) && c != u'\t') {
            r.error = QStringLiteral("宛先に改行などの制御文字が含まれています。送信しませんでした。");
            r.reason = QStringLiteral("改行などの制御文字が含まれています");
            return r;
        }
    }
    bool haveHeader = false, haveAddress = false;
    for (const QStringView element : QStringView(text).split(u'\t')) {
        if (element.startsWith(u'>')) {
            if (haveHeader || (element != PlainHeader && element != HtmlHeader)) {
                r.error = QStringLiteral("宛先の指定「%1」は使えません。使えるのは「%2」と「%3」だけです。")
                              .arg(element.toString(), PlainHeader, HtmlHeader);
                r.reason = QStringLiteral("「>」で始まる指定は使えません");
                return r;
            }
            haveHeader = true;
            r.html = element == HtmlHeader;
            continue;
        }
        if (haveAddress) {
            r.error = QStringLiteral("宛先が複数あります（アドレスにタブが含まれている可能性があります）。"
                                     "1通に指定できる宛先は1件だけです。送信しませんでした。");
            r.reason = QStringLiteral("タブが含まれています");
            return r;
        }
        haveAddress = true;
        if (element.size() < 2 || !element.startsWith(u'<') || !element.endsWith(u'>')) {
            r.error = QStringLiteral("宛先「%1」が正しくありません。アドレスを < > で囲んでください。")
                          .arg(element.toString());
            r.reason = QStringLiteral("< > で囲まれていません");
            return r;
        }
        const QStringView inner = trimSpaces(element.mid(1, element.size() - 2));
        if (inner.isEmpty()) {
            r.error = QStringLiteral("宛先のメールアドレスが空です。");
            r.reason = QStringLiteral("アドレスが空です");
            return r;
        }
        // RCPT TO:<Postmaster> is the one address SMTP knows without a domain.
        if (inner.compare(QLatin1String("postmaster"), Qt::CaseInsensitive) == 0) {
            r.address = inner.toString();
            continue;
        }
        const CheckedAddress checked = checkMailAddress(inner.toString());
        if (!checked.reason.isEmpty()) {
            r.error =
                QStringLiteral("宛先のメールアドレス「%1」が正しくありません（%2）。送信しませんでした。")
                    .arg(inner.toString(), checked.reason);
            r.reason = checked.reason;
            return r;
        }
        r.address = checked.address;
    }
    if (!haveAddress) {
        r.error = QStringLiteral("宛先が指定されていません。");
        r.reason = QStringLiteral("アドレスが空です");
    }
    return r;
}

QString checkSubject(const QString &subject)
{
    for (const QChar c : subject)
        if (isControl(c) && c != u'\t')
            return QStringLiteral("件名に改行などの制御文字が含まれています。送信しませんでした。");
    return {};
}

QStringList splitAttachments(const QString &text)
{
    QStringList out;
    for (const QStringView piece : QStringView(text).split(u'\t'))
        if (!piece.isEmpty())
            out += piece.toString();
    return out;
}
