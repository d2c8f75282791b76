#include "platform/mail/MailText.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

#include <iconv.h>

#include <algorithm>
#include <functional>

namespace
{

bool isHtmlSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f';
}

struct Attribute {
    QString name;                             // lower case
    QString value;                            // entities decoded
    qsizetype valueFrom = 0, valueLength = 0; // the value as written, without its quotes
};

struct Tag {
    QString name; // lower case
    bool closing = false;
    QList<Attribute> attributes;
    QString attribute(const char *name) const
    {
        for (const Attribute &a : attributes)
            if (a.name == QLatin1String(name))
                return a.value;
        return {};
    }
};

struct NamedEntity {
    const char *name;
    char16_t code;
};
constexpr NamedEntity namedEntities[] = {
    {"amp", u'&'},      {"lt", u'<'},      {"gt", u'>'},      {"quot", u'"'},    {"apos", u'\''},
    {"nbsp", 0xa0},     {"copy", 0xa9},    {"reg", 0xae},     {"trade", 0x2122}, {"yen", 0xa5},
    {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013}, {"laquo", 0xab},   {"raquo", 0xbb},
    {"middot", 0xb7},   {"times", 0xd7},   {"divide", 0xf7},  {"euro", 0x20ac},  {"bull", 0x2022},
    {"lsquo", 0x2018},  {"rsquo", 0x2019}, {"ldquo", 0x201c}, {"rdquo", 0x201d}, {"deg", 0xb0},
    {"plusmn", 0xb1},   {"sect", 0xa7},    {"para", 0xb6},    {"larr", 0x2190},  {"rarr", 0x2192},
    {"uarr", 0x2191},   {"darr", 0x2193},  {"ensp", 0x2002},  {"emsp", 0x2003},  {"thinsp", 0x2009},
};

// `text` with its character references decoded; one that is not known stays as written.
QString decodeEntities(QStringView text)
{
    if (!text.contains(u'&'))
        return text.toString();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'&') {
            out += text[i];
            continue;
        }
        const qsizetype semicolon = text.indexOf(u';', i + 1);
        if (semicolon < 0 || semicolon - i > 12) {
            out += text[i];
            continue;
        }
        const QStringView name = text.mid(i + 1, semicolon - i - 1);
        char32_t code = 0;
        if (name.startsWith(u'#')) {
            bool ok = false;
            const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
            const uint value = name.mid(hex ? 2 : 1).toUInt(&ok, hex ? 16 : 10);
            // NUL, surrogates and what lies beyond Unicode are not characters
            if (ok && value > 0 && value <= 0x10ffff && !(value >= 0xd800 && value <= 0xdfff))
                code = value;
        } else {
            for (const NamedEntity &e : namedEntities)
                if (name == QLatin1String(e.name))
                    code = e.code;
        }
        if (code == 0) {
            out += text[i];
            continue;
        }
        out += QString::fromUcs4(&code, 1);
        i = semicolon;
    }
    return out;
}

// Reads the tag that starts at `at` (a '<' followed by a letter or '/'); returns where it ends.
qsizetype readTag(const QString &html, qsizetype at, Tag *tag)
{
    const qsizetype n = html.size();
    qsizetype i = at + 1;
    if (i < n && html[i] == u'/') {
        tag->closing = true;
        ++i;
    }
    const qsizetype nameFrom = i;
    while (i < n && !isHtmlSpace(html[i]) && html[i] != u'>' && html[i] != u'/')
        ++i;
    tag->name = html.mid(nameFrom, i - nameFrom).toLower();
    while (i < n && html[i] != u'>') {
        if (isHtmlSpace(html[i]) || html[i] == u'/') {
            ++i;
            continue;
        }
        Attribute a;
        const qsizetype attributeFrom = i;
        while (i < n && !isHtmlSpace(html[i]) && html[i] != u'>' && html[i] != u'=' &&
               !(html[i] == u'/' && i > attributeFrom))
            ++i;
        a.name = html.mid(attributeFrom, i - attributeFrom).toLower();
        while (i < n && isHtmlSpace(html[i]))
            ++i;
        if (i < n && html[i] == u'=') {
            ++i;
            while (i < n && isHtmlSpace(html[i]))
                ++i;
            if (i < n && (html[i] == u'"' || html[i] == u'\'')) {
                const QChar quote = html[i++];
                a.valueFrom = i;
                while (i < n && html[i] != quote)
                    ++i;
                a.valueLength = i - a.valueFrom;
                if (i < n)
                    ++i;
            } else {
                a.valueFrom = i;
                while (i < n && !isHtmlSpace(html[i]) && html[i] != u'>')
                    ++i;
                a.valueLength = i - a.valueFrom;
            }
            a.value = decodeEntities(QStringView(html).mid(a.valueFrom, a.valueLength));
        }
        tag->attributes += a;
    }
    return i < n ? i + 1 : n;
}

