#include "platform/mail/DeliveryNotice.h"

#include "platform/mail/MimeComposer.h"
#include "platform/mail/MimeParts.h"

#include <QStringList>
#include <QTimeZone>

#include <algorithm>
#include <cstring>
#include <vector>

using mime::GRef;

namespace
{

// What is read of a message at most. A bounce that returns a large mail has its report first.
constexpr qsizetype MaxMessageBytes = 16 * 1024 * 1024;
// Each level of MIME nesting needs a Content-Type field: counting them bounds GMime's recursion.
constexpr int MaxContentTypes = 200;
constexpr int MaxDepth = 16;     // how deep parts are looked for
constexpr int MaxChildren = 256; // parts of one multipart looked at
constexpr int MaxRecipients = 1000;
constexpr qsizetype MaxFieldBytes = 8192; // one unfolded field
constexpr int MaxFieldsPerGroup = 200;
constexpr qsizetype MaxValueChars = 4096;        // a diagnostic or an address kept
constexpr qsizetype MaxHeaderBytes = 256 * 1024; // the returned headers read
constexpr qsizetype MaxTextChars = 512 * 1024;   // of the human-readable text read
constexpr int MaxTextAddresses = 100;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The start of the message, cut before the field that would take the nesting past its bound.
QByteArrayView boundedMessage(QByteArrayView m)
{
    m = m.first(std::min(m.size(), MaxMessageBytes));
    int contentTypes = 0;
    const char *const begin = m.data();
    const char *const end = begin + m.size();
    for (const char *line = begin; line < end;) {
        if (end - line >= 12 && qstrnicmp(line, "content-type", 12) == 0 && ++contentTypes > MaxContentTypes)
            return m.first(line - begin);
        const void *nl = std::memchr(line, '\n', size_t(end - line));
        if (!nl)
            break;
        line = static_cast<const char *>(nl) + 1;
    }
    return m;
}

// One field of a header block or of a delivery-status group: the name in lower case, the value
// unfolded (each line break and the white space after it one space) and trimmed.
struct Field {
    QByteArray name;
    QByteArray value;
};
using FieldGroup = std::vector<Field>;

// The groups of fields separated by blank lines. Lines that are no field are passed over, as are
// fields past the bounds.
std::vector<FieldGroup> fieldGroups(QByteArrayView text, size_t maxGroups)
{
    std::vector<FieldGroup> groups;
    FieldGroup group;
    qsizetype open = -1; // the field that continuation lines belong to
    const auto closeGroup = [&] {
        if (!group.empty() && groups.size() < maxGroups)
            groups.push_back(std::move(group));
        group.clear();
        open = -1;
    };
    const char *p = text.data();
    const char *const end = p + text.size();
    while (p < end && groups.size() < maxGroups) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (!eol)
            eol = end;
        QByteArrayView line(p, eol - p);
        p = eol < end ? eol + 1 : end;
        if (line.endsWith('\r'))
            line.chop(1);
        qsizetype indent = 0;
        while (indent < line.size() && isBlank(line[indent]))
            ++indent;
        if (indent == line.size()) {
            closeGroup();
            continue;
        }
        if (indent > 0) {
            if (open >= 0) {
                QByteArray &value = group[size_t(open)].value;
                const QByteArrayView more = line.sliced(indent).trimmed();
                if (value.size() + more.size() < MaxFieldBytes) {
                    if (!value.isEmpty())
                        value += ' ';
                    value += more;
                }
            }
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        const QByteArrayView name = colon > 0 ? line.first(colon).trimmed() : QByteArrayView();
        if (name.isEmpty() || name.contains(' ') || name.contains('\t') ||
            group.size() >= MaxFieldsPerGroup) {
            open = -1;
            continue;
        }
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        group.push_back(
            {name.toByteArray().toLower(), value.first(std::min(value.size(), MaxFieldBytes)).toByteArray()});
        open = qsizetype(group.size()) - 1;
    }
    closeGroup();
    return groups;
}

const QByteArray *fieldOf(const FieldGroup &group, QByteArrayView name)
{
    for (const Field &f : group)
        if (f.name == name)
            return &f.value;
    return nullptr;
}

// The value without its RFC 5322 comments (nested, with quoted pairs; not inside quoted strings),
// its white space runs made one space.
QByteArray withoutComments(QByteArrayView v)
{
    QByteArray out;
    out.reserve(v.size());
    int depth = 0;
    bool quoted = false;
    for (qsizetype i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '\\' && i + 1 < v.size() && (quoted || depth > 0)) {
            if (depth == 0)
                out += v.sliced(i, 2);
            ++i;
        } else if (depth > 0) {
            if (c == '(')
                ++depth;
            else if (c == ')')
                --depth;
        } else if (c == '"') {
            quoted = !quoted;
            out += c;
        } else if (c == '(' && !quoted) {
            depth = 1;
            out += ' ';
        } else {
            out += c;
        }
    }
    return out.simplified();
}

