// A request as a browser or any other local program may send it to the sign-in's loopback
// listener, whose sign-in has the state "@S". Only the request line of an origin-form HTTP/1.x GET
// is read, and its query is decoded byte for byte: a code taken is posted as an encoding that
// decodes to exactly its bytes.
#include "../FuzzCheck.h"
#include "platform/mail/OAuthRedirect.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    const QByteArray head = end < 0 ? bytes : bytes.left(end);
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QByteArray line = lineEnd < 0 ? head : head.left(lineEnd);

    // Escaping every "%" and "+" first makes decoding give back every byte as it was.
    FUZZ_CHECK(decodeQueryValue(QByteArray(head).replace('%', "%25").replace('+', "%2B")) == head);

    const OAuthRedirect r = OAuthRedirect::parse(head, "@S");
    if (r.kind == OAuthRedirect::Kind::Malformed)
        return 0;
    FUZZ_CHECK(!head.contains('\0'));
    FUZZ_CHECK(line.startsWith("GET /") && line.count(' ') == 2);
    for (const char c : line)
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    // The header fields play no part.
    const OAuthRedirect alone = OAuthRedirect::parse(line, "@S");
    FUZZ_CHECK(alone.kind == r.kind && alone.code == r.code && alone.error == r.error &&
               alone.errorDescription == r.errorDescription);
    if (r.kind == OAuthRedirect::Kind::Code) {
        FUZZ_CHECK(!r.code.isEmpty());
        const QByteArray posted = r.code.toPercentEncoding();
        FUZZ_CHECK(QByteArray::fromPercentEncoding(posted) == r.code);
        for (const char c : posted)
            FUZZ_CHECK(c > 0x20 && c < 0x7f && c != '&' && c != '=' && c != '+');
    }
    return 0;
}