// Walks the HTML: `onText` for each run of text between tags (raw, entities not decoded),
// `onTag` for each tag. Comments, declarations and the content of script, style and title are
// skipped.
void scanHtml(const QString &html, const std::function<void(QStringView)> &onText,
              const std::function<void(const Tag &)> &onTag)
{
    const qsizetype n = html.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype lt = html.indexOf(u'<', i);
        const qsizetype textEnd = lt < 0 ? n : lt;
        if (textEnd > i && onText)
            onText(QStringView(html).mid(i, textEnd - i));
        if (lt < 0)
            break;
        i = lt;
        if (QStringView(html).mid(i, 4) == u"<!--") {
            const qsizetype end = html.indexOf(QLatin1String("-->"), i + 4);
            i = end < 0 ? n : end + 3;
            continue;
        }
        const QChar next = i + 1 < n ? html[i + 1] : QChar();
        if (next == u'!' || next == u'?') {
            const qsizetype end = html.indexOf(u'>', i);
            i = end < 0 ? n : end + 1;
            continue;
        }
        if (!next.isLetter() && next != u'/') { // a lone "<" is text
            if (onText)
                onText(QStringView(html).mid(i, 1));
            ++i;
            continue;
        }
        Tag tag;
        i = readTag(html, i, &tag);
        if (onTag)
            onTag(tag);
        if (!tag.closing && (tag.name == u"script" || tag.name == u"style" || tag.name == u"title")) {
            const qsizetype end = html.indexOf(QLatin1String("</") + tag.name, i, Qt::CaseInsensitive);
            if (end < 0)
                break;
            i = end;
        }
    }
}

bool isBlock(const QString &name)
{
    static const QSet<QString> blocks = {
        "p",       "div",   "li",     "tr",      "h1",      "h2",         "h3",     "h4",
        "h5",      "h6",    "ul",     "ol",      "table",   "blockquote", "pre",    "hr",
        "dl",      "dt",    "dd",     "section", "article", "header",     "footer", "nav",
        "address", "form",  "figure", "main",    "aside",   "figcaption", "center", "fieldset",
        "thead",   "tbody", "tfoot",  "caption", "details", "summary",    "body"};
    return blocks.contains(name);
}

std::optional<QString> localPath(const QString &source, const QString &folder)
{
    const QString s = source.trimmed();
    if (s.isEmpty() || s.startsWith(QLatin1String("//")))
        return std::nullopt;
    qsizetype colon = 0;
    while (colon < s.size() &&
           (s[colon].isLetterOrNumber() || s[colon] == u'+' || s[colon] == u'-' || s[colon] == u'.'))
        ++colon;
    if (colon > 0 && colon < s.size() && s[colon] == u':' && s[0].isLetter() && s[0].unicode() < 0x80) {
        if (s.left(colon).compare(QLatin1String("file"), Qt::CaseInsensitive) != 0)
            return std::nullopt;
        const QUrl url(s);
        if (!url.isValid() || !url.isLocalFile())
            return std::nullopt;
        return QDir::cleanPath(url.toLocalFile());
    }
    const auto resolved = [&](const QString &path) {
        return QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir(folder).absoluteFilePath(path));
    };
    const QString asWritten = resolved(s);
    // A relative URL may carry percent-escapes; a file named with "%" is taken as written.
    if (s.contains(u'%') && !QFileInfo::exists(asWritten)) {
        const QString decoded = QUrl::fromPercentEncoding(s.toUtf8());
        if (!decoded.isEmpty())
            return resolved(decoded);
    }
    return asWritten;
}

} // namespace