bool isTypeToken(QByteArrayView t)
{
    if (t.isEmpty() || t.size() > 32)
        return false;
    return std::all_of(t.begin(), t.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_';
    });
}

// "rfc822; user@example.com": the type in lower case and the rest. Without a type, all is the rest.
std::pair<QByteArray, QByteArrayView> typedValue(QByteArrayView v)
{
    const qsizetype semi = v.indexOf(';');
    if (semi > 0 && isTypeToken(v.first(semi).trimmed()))
        return {v.first(semi).trimmed().toByteArray().toLower(), v.sliced(semi + 1).trimmed()};
    return {QByteArray(), v.trimmed()};
}

QString lowerDomain(const QString &address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return address;
    return address.left(at + 1) + address.mid(at + 1).toLower();
}

// RFC 6533's \x{HHHH} for characters of a UTF-8 address written in ASCII.
QString withUnicodeEscapes(const QString &s)
{
    if (!s.contains(QLatin1String("\\x{")))
        return s;
    QString out;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == u'\\' && s.mid(i, 3) == QLatin1String("\\x{")) {
            const qsizetype close = s.mid(i + 3, 7).indexOf(u'}') + i + 3; // at most six digits
            bool ok = false;
            const uint code = close > i + 3 ? s.mid(i + 3, close - i - 3).toUInt(&ok, 16) : 0;
            if (ok && code > 0 && code <= 0x10ffff && !(code >= 0xd800 && code <= 0xdfff)) {
                out += QString::fromUcs4(reinterpret_cast<const char32_t *>(&code), 1);
                i = close;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

QString addressOf(QByteArrayView field)
{
    const QByteArray plain = withoutComments(field);
    const auto [type, value] = typedValue(plain);
    QString a = QString::fromUtf8(value).trimmed();
    if (type == "utf-8")
        a = withUnicodeEscapes(a);
    if (a.startsWith(u'<') && a.endsWith(u'>'))
        a = a.mid(1, a.size() - 2).trimmed();
    return lowerDomain(a.left(MaxValueChars));
}

// A value without its type ("dns; mx.example.com" is "mx.example.com").
QString typedText(QByteArrayView field)
{
    return QString::fromUtf8(typedValue(withoutComments(field)).second).left(MaxValueChars);
}

QString diagnosticOf(QByteArrayView field)
{
    return QString::fromUtf8(typedValue(field).second).simplified().left(MaxValueChars);
}

// An RFC 3463 status code: class 2, 4 or 5, then subject and detail of one to three digits.
bool isStatusCode(QStringView t)
{
    if (t.size() < 5 || t.size() > 9 || !(t[0] == u'2' || t[0] == u'4' || t[0] == u'5') || t[1] != u'.')
        return false;
    qsizetype i = 2;
    for (int part = 0; part < 2; ++part) {
        const qsizetype start = i;
        while (i < t.size() && isDigit(t[i]))
            ++i;
        if (i == start || i - start > 3)
            return false;
        if (part == 0) {
            if (i >= t.size() || t[i] != u'.')
                return false;
            ++i;
        }
    }
    return i == t.size();
}

QString statusOf(QByteArrayView field)
{
    const QString plain = QString::fromLatin1(withoutComments(field));
    const QString token = plain.section(u' ', 0, 0);
    return isStatusCode(token) ? token : QString();
}

// The first status code in a server's reply ("550 5.1.1 ...", "(#5.1.1)").
QString statusIn(QStringView reply)
{
    for (qsizetype i = 0; i + 5 <= reply.size(); ++i) {
        if (!(reply[i] == u'2' || reply[i] == u'4' || reply[i] == u'5') || reply[i + 1] != u'.')
            continue;
        if (i > 0 && (isDigit(reply[i - 1]) || reply[i - 1] == u'.'))
            continue;
        qsizetype end = i + 2;
        while (end < reply.size() && (isDigit(reply[end]) || reply[end] == u'.') && end - i < 10)
            ++end;
        QStringView token = reply.sliced(i, end - i);
        if (token.endsWith(u'.'))
            token.chop(1);
        if (isStatusCode(token))
            return token.toString();
    }
    return {};
}

// A reply code of the form that starts a server's reply: three digits, then the end, a space, a
// hyphen or a colon.
int replyCodeAt(QStringView s, qsizetype i)
{
    if (i + 3 > s.size() || !isDigit(s[i]) || !isDigit(s[i + 1]) || !isDigit(s[i + 2]))
        return 0;
    if (i + 3 < s.size() && !(s[i + 3] == u' ' || s[i + 3] == u'-' || s[i + 3] == u':'))
        return 0;
    return (s[i].unicode() - '0') * 100 + (s[i + 1].unicode() - '0') * 10 + (s[i + 2].unicode() - '0');
}

DeliveryNotice::Action actionOf(QByteArrayView field)
{
    const QByteArray word = withoutComments(field).toLower().split(' ').value(0);
    using A = DeliveryNotice::Action;
    if (word == "failed")
        return A::Failed;
    if (word == "delayed")
        return A::Delayed;
    if (word == "delivered")
        return A::Delivered;
    if (word == "relayed")
        return A::Relayed;
    if (word == "expanded")
        return A::Expanded;
    return A::Unknown;
}

QDateTime dateOf(QByteArrayView field)
{
    const QByteArray value = field.trimmed().toByteArray();
    GDateTime *date = g_mime_utils_header_decode_date(value.constData());
    if (!date)
        return {};
    const qint64 seconds = g_date_time_to_unix(date);
    const int offset = int(g_date_time_get_utc_offset(date) / G_TIME_SPAN_SECOND);
    g_date_time_unref(date);
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone(offset));
}

bool isMessageId(QByteArrayView id)
{
    return !id.isEmpty() && id.size() <= 998 && std::none_of(id.begin(), id.end(), [](char c) {
        return c <= ' ' || c == '<' || c == '>' || c == 0x7f;
    });
}

// The first (or the last) <id> of a field; without angle brackets, the value when it is one id.
QByteArray messageIdIn(QByteArrayView v, bool last = false)
{
    QByteArrayView found;
    for (qsizetype open = v.indexOf('<'); open >= 0; open = v.indexOf('<', open + 1)) {
        const qsizetype close = v.indexOf('>', open + 1);
        if (close < 0)
            break;
        const QByteArrayView id = v.sliced(open + 1, close - open - 1).trimmed();
        if (isMessageId(id)) {
            found = id;
            if (!last)
                break;
        }
        open = close;
    }
    if (found.isEmpty()) {
        const QByteArray plain = withoutComments(v);
        if (plain.contains('@') && isMessageId(plain))
            return plain;
    }
    return found.toByteArray();
}

bool isType(GMimeObject *o, const char *type, const char *subtype)
{
    GMimeContentType *ct = g_mime_object_get_content_type(o);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

QByteArray contentOf(GMimeObject *o, qsizetype limit)
{
    if (!GMIME_IS_PART(o))
        return {};
    GMimeDataWrapper *wrapper = g_mime_part_get_content(GMIME_PART(o));
    if (!wrapper)
        return {};
    GRef<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, out.get());
    const GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return QByteArray(reinterpret_cast<const char *>(bytes->data), std::min<qsizetype>(bytes->len, limit));
}

QString textOf(GMimeObject *o, qsizetype limit)
{
    if (GMIME_IS_TEXT_PART(o)) {
        char *text = g_mime_text_part_get_text(GMIME_TEXT_PART(o));
        if (text) {
            const QString s = QString::fromUtf8(text, qsizetype(std::min(std::strlen(text), size_t(limit))));
            g_free(text);
            return s;
        }
    }
    return QString::fromUtf8(contentOf(o, limit));
}

bool isStatusPart(GMimeObject *o)
{
    return GMIME_IS_PART(o) &&
           (isType(o, "message", "delivery-status") || isType(o, "message", "global-delivery-status"));
}

bool isReturnedPart(GMimeObject *o)
{
    return GMIME_IS_MESSAGE_PART(o) || isType(o, "text", "rfc822-headers") ||
           isType(o, "message", "global-headers") || isType(o, "message", "rfc822") ||
           isType(o, "message", "global");
}

// The human-readable text of a part and what it holds (not of returned messages), and the first
// returned message or its headers.
struct Reading {
    QString text;
    GMimeObject *returned = nullptr;
};

void readParts(GMimeObject *o, int depth, Reading &r)
{
    if (!o || depth > MaxDepth || r.text.size() >= MaxTextChars)
        return;
    if (GMIME_IS_MULTIPART(o)) {
        const int n = std::min(g_mime_multipart_get_count(GMIME_MULTIPART(o)), MaxChildren);
        for (int i = 0; i < n; ++i)
            readParts(g_mime_multipart_get_part(GMIME_MULTIPART(o), i), depth + 1, r);
    } else if (isReturnedPart(o)) {
        if (!r.returned)
            r.returned = o;
    } else if (isType(o, "text", "plain")) {
        r.text += textOf(o, MaxTextChars - r.text.size());
        r.text += u'\n';
    }
}

QByteArray idOfReturned(GMimeObject *o)
{
    if (!o)
        return {};
    if (GMIME_IS_MESSAGE_PART(o)) {
        GMimeMessage *m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(o));
        const char *id = m ? g_mime_object_get_header(GMIME_OBJECT(m), "Message-ID") : nullptr;
        return id ? messageIdIn(id) : QByteArray();
    }
    const std::vector<FieldGroup> headers = fieldGroups(contentOf(o, MaxHeaderBytes), 1);
    const QByteArray *id = headers.empty() ? nullptr : fieldOf(headers.front(), "message-id");
    return id ? messageIdIn(*id) : QByteArray();
}

