// A delivery notice comes from anyone: whatever the bytes, reading one ends, and what it gives
// keeps its bounds and its rules.
#include "../FuzzCheck.h"
#include "platform/mail/DeliveryNotice.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<DeliveryNotice> n = readDeliveryNotice(message);
    if (!n)
        return 0;
    FUZZ_CHECK(n->recipients.size() <= 1000);
    for (const char c : n->originalMessageId)
        FUZZ_CHECK(c > ' ' && c != '<' && c != '>' && c != 0x7f);
    for (const DeliveryNotice::Recipient &r : n->recipients) {
        FUZZ_CHECK(r.diagnostic.size() <= 4096 && r.address.size() <= 4096);
        FUZZ_CHECK(!r.permanent() || r.action == DeliveryNotice::Action::Failed);
        FUZZ_CHECK(r.status.isEmpty() || (r.status.size() >= 5 && r.status[1] == u'.'));
    }
    return 0;
}