QString plainTextOfHtml(const QString &html)
{
    QString out;
    bool space = false; // white space seen since the last text
    int pre = 0;
    struct Link {
        QString href;
        qsizetype textFrom;
    };
    QList<Link> links;
    const auto atLineStart = [&] { return out.isEmpty() || out.endsWith(u'\n'); };
    const auto endLine = [&] {
        if (!atLineStart())
            out += u'\n';
        space = false;
    };
    const auto append = [&](const QString &text) {
        for (const QChar c : text) {
            if (pre == 0 && isHtmlSpace(c)) {
                space = true;
                continue;
            }
            if (space && !atLineStart() && !out.endsWith(u'\t'))
                out += u' ';
            space = false;
            if (c == u'\r')
                out += u'\n';
            else
                out += c.unicode() == 0xa0 ? QChar(u' ') : c;
        }
    };
    scanHtml(
        html, [&](QStringView text) { append(decodeEntities(text)); },
        [&](const Tag &tag) {
            if (tag.name == u"br") {
                out += u'\n';
                space = false;
            } else if (tag.name == u"td" || tag.name == u"th") {
                if (!tag.closing && !atLineStart()) {
                    out += u'\t';
                    space = false;
                }
            } else if (tag.name == u"a") {
                if (!tag.closing) {
                    links.append({tag.attribute("href").trimmed(), out.size()});
                } else if (!links.isEmpty()) {
                    const Link link = links.takeLast();
                    const QString text = out.mid(link.textFrom).trimmed();
                    QString shown = link.href;
                    if (shown.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
                        shown = shown.mid(7);
                    if (!link.href.isEmpty() && !link.href.startsWith(u'#') &&
                        !link.href.startsWith(QLatin1String("javascript:"), Qt::CaseInsensitive) &&
                        text != link.href && text != shown)
                        append(text.isEmpty() ? link.href : QStringLiteral(" (%1)").arg(link.href));
                }
            } else if (tag.name == u"img" && !tag.closing) {
                append(tag.attribute("alt"));
            } else if (isBlock(tag.name)) {
                endLine();
                if (tag.name == u"pre")
                    pre = std::max(0, pre + (tag.closing ? -1 : 1));
            }
        });
    // No spaces at line ends, no more than one empty line in a row, none at either end.
    QStringList lines = out.split(u'\n');
    QStringList kept;
    for (QString &line : lines) {
        while (line.endsWith(u' ') || line.endsWith(u'\t'))
            line.chop(1);
        if (line.isEmpty() && (kept.isEmpty() || kept.back().isEmpty()))
            continue;
        kept += line;
    }
    while (!kept.isEmpty() && kept.back().isEmpty())
        kept.removeLast();
    return kept.join(QLatin1String("\r\n"));
}

QList<HtmlImageSource> localImageSourcesOf(const QString &html, const QString &folder)
{
    QList<HtmlImageSource> sources;
    scanHtml(html, {}, [&](const Tag &tag) {
        if (tag.closing || tag.name != u"img")
            return;
        for (const Attribute &a : tag.attributes) {
            if (a.name != u"src")
                continue;
            if (const std::optional<QString> path = localPath(a.value, folder))
                sources.append({a.valueFrom, a.valueLength, *path});
            break; // the first src is the one readers use
        }
    });
    return sources;
}

QStringList localImagesOf(const QString &html, const QString &folder)
{
    QStringList paths;
    for (const HtmlImageSource &s : localImageSourcesOf(html, folder))
        if (!paths.contains(s.path))
            paths += s.path;
    return paths;
}

std::optional<QByteArray> toIso2022Jp(const QString &text)
{
    for (const QChar c : text)
        if (c == u'\x1b' || c == u'\x0e' || c == u'\x0f')
            return std::nullopt;
    QByteArray utf8 = text.toUtf8(); // a lone surrogate becomes U+FFFD, which does not fit
    QByteArray out(utf8.size() * 3 + 16, Qt::Uninitialized);
    const iconv_t cd = iconv_open("ISO-2022-JP", "UTF-8");
    if (cd == iconv_t(-1))
        return std::nullopt;
    char *in = utf8.data();
    size_t inLeft = size_t(utf8.size());
    char *o = out.data();
    size_t outLeft = size_t(out.size());
    const bool converted = iconv(cd, &in, &inLeft, &o, &outLeft) != size_t(-1) &&
                           iconv(cd, nullptr, nullptr, &o, &outLeft) != size_t(-1);
    iconv_close(cd);
    if (!converted)
        return std::nullopt;
    out.truncate(o - out.data());

    bool jis = false;
    for (qsizetype i = 0; i < out.size();) {
        if (out[i] == '\x1b') {
            const QByteArray escape = out.mid(i, 3);
            if (escape == "\x1b$B")
                jis = true;
            else if (escape == "\x1b(B")
                jis = false;
            else
                return std::nullopt; // JIS X 0201 Roman or another set
            i += 3;
        } else if (jis && i + 1 < out.size()) {
            const int code = (uchar(out[i]) << 8) | uchar(out[i + 1]);
            static constexpr int disputed[] = {0x2141, 0x2142, 0x215d, 0x2171, 0x2172, 0x224c, 0x213d};
            if (std::find(std::begin(disputed), std::end(disputed), code) != std::end(disputed))
                return std::nullopt;
            i += 2;
        } else {
            ++i;
        }
    }
    return out;
}

bool fitsIso2022Jp(const QString &text)
{
    return toIso2022Jp(text).has_value();
}