// The notice's own In-Reply-To, else the last of its References.
QByteArray idOfThread(GMimeMessage *notice)
{
    if (const char *inReplyTo = g_mime_object_get_header(GMIME_OBJECT(notice), "In-Reply-To"))
        if (const QByteArray id = messageIdIn(inReplyTo); !id.isEmpty())
            return id;
    if (const char *references = g_mime_object_get_header(GMIME_OBJECT(notice), "References"))
        return messageIdIn(references, true);
    return {};
}

// A quoted "Message-ID: <id>" line of the text (indented or after "> " too).
QByteArray idInText(QStringView text)
{
    for (qsizetype at = 0; at < text.size();) {
        qsizetype nl = text.indexOf(u'\n', at);
        if (nl < 0)
            nl = text.size();
        QStringView line = text.sliced(at, nl - at);
        at = nl + 1;
        while (!line.isEmpty() && (line[0] == u' ' || line[0] == u'\t' || line[0] == u'>'))
            line = line.sliced(1);
        if (!line.startsWith(QLatin1String("message-id:"), Qt::CaseInsensitive))
            continue;
        QStringView value = line.sliced(11).trimmed();
        if (value.isEmpty() && at < text.size()) { // the id folded onto the next line
            qsizetype next = text.indexOf(u'\n', at);
            value = text.sliced(at, (next < 0 ? text.size() : next) - at).trimmed();
        }
        if (const QByteArray id = messageIdIn(value.toUtf8()); !id.isEmpty())
            return id;
    }
    return {};
}

