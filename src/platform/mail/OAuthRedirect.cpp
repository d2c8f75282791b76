#include "platform/mail/OAuthRedirect.h"

#include <QList>

#include <optional>

namespace
{

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bytes of a request line other than its two separating spaces: no control bytes (NUL, tab, CR,
// DEL…). Bytes from 0x80 up are not ASCII, but are kept as they came.
bool plainBytes(QByteArrayView part)
{
    for (const char c : part) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7f)
            return false;
    }
    return !part.isEmpty();
}

bool isHttp1(QByteArrayView version)
{
    return version.size() == 8 && version.startsWith("HTTP/1.") && version[7] >= '0' && version[7] <= '9';
}

} // namespace

QByteArray decodeQueryValue(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

OAuthRedirect OAuthRedirect::parse(QByteArrayView head, QByteArrayView state)
{
    OAuthRedirect r;
    if (head.contains('\0'))
        return r;
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QByteArrayView line = lineEnd < 0 ? head : head.first(lineEnd);
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
    if (second < 0)
        return r;
    const QByteArrayView method = line.first(first);
    const QByteArrayView target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    // Origin form only: an absolute URL, "*", an authority or a relative path glued onto the
    // loopback address could pass for the redirect's path.
    if (method != "GET" || !isHttp1(version) || !plainBytes(target) || !target.startsWith('/') ||
        target.contains('#'))
        return r;

    const qsizetype mark = target.indexOf('?');
    if (target.first(mark < 0 ? target.size() : mark) != "/") {
        r.kind = Kind::Elsewhere;
        return r;
    }
    std::optional<QByteArray> code, given, error, description;
    if (mark >= 0) {
        const QList<QByteArray> items = target.sliced(mark + 1).toByteArray().split('&');
        for (const QByteArray &item : items) {
            const qsizetype equals = item.indexOf('=');
            const QByteArray name = decodeQueryValue(equals < 0 ? item : item.first(equals));
            const QByteArray value = equals < 0 ? QByteArray() : decodeQueryValue(item.sliced(equals + 1));
            std::optional<QByteArray> *slot = name == "code"                ? &code
                                              : name == "state"             ? &given
                                              : name == "error"             ? &error
                                              : name == "error_description" ? &description
                                                                            : nullptr;
            if (!slot)
                continue;
            // A provider names each once; a second one would leave open which one counts.
            if (slot->has_value())
                return r;
            *slot = value;
        }
    }
    if (code.value_or(QByteArray()).isEmpty() && error.value_or(QByteArray()).isEmpty()) {
        r.kind = Kind::Elsewhere;
        return r;
    }
    if (!given || *given != state) {
        r.kind = Kind::WrongState;
        return r;
    }
    if (error && !error->isEmpty()) {
        r.kind = Kind::Refused;
        r.error = QString::fromUtf8(*error);
        r.errorDescription = QString::fromUtf8(description.value_or(QByteArray()));
        return r;
    }
    r.kind = Kind::Code;
    r.code = *code;
    return r;
}
