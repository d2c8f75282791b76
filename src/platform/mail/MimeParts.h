#pragma once

// GMime pieces shared by MimeComposer and MailComposer, so that both write the same bytes.

#include <QByteArray>
#include <QString>

#include <memory>

// GLib names a structure member "signals", which Qt defines as a keyword macro.
#undef signals
#include <gmime/gmime.h>

namespace mime
{

template <class T> struct GObjectDeleter {
    void operator()(T *p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <class T> using GRef = std::unique_ptr<T, GObjectDeleter<T>>;

// CR LF line ends, RFC 2231 parameters.
GMimeFormatOptions *wireFormat();

QByteArray newMessageId(const QString &senderAddress);

// The local zone, looked up once: asking GLib each time would read /etc/localtime each time.
GTimeZone *localZone();
// `second` (since 1970) in the local zone; the caller unrefs it.
GDateTime *localTime(qint64 second);

// The body's lines end in LF only (CR LF on the wire); the choice of transfer encoding keeps the
// wire 7-bit with lines under the SMTP limit.
struct TextBody {
    QByteArray content;
    GMimeContentEncoding encoding;
};
TextBody prepareBody(const QString &body);
// The same from the UTF-8 form of the text, as Qt converts it.
TextBody prepareUtf8(const QByteArray &utf8);

bool looksEncoded(const QString &text);
QByteArray encodedWords(const QString &text, const QByteArray &separator);
bool encodeName(const QString &name);

// A MIME part for the file; null with `error` set when it cannot be opened.
GMimeObject *makeAttachment(const QString &path, QString *error);

} // namespace mime