QStringList mailboxesOf(InternetAddressList *list, QStringList *names = nullptr)
{
    QStringList out;
    const int n = list ? std::min(internet_address_list_length(list), 50) : 0;
    for (int i = 0; i < n; ++i) {
        InternetAddress *ia = internet_address_list_get_address(list, i);
        if (!INTERNET_ADDRESS_IS_MAILBOX(ia))
            continue;
        if (const char *addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia)))
            out += lowerDomain(QString::fromUtf8(addr));
        if (names)
            *names += QString::fromUtf8(internet_address_get_name(ia));
    }
    return out;
}

// Sent by a mail system: MAILER-DAEMON, postmaster, "Mail Delivery Subsystem" and the like.
bool fromMailSystem(GMimeMessage *notice)
{
    QStringList names;
    const QStringList from = mailboxesOf(g_mime_message_get_from(notice), &names);
    for (const QString &address : from) {
        const QString local = address.section(u'@', 0, 0).toLower();
        if (local.startsWith(QLatin1String("mailer-daemon")) || local == QLatin1String("postmaster") ||
            local == QLatin1String("mail-daemon") || local == QLatin1String("mailerdaemon"))
            return true;
    }
    for (const QString &name : std::as_const(names))
        if (name.contains(QLatin1String("mail delivery"), Qt::CaseInsensitive) ||
            name.contains(QLatin1String("mailer-daemon"), Qt::CaseInsensitive))
            return true;
    return false;
}

