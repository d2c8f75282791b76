// The parser of the workbook reader's answer, over any bytes and cut into pieces at places the
// input chooses. Pieces must not change the outcome; an accepted sheet must hold its promises.
#include "FuzzCheck.h"
#include "platform/formats/workbookreader/XlsAnswer.h"
#include "platform/formats/workbookreader/XlsProtocol.h"

#include <cstddef>
#include <cstdint>

namespace
{

struct Outcome {
    bool complete = false;
    bool malformed = false;
    bool failed = false;
    XlsSheet sheet;
};

Outcome parse(QByteArrayView answer, std::size_t step)
{
    XlsAnswerParser p;
    for (qsizetype at = 0; at < answer.size() && !p.malformed(); at += qsizetype(step))
        p.feed(answer.sliced(at, std::min(qsizetype(step), answer.size() - at)));
    return {p.complete(), p.malformed(), p.failed(), p.takeSheet()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the piece size; the rest is the answer, which the fuzzer is helped
    // to begin soundly by the corpus.
    const std::size_t step = std::size_t(data[0] % 16) + 1;
    const QByteArrayView answer(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    Outcome whole = parse(answer, std::max<std::size_t>(size, 1));
    Outcome pieces = parse(answer, step);
    FUZZ_CHECK(whole.complete == pieces.complete);
    FUZZ_CHECK(whole.failed == pieces.failed);
    FUZZ_CHECK(!(whole.complete && whole.malformed));
    if (!whole.complete || whole.failed)
        return 0;
    const XlsSheet &s = whole.sheet;
    FUZZ_CHECK(s.rows >= 0 && s.rows <= int(XlsProtocol::MaxRows) && s.columns >= 0 &&
               s.columns <= int(XlsProtocol::MaxColumns));
    FUZZ_CHECK(s.cells.size() == pieces.sheet.cells.size());
    for (std::size_t i = 0; i < s.cells.size(); ++i) {
        const XlsSheet::Cell &c = s.cells[i];
        FUZZ_CHECK(i == 0 || s.cells[i - 1].key < c.key);
        FUZZ_CHECK(c.length > 0 && s.text(c) == pieces.sheet.text(pieces.sheet.cells[i]));
        const int row = int(c.key / std::uint64_t(s.columns)) + 1,
                  column = int(c.key % std::uint64_t(s.columns)) + 1;
        FUZZ_CHECK(row <= s.rows);
        FUZZ_CHECK(s.find(row, column) == &c);
    }
    FUZZ_CHECK(s.find(0, 1) == nullptr && s.find(1, 0) == nullptr && s.find(s.rows + 1, 1) == nullptr);
    return 0;
}
