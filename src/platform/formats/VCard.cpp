#include "platform/formats/VCard.h"

#include "platform/formats/TextFile.h"

#include "platform/Text.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QVarLengthArray>
#include <QtEndian>

#include <iconv.h>

#include <vector>

// Line structure (names, parameters, ':' and ';') is ASCII in every encoding a vCard comes in, and
// CP932 trail bytes are never CR or LF, so lines are cut and unfolded as bytes. Values are decoded
// to text before backslash escapes are undone: in CP932 a trail byte can be 0x5C ("ソ" is 83 5C).

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray unquoted(QByteArray v)
{
    v = v.trimmed();
    if (v.size() >= 2 && v.startsWith('"') && v.endsWith('"'))
        v = v.mid(1, v.size() - 2);
    return v;
}

// Position of the ':' that ends the name and parameters; a ':' inside a quoted parameter value
// does not count.
qsizetype valueColon(QByteArrayView line)
{
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ':' && !quoted)
            return i;
    }
    return -1;
}

struct Header {
    QByteArray name; // upper case, group prefix removed
    QByteArray charset;
    bool quotedPrintable = false;
    bool base64 = false;
};

Header parseHeader(QByteArrayView text)
{
    QVarLengthArray<QByteArrayView, 8> tokens;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '"')
            quoted = !quoted;
        else if (i == text.size() || (text[i] == ';' && !quoted)) {
            tokens.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    Header h;
    const QByteArrayView name = tokens[0].trimmed();
    const qsizetype dot = name.lastIndexOf('.');
    h.name = (dot >= 0 ? name.sliced(dot + 1) : name).toByteArray().toUpper();
    for (qsizetype t = 1; t < tokens.size(); ++t) {
        const QByteArrayView token = tokens[t];
        const qsizetype eq = token.indexOf('=');
        const QByteArray key =
            eq >= 0 ? token.first(eq).trimmed().toByteArray().toUpper() : QByteArray("ENCODING");
        const QByteArray value = unquoted((eq >= 0 ? token.sliced(eq + 1) : token).toByteArray()).toUpper();
        if (key == "ENCODING") {
            if (value == "QUOTED-PRINTABLE")
                h.quotedPrintable = true;
            else if (value == "B" || value == "BASE64")
                h.base64 = true;
        } else if (key == "CHARSET") {
            h.charset = value;
        }
    }
    return h;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Soft line breaks were already joined; "=" not followed by two hex digits stays as it is.
QByteArray decodeQuotedPrintable(const QByteArray &in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '=' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            out.append(char(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2])));
            i += 2;
        } else {
            out.append(in[i]);
        }
    }
    return out;
}

// Backslash escapes. Version 2.1 escapes only the semicolon; later versions also newline, comma
// and backslash. An unknown escape keeps its backslash.
QString unescape(QStringView s, bool v21)
{
    QString out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] != u'\\' || i + 1 == s.size()) {
            out.append(s[i]);
            continue;
        }
        const QChar c = s[i + 1];
        if (c == u';')
            out.append(c);
        else if (!v21 && (c == u',' || c == u'\\'))
            out.append(c);
        else if (!v21 && (c == u'n' || c == u'N'))
            out.append(u'\n');
        else {
            out.append(s[i]);
            out.append(c);
        }
        ++i;
    }
    return out;
}

// Splits a structured value at the semicolons that are not escaped.
QList<QStringView> components(QStringView s)
{
    QList<QStringView> parts;
    qsizetype start = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i] == u'\\')
            ++i;
        else if (s[i] == u';') {
            parts.append(s.mid(start, i - start));
            start = i + 1;
        }
    }
    parts.append(s.mid(start));
    return parts;
}

bool isShiftJisName(const QByteArray &name)
{
    static const char *const aliases[] = {"SHIFT_JIS",  "SHIFT-JIS", "SJIS",  "X-SJIS",
                                          "MS_KANJI",   "CP932",     "MS932", "WINDOWS-31J",
                                          "X-MS-CP932", "CSSHIFTJIS"};
    for (const char *a : aliases)
        if (name == a)
            return true;
    return false;
}

// True when bytes that are valid UTF-8 hold a character of three bytes or more.
bool hasWideUtf8(const QByteArray &bytes)
{
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0xE0)
            return true;
    return false;
}

// UTF-16 text as UTF-8 for the byte-wise parser. A surrogate without its partner becomes 0xFF, a
// byte UTF-8 never holds, so the value it sits in is refused with its line instead of read damaged.
QByteArray utf8MarkingLoneSurrogates(QStringView text)
{
    QByteArray out;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!text[i].isSurrogate())
            continue;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        out += text.sliced(start, i - start).toUtf8();
        out += '\xFF';
        start = i + 1;
    }
    out += text.sliced(start).toUtf8();
    return out;
}

struct Card {
    VCardContact contact;
    bool v21 = true; // until VERSION says otherwise: 2.1 files may omit it
    bool haveFn = false;
    QString fromN;
};