QList<QStringView> linesOf(QStringView text)
{
    QList<QStringView> lines;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype nl = text.indexOf(u'\n', at);
        if (nl < 0)
            nl = text.size();
        QStringView line = text.sliced(at, nl - at);
        if (line.endsWith(u'\r'))
            line.chop(1);
        lines += line;
        at = nl + 1;
    }
    return lines;
}

bool containsAny(QStringView text, std::initializer_list<const char *> phrases)
{
    return std::any_of(phrases.begin(), phrases.end(), [text](const char *p) {
        return text.contains(QLatin1String(p), Qt::CaseInsensitive);
    });
}

using Action = DeliveryNotice::Action;

// What a bounce's own words say of all its addresses: read once, however many it names.
struct Tone {
    bool permanent = false;
    bool delayed = false;
};

Tone toneOf(QStringView explanation)
{
    Tone t;
    t.permanent = containsAny(explanation, {"permanent", "given up", "giving up", "could not be delivered",
                                            "couldn't be delivered", "undeliverable", "delivery has failed"});
    t.delayed = containsAny(explanation, {"delayed", "not yet been delivered", "temporary", "temporarily",
                                          "will retry", "will be retried", "still trying", "keep trying"});
    return t;
}

// Failed, unless the text or a 4xx reply says the mail system is still trying.
Action actionOfText(Tone tone, int replyCode)
{
    if (tone.permanent)
        return Action::Failed;
    return tone.delayed || (replyCode >= 400 && replyCode < 500) ? Action::Delayed : Action::Failed;
}

int leadingReplyCode(QStringView reply)
{
    return replyCodeAt(reply, 0);
}

// The qmail form, which some large webmail providers send too: "<address>:" lines, each followed by
// what the remote server said, before "--- Below this line is a copy of the message.".
bool readQmailForm(QStringView text, bool mailSystem, DeliveryNotice &n)
{
    const bool signature =
        text.contains(QLatin1String("This is the qmail-send program"), Qt::CaseInsensitive);
    const QList<QStringView> lines = linesOf(text);
    qsizetype end = lines.size();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringView l = lines[i].trimmed();
        if (l.startsWith(QLatin1String("--- Below this line is a copy of the message"),
                         Qt::CaseInsensitive) ||
            l.startsWith(QLatin1String("--- Enclosed are the original headers"), Qt::CaseInsensitive)) {
            end = i;
            break;
        }
    }
    if (!signature && !(mailSystem && end < lines.size()))
        return false;

    QString intro;
    QList<DeliveryNotice::Recipient> found;
    for (qsizetype i = 0; i < end; ++i) {
        const QStringView l = lines[i].trimmed();
        const bool addressLine =
            l.size() > 4 && l.startsWith(u'<') && l.endsWith(QLatin1String(">:")) && l.contains(u'@');
        if (!addressLine) {
            if (found.isEmpty()) {
                intro += l;
                intro += u' ';
            }
            continue;
        }
        if (found.size() >= MaxRecipients)
            break;
        DeliveryNotice::Recipient r;
        r.address = lowerDomain(l.sliced(1, l.size() - 3).trimmed().toString().left(MaxValueChars));
        QString said;
        for (qsizetype j = i + 1; j < end && !lines[j].trimmed().isEmpty(); ++j) {
            const QStringView next = lines[j].trimmed();
            if (next.startsWith(u'<') && next.endsWith(QLatin1String(">:")))
                break;
            if (said.size() < MaxValueChars) {
                said += next;
                said += u' ';
            }
            i = j;
        }
        said = said.simplified();
        if (const qsizetype at = said.indexOf(QLatin1String("Giving up on "), 0, Qt::CaseInsensitive);
            at >= 0) {
            r.remoteMta = said.mid(at + 13).section(u' ', 0, 0);
            if (r.remoteMta.endsWith(u'.'))
                r.remoteMta.chop(1);
            said.truncate(at);
        }
        if (const qsizetype at = said.indexOf(QLatin1String("Remote host said:"), 0, Qt::CaseInsensitive);
            at >= 0)
            said = said.mid(at + 17);
        r.diagnostic = said.trimmed().left(MaxValueChars);
        r.status = statusIn(r.diagnostic);
        found += r;
    }
    if (found.isEmpty())
        return false;
    const Tone tone = toneOf(intro);
    for (DeliveryNotice::Recipient &r : found)
        r.action = actionOfText(tone, leadingReplyCode(r.diagnostic));
    if (const qsizetype at = intro.indexOf(QLatin1String("qmail-send program at "), 0, Qt::CaseInsensitive);
        at >= 0) {
        n.reportingMta = intro.mid(at + 22).section(u' ', 0, 0);
        if (n.reportingMta.endsWith(u'.'))
            n.reportingMta.chop(1);
    }
    n.recipients = found;
    return true;
}

