// The reply parser must give the same replies however the bytes are cut into reads, and every
// reply it gives must be one code with the text of its lines.
#include "platform/mail/SmtpReplyParser.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace
{

struct Outcome {
    std::vector<SmtpReply> replies;
    bool malformed = false;
};

Outcome parse(const char *data, qsizetype size, qsizetype piece)
{
    SmtpReplyParser parser;
    Outcome o;
    for (qsizetype at = 0; at < size && !o.malformed; at += piece) {
        parser.append(data + at, std::min(piece, size - at));
        for (;;) {
            SmtpReply r;
            const SmtpReplyParser::Result result = parser.next(&r);
            if (result == SmtpReplyParser::Result::Malformed)
                o.malformed = true;
            if (result != SmtpReplyParser::Result::Reply)
                break;
            o.replies.push_back(r);
        }
    }
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype piece = 1 + data[0] % 16;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const qsizetype n = qsizetype(size - 1);
    const Outcome whole = parse(bytes, n, n > 0 ? n : 1);
    const Outcome pieces = parse(bytes, n, piece);

    // A reply that ends inside the input is found either way; the cut changes nothing else.
    if (whole.malformed != pieces.malformed && !(pieces.malformed && n > 64 * 1024))
        std::abort();
    if (!whole.malformed && !pieces.malformed && whole.replies.size() != pieces.replies.size())
        std::abort();
    const size_t common = std::min(whole.replies.size(), pieces.replies.size());
    for (size_t i = 0; i < common; ++i) {
        const SmtpReply &a = whole.replies[i], &b = pieces.replies[i];
        if (a.code != b.code || a.text != b.text)
            std::abort();
        if (a.code < 0 || a.code > 999 || a.text.size() < 3 || a.text.left(3).toInt() != a.code ||
            a.text.contains('\n'))
            std::abort();
    }
    return 0;
}