class Parser
{
  public:
    Parser(const QByteArray &bytes, const QString &path) : m_path(path) { prepare(bytes); }

    Result<std::vector<VCardContact>> run();

  private:
    void prepare(const QByteArray &bytes);
    bool decodeValue(const Header &h, const QByteArray &raw, QString *out) const;

    QString m_path;
    QByteArray m_text;
    QByteArray m_defaultCharset;
    bool m_utf16 = false;    // its CHARSET labels describe another copy of the file and are ignored
    bool m_oddUtf16 = false; // a byte was lost or added somewhere: every character after it is wrong
};

void Parser::prepare(const QByteArray &bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        const qsizetype units = (n - 2) / 2;
        QString text(units, Qt::Uninitialized);
        if (p[0] == 0xFF)
            qFromLittleEndian<char16_t>(p + 2, units, text.data());
        else
            qFromBigEndian<char16_t>(p + 2, units, text.data());
        m_text = utf8MarkingLoneSurrogates(text);
        m_defaultCharset = "UTF-8";
        m_utf16 = true;
        m_oddUtf16 = (n - 2) % 2 != 0;
        return;
    }
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        m_text = bytes.mid(3);
        m_defaultCharset = "UTF-8";
        return;
    }
    m_text = bytes;
    const auto isUtf8 = [](const QByteArray &b) {
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString probe = utf8.decode(b); // decoding is lazy: it runs on conversion to QString
        return !utf8.hasError();
    };
    bool utf8 = isUtf8(bytes) && validUtf8IsUtf8(bytes);
    if (!utf8) {
        // A writer may fold a line in the middle of a UTF-8 character: judge the unfolded text.
        QByteArray unfolded = bytes;
        unfolded.replace("\r\n ", "").replace("\r\n\t", "").replace("\n ", "").replace("\n\t", "");
        utf8 = isUtf8(unfolded) && validUtf8IsUtf8(unfolded);
    }
    m_defaultCharset = utf8 ? QByteArray("UTF-8") : QByteArray("CP932");
}

bool Parser::decodeValue(const Header &h, const QByteArray &raw, QString *out) const
{
    const QByteArray bytes = h.quotedPrintable ? decodeQuotedPrintable(raw)
                             : h.base64        ? QByteArray::fromBase64(raw)
                                               : raw;
    const QByteArray charset = (!m_utf16 && !h.charset.isEmpty()) ? h.charset : m_defaultCharset;
    // UTF-8 labelled Shift_JIS (a converter's slip) reads as CP932 without error, as mojibake. Text
    // really in Shift_JIS is valid UTF-8 with a character of three bytes or more only by chance, in
    // short runs of rarer kanji; half-width kana pairs, valid UTF-8 of two bytes, keep the label.
    if (!m_utf16 && isShiftJisName(h.charset) && hasWideUtf8(bytes) && decodeCharset(bytes, "UTF-8", out))
        return true;
    if (decodeCharset(bytes, charset, out))
        return true;
    // A wrong label is common (UTF-8 text marked Shift_JIS by a converter): the file's own
    // encoding is the second guess.
    return charset != m_defaultCharset && decodeCharset(bytes, m_defaultCharset, out);
}