// Where a bounce's own words end and the returned mail begins: a line that says so, or the first
// line of its quoted headers.
bool startsQuotedMail(QStringView line)
{
    while (!line.isEmpty() && (line[0] == u'>' || line[0] == u' ' || line[0] == u'\t'))
        line = line.sliced(1);
    if (containsAny(line, {"original message", "copy of the message", "below this line", "original headers",
                           "returned message", "message headers", "undelivered message"}))
        return true;
    for (const char *name : {"received:", "return-path:", "dkim-signature:", "message-id:", "x-received:"})
        if (line.startsWith(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    return false;
}

bool isTextLocalChar(QChar c)
{
    return c.isLetterOrNumber() || (c.unicode() < 0x80 && std::strchr("!#$%&*+-=?^_.~", char(c.unicode())));
}

bool isDomainChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'.' || c == u'-';
}

// The addresses written in a text, in order, each once.
QStringList addressesIn(QStringView text)
{
    QStringList out;
    for (qsizetype i = 0; i < text.size() && out.size() < MaxTextAddresses; ++i) {
        if (text[i] != u'@')
            continue;
        qsizetype left = i;
        while (left > 0 && isTextLocalChar(text[left - 1]))
            --left;
        qsizetype right = i + 1;
        while (right < text.size() && isDomainChar(text[right]))
            ++right;
        QStringView local = text.sliced(left, i - left);
        QStringView domain = text.sliced(i + 1, right - i - 1);
        while (local.startsWith(u'.'))
            local = local.sliced(1);
        while (domain.endsWith(u'.') || domain.endsWith(u'-'))
            domain.chop(1);
        if (!local.isEmpty() && domain.contains(u'.') && !domain.startsWith(u'.') &&
            !domain.startsWith(u'-') && local.size() + domain.size() < 255) {
            const QString address = lowerDomain(local.toString() + u'@' + domain.toString());
            if (!out.contains(address))
                out += address;
        }
        i = right - 1;
    }
    return out;
}

// A server's reply written in a line: a 4xx or 5xx code that starts the line (after ">>>", "<<<"
// and the like) or a quotation, or that is followed by a status code.
QString replyIn(QStringView line)
{
    bool start = true; // nothing but "<", ">", "#" and blanks before i
    for (qsizetype i = 0; i + 3 <= line.size(); ++i) {
        const QChar c = line[i];
        const bool candidate =
            (c == u'4' || c == u'5') && !(i > 0 && (line[i - 1].isLetterOrNumber() || line[i - 1] == u'.'));
        if (const int code = candidate ? replyCodeAt(line, i) : 0; code != 0) {
            const QChar quote =
                i > 0 && (line[i - 1] == u'\'' || line[i - 1] == u'"') ? line[i - 1] : QChar();
            qsizetype tokenEnd = i + 4;
            while (tokenEnd < line.size() && tokenEnd - i < 14 && line[tokenEnd] != u' ')
                ++tokenEnd;
            const bool withStatus = i + 4 < line.size() && isStatusCode(line.sliced(i + 4, tokenEnd - i - 4));
            if (start || !quote.isNull() || withStatus) {
                qsizetype end = quote.isNull() ? -1 : line.indexOf(quote, i);
                if (end < 0)
                    end = line.size();
                return line.sliced(i, end - i).trimmed().toString();
            }
        }
        if (!(c == u'<' || c == u'>' || c == u'#' || c == u' ' || c == u'\t'))
            start = false;
    }
    return {};
}

// The plain text of a mail system's own bounce ("Mail Delivery Subsystem", MAILER-DAEMON,
// postmaster): the addresses its explanation names and the server's reply it quotes.
bool readPlainForm(QStringView text, const QStringList &notThese, DeliveryNotice &n)
{
    const QList<QStringView> lines = linesOf(text);
    QString explanation;
    QStringList replies;
    for (qsizetype i = 0; i < lines.size() && !startsQuotedMail(lines[i]); ++i) {
        explanation += lines[i];
        explanation += u'\n';
        QString reply = replyIn(lines[i]);
        if (reply.isEmpty())
            continue;
        // The continuation lines of a multi-line reply ("550-5.1.1 ...", "550 5.1.1 ...").
        const QString code = reply.left(3);
        const QString status = statusIn(reply);
        while (i + 1 < lines.size() && reply.size() < MaxValueChars) {
            const QStringView next = lines[i + 1].trimmed();
            if (!(next.startsWith(code) && replyCodeAt(next, 0) && next.size() > 4))
                break;
            QStringView more = next.sliced(4).trimmed();
            if (!status.isEmpty() && more.startsWith(status)) // each line repeats the status code
                more = more.sliced(status.size()).trimmed();
            reply += u' ';
            reply += more;
            explanation += lines[++i];
            explanation += u'\n';
        }
        if (replies.size() < MaxTextAddresses)
            replies += reply.left(MaxValueChars);
    }
    QStringList addresses;
    for (const QString &a : addressesIn(explanation)) {
        const QString local = a.section(u'@', 0, 0).toLower();
        if (!notThese.contains(a, Qt::CaseInsensitive) && local != QLatin1String("postmaster") &&
            !local.startsWith(QLatin1String("mailer-daemon")))
            addresses += a;
    }
    const bool saysFailed = containsAny(
        explanation, {"failed", "could not be delivered", "couldn't be delivered", "wasn't able to deliver",
                      "was not delivered", "undeliverable", "does not exist", "delayed",
                      "not yet been delivered", "unable to deliver"});
    if (addresses.isEmpty() || (replies.isEmpty() && !saysFailed))
        return false;
    const Tone tone = toneOf(explanation);
    for (const QString &address : std::as_const(addresses)) {
        DeliveryNotice::Recipient r;
        r.address = address;
        const auto own = std::find_if(replies.cbegin(), replies.cend(), [&](const QString &reply) {
            return reply.contains(address, Qt::CaseInsensitive);
        });
        r.diagnostic = own != replies.cend() ? *own : replies.value(0);
        r.status = statusIn(r.diagnostic);
        r.action = actionOfText(tone, leadingReplyCode(r.diagnostic));
        n.recipients += r;
    }
    return true;
}

void readStatusPart(GMimeObject *part, DeliveryNotice &n, QByteArray *originalId)
{
    const std::vector<FieldGroup> groups = fieldGroups(contentOf(part, MaxMessageBytes), MaxRecipients + 1);
    for (const FieldGroup &g : groups) {
        if (const QByteArray *v = fieldOf(g, "original-envelope-id"); v && n.envelopeId.isEmpty())
            n.envelopeId = v->left(512);
        if (const QByteArray *v = fieldOf(g, "reporting-mta"); v && n.reportingMta.isEmpty())
            n.reportingMta = typedText(*v);
        if (const QByteArray *v = fieldOf(g, "arrival-date"); v && !n.arrival.isValid())
            n.arrival = dateOf(*v);
        if (const QByteArray *v = fieldOf(g, "x-original-message-id"); v && originalId->isEmpty())
            *originalId = messageIdIn(*v);

        const QByteArray *final = fieldOf(g, "final-recipient");
        const QByteArray *original = fieldOf(g, "original-recipient");
        const QByteArray *action = fieldOf(g, "action");
        if ((!final && !original && !action) || n.recipients.size() >= MaxRecipients)
            continue;
        DeliveryNotice::Recipient r;
        if (original)
            r.originalAddress = addressOf(*original);
        r.address = final ? addressOf(*final) : QString();
        if (r.address.isEmpty())
            r.address = r.originalAddress;
        if (action)
            r.action = actionOf(*action);
        if (const QByteArray *v = fieldOf(g, "status"))
            r.status = statusOf(*v);
        if (const QByteArray *v = fieldOf(g, "diagnostic-code"))
            r.diagnostic = diagnosticOf(*v);
        if (const QByteArray *v = fieldOf(g, "remote-mta"))
            r.remoteMta = typedText(*v);
        n.recipients += r;
    }
}

// The multipart/report of the message: itself or one of its parts.
GMimeObject *reportOf(GMimeObject *top)
{
    if (isType(top, "multipart", "report"))
        return top;
    if (!GMIME_IS_MULTIPART(top))
        return nullptr;
    const int n = std::min(g_mime_multipart_get_count(GMIME_MULTIPART(top)), MaxChildren);
    for (int i = 0; i < n; ++i)
        if (GMimeObject *part = g_mime_multipart_get_part(GMIME_MULTIPART(top), i);
            isType(part, "multipart", "report"))
            return part;
    return nullptr;
}

} // namespace

