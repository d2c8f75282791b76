#pragma once

// GMime pieces shared by MimeComposer and MailComposer, so that both write the same bytes.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

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

// The plain text in ISO-2022-JP with LF line ends, 7-bit: nothing when it does not fit or a line
// would be too long for 7bit.
std::optional<TextBody> prepareIso2022Jp(const QString &body);

bool looksEncoded(const QString &text);
// Header text that must go in encoded words: outside ASCII, or looking encoded.
bool needsEncodedWords(const QString &text);
QByteArray encodedWords(const QString &text, const QByteArray &separator);
// ISO-2022-JP "B" words of at most 75 characters, each ending in ASCII; `text` must fit.
QByteArray iso2022JpWords(const QString &text, const QByteArray &separator);
// UTF-8 "B" words of at most 75 characters, cut between characters.
QByteArray base64Words(const QString &text, const QByteArray &separator);
bool encodeName(const QString &name);
// The display name as it goes to GMime: encoded words when encodeName() says so.
QByteArray displayName(const QString &name, bool iso2022jp);
// The raw Subject value (leading space, LF ends) for a subject that needsEncodedWords().
QByteArray subjectValue(const QString &subject, bool iso2022jp);

// A MIME part for the file; null with `error` set when it cannot be opened. With a Content-ID it
// is an inline part (an image the HTML shows).
GMimeObject *makeAttachment(const QString &path, QString *error, const QByteArray &contentId = {});

// The list holds these addresses, without display names.
void setMailboxes(InternetAddressList *list, const QStringList &addresses);

// The body's bytes as the part's content, in its transfer encoding.
void setTextContent(GMimeTextPart *part, const TextBody &body);
GMimeObject *makeTextPart(const char *subtype, const char *charset, const TextBody &body);

// The body of an HTML mail: multipart/alternative of the text version (`plainText`, or made from
// the HTML) and the HTML; local images in a multipart/related beside the HTML, their <img src>
// pointing at their Content-ID. `boundarySeed` fixes the boundaries (empty: GMime's own) and
// `idPart` the Content-IDs (empty: new ones for `senderAddress`). Null with `error` set when an
// image cannot be read.
GMimeObject *makeHtmlBody(const QString &html, const QString &plainText, const QString &imageFolder,
                          const QByteArray &boundarySeed, const QByteArray &idPart,
                          const QString &senderAddress, QString *error);
// A nested multipart's boundary made from the message's, unlike it and never a prefix of it.
QByteArray innerBoundary(const QByteArray &boundary, char level);

} // namespace mime