Result<std::vector<VCardContact>> Parser::run()
{
    if (m_oddUtf16)
        return Failure::damagedUtf16(m_path, m_text.count('\n') + 1);
    // Physical lines without their CR LF or LF.
    std::vector<QByteArrayView> lines;
    {
        qsizetype start = 0;
        const qsizetype n = m_text.size();
        for (qsizetype i = 0; i <= n; ++i) {
            if (i == n || m_text[i] == '\n') {
                qsizetype end = i;
                if (end > start && m_text[end - 1] == '\r')
                    --end;
                if (i < n || end > start)
                    lines.push_back(QByteArrayView(m_text).sliced(start, end - start));
                start = i + 1;
            }
        }
    }

    std::vector<VCardContact> contacts;
    Card card;
    int depth = 0;
    bool sawCard = false;
    const qsizetype n = qsizetype(lines.size());
    for (qsizetype i = 0; i < n;) {
        const qsizetype lineNumber = i + 1;
        // Most lines are not folded and are read in place; a folded one is joined in a copy.
        QByteArrayView logical = lines[size_t(i++)];
        QByteArray joined;
        qsizetype colon = valueColon(logical);
        Header h;
        if (colon >= 0)
            h = parseHeader(logical.first(colon));
        while (i < n) {
            const QByteArrayView next = lines[size_t(i)];
            const bool folded = !next.isEmpty() && isBlank(next[0]);
            // Quoted-printable also continues on the next line after a trailing "=" (version 2.1).
            // That soft break is the whole line end, so a blank opening the next line is text. From
            // 3.0 on lines are unfolded before values are read: there a fold after "=" splits an
            // escape, and the "=" stays.
            const bool softBreak = h.quotedPrintable && logical.endsWith('=') && (card.v21 || !folded) &&
                                   next.trimmed().compare("END:VCARD", Qt::CaseInsensitive) != 0;
            if (!folded && !softBreak)
                break;
            if (joined.isEmpty())
                joined = logical.toByteArray();
            if (softBreak) {
                joined.chop(1);
                joined += next;
            } else {
                joined += next.sliced(1);
            }
            logical = joined;
            ++i;
        }
        if (colon < 0) {
            colon = valueColon(logical);
            if (colon < 0)
                continue; // blank or stray line
            h = parseHeader(logical.first(colon));
        }
        const QByteArray raw = logical.sliced(colon + 1).toByteArray();

        if (h.name == "BEGIN" && raw.trimmed().toUpper() == "VCARD") {
            if (depth++ == 0) {
                card = Card();
                card.contact.line = lineNumber;
                sawCard = true;
            }
            continue;
        }
        if (h.name == "END" && raw.trimmed().toUpper() == "VCARD") {
            if (depth == 0)
                continue;
            if (--depth == 0) {
                if (!card.haveFn)
                    card.contact.name = card.fromN;
                contacts.push_back(std::move(card.contact));
            }
            continue;
        }
        if (depth != 1)
            continue; // outside any card, or inside an embedded one (an AGENT's card)

        if (h.name == "VERSION") {
            card.v21 = raw.trimmed() == "2.1";
            continue;
        }
        const bool wanted = (h.name == "EMAIL" && card.contact.email.isEmpty()) ||
                            (h.name == "FN" && !card.haveFn) || (h.name == "N" && card.fromN.isEmpty()) ||
                            h.name == "KIND" || h.name == "X-ADDRESSBOOKSERVER-KIND" ||
                            h.name == "X-EVOLUTION-LIST";
        if (!wanted)
            continue;
        if (m_utf16 && raw.contains('\xFF'))
            return Failure::damagedUtf16(m_path, lineNumber);
        QString value;
        if (!decodeValue(h, raw, &value))
            return Failure::undecodableBytes(m_path, lineNumber);
        if (h.name == "EMAIL") {
            // Blanks around an address are layout of the file, never part of the address.
            card.contact.email = unescape(value, card.v21).trimmed();
        } else if (h.name == "FN") {
            card.contact.name = unescape(value, card.v21);
            card.haveFn = true;
        } else if (h.name == "N") {
            const QList<QStringView> parts = components(value);
            QStringList names;
            for (int k = 0; k < 2 && k < parts.size(); ++k) {
                const QString part = trimSpaces(unescape(parts[k], card.v21));
                if (!part.isEmpty())
                    names << part;
            }
            card.fromN = names.join(u' ');
        } else if (h.name == "X-EVOLUTION-LIST") {
            card.contact.isGroup =
                card.contact.isGroup || value.trimmed().compare(u"TRUE", Qt::CaseInsensitive) == 0;
        } else {
            card.contact.isGroup =
                card.contact.isGroup || value.trimmed().compare(u"group", Qt::CaseInsensitive) == 0;
        }
    }
    if (!sawCard)
        return Failure::notAVCard(m_path);
    if (depth > 0)
        return Failure::unclosedVCard(m_path, card.contact.line);
    return contacts;
}

} // namespace

bool decodeCharset(const QByteArray &bytes, const QByteArray &charset, QString *out)
{
    const QByteArray name = unquoted(charset).toUpper();
    if (name == "UTF-8" || name == "UTF8") {
        QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        *out = d.decode(bytes);
        return !d.hasError();
    }
    bool ascii = true;
    for (char c : bytes)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii &&
        (name == "US-ASCII" || name == "ASCII" || isShiftJisName(name) || name.startsWith("ISO-8859"))) {
        *out = QString::fromLatin1(bytes);
        return true;
    }
    const QByteArray iconvName = isShiftJisName(name) ? QByteArray("CP932") : name;
    iconv_t cd = iconv_open("UTF-16LE", iconvName.constData());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // No supported set yields more than two UTF-16 units per input byte.
    QString result(bytes.size() * 2 + 2, Qt::Uninitialized);
    char *in = const_cast<char *>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char *o = reinterpret_cast<char *>(result.data());
    size_t outLeft = size_t(result.size()) * 2;
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    const size_t flush = rc == size_t(-1) ? rc : iconv(cd, nullptr, nullptr, &o, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1) || flush == size_t(-1))
        return false;
    result.resize(reinterpret_cast<QChar *>(o) - result.constData());
    *out = result;
    return true;
}

Result<std::vector<VCardContact>> parseVCards(const QByteArray &bytes, const QString &path)
{
    return Parser(bytes, path).run();
}

Result<std::vector<VCardContact>> readVCardFile(const QString &path)
{
    const Result<QByteArray> bytes = readFileBytes(path);
    if (!bytes)
        return bytes.failure();
    return parseVCards(bytes.value(), path);
}