bool DeliveryNotice::Recipient::permanent() const
{
    if (action != Action::Failed)
        return false;
    if (!status.isEmpty())
        return status.startsWith(u'5');
    const int code = replyCodeAt(diagnostic, 0);
    return code >= 500 && code < 600;
}

std::optional<DeliveryNotice> readDeliveryNotice(const QByteArray &message)
{
    initMimeLibrary();
    const QByteArrayView bytes = boundedMessage(message);
    if (bytes.isEmpty())
        return std::nullopt;
    GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), size_t(bytes.size())));
    GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GRef<GMimeMessage> notice(g_mime_parser_construct_message(parser.get(), nullptr));
    GMimeObject *top = notice ? g_mime_message_get_mime_part(notice.get()) : nullptr;
    if (!top)
        return std::nullopt;

    DeliveryNotice n;
    QByteArray originalId;
    Reading reading;
    // The addresses of the notice itself (the sender of the returned mail among them) are not
    // those that failed.
    QStringList notThese = mailboxesOf(g_mime_message_get_from(notice.get()));
    notThese += mailboxesOf(g_mime_message_get_to(notice.get()));
    notThese += mailboxesOf(g_mime_message_get_cc(notice.get()));
    notThese += mailboxesOf(g_mime_message_get_reply_to(notice.get()));
    if (GMimeObject *report = reportOf(top)) {
        // Read receipts, feedback reports and other reports are no delivery notices.
        const QByteArray type = QByteArray(g_mime_content_type_get_parameter(
                                               g_mime_object_get_content_type(report), "report-type"))
                                    .toLower();
        GMimeObject *status = nullptr;
        const int count = std::min(g_mime_multipart_get_count(GMIME_MULTIPART(report)), MaxChildren);
        for (int i = 0; i < count && !status; ++i)
            if (GMimeObject *part = g_mime_multipart_get_part(GMIME_MULTIPART(report), i); isStatusPart(part))
                status = part;
        const bool delivery = type == "delivery-status" || type == "global-delivery-status";
        if (!delivery && !(type.isEmpty() && status))
            return std::nullopt;
        if (status)
            readStatusPart(status, n, &originalId);
        readParts(report, 0, reading);
        // A damaged report whose status part says nothing may still say it in its text.
        if (n.recipients.isEmpty()) {
            DeliveryNotice fromText;
            if (readPlainForm(reading.text, notThese, fromText))
                n.recipients = fromText.recipients;
        }
    } else {
        readParts(top, 0, reading);
        const bool mailSystem = fromMailSystem(notice.get());
        if (!readQmailForm(reading.text, mailSystem, n) &&
            !(mailSystem && readPlainForm(reading.text, notThese, n)))
            return std::nullopt;
        n.standard = false;
    }
    n.originalMessageId = idOfReturned(reading.returned);
    if (n.originalMessageId.isEmpty())
        n.originalMessageId = originalId;
    if (n.originalMessageId.isEmpty())
        n.originalMessageId = idOfThread(notice.get());
    if (n.originalMessageId.isEmpty())
        n.originalMessageId = idInText(reading.text);
    return n;
}
