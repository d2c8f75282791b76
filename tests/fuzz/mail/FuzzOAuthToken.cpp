// A token endpoint's answer, framed: bytes 0-1 the HTTP status (big-endian; 0 stands for 200),
// byte 2 where the monotonic clock stands (in steps of 2^55 ms, up to just before the end of its
// range), the rest the body. A token taken has a lifetime the clock can hold, and is held for it.
#include "../FuzzCheck.h"
#include "platform/mail/OAuthClient.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int status = data[0] << 8 | data[1];
    const qint64 clock = qint64(data[2]) << 55;
    const QByteArray body(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    const TokenReply r =
        tokenReplyOf(status == 0 ? 200 : status, body, QStringLiteral("https://auth.example.jp/token"));
    FUZZ_CHECK(r.ok() == !r.failure.has_value());
    if (!r.ok())
        return 0;
    FUZZ_CHECK(!r.accessToken.isEmpty());
    FUZZ_CHECK(r.expiresInSeconds >= 1 && r.expiresInSeconds <= TokenReply::MaxExpiresInSeconds);

    // Without a token URL a refresh fails at once, without going out.
    OAuthTokenSource source(OAuthClient{}, QStringLiteral("rt"), [clock] { return clock; });
    source.setAccessToken(r.accessToken, r.expiresInSeconds);
    const OAuthTokenSource::Token held = source.accessToken();
    if (r.expiresInSeconds * 1000 > OAuthTokenSource::MarginMs)
        FUZZ_CHECK(held.reply.ok() && held.reply.accessToken == r.accessToken && !held.fresh);
    else
        FUZZ_CHECK(!held.reply.ok());
    return 0;
}
