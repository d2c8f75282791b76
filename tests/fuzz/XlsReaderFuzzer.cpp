// The workbook reader's .xls parsing over any bytes: a whole compound file, or a workbook stream
// read alone (without the container, so that the fuzzer reaches the records soon). Whatever the
// input, the reader must answer, and its answer must be one the window's parser takes whole.
#include "FuzzCheck.h"
#include "platform/formats/workbookreader/BiffReader.h"
#include "platform/formats/workbookreader/XlsAnswer.h"

#include <cstddef>
#include <cstdint>

namespace
{

std::string streamAnswer(std::string_view stream)
{
    try {
        SheetCells cells;
        readBiffStream(stream, cells);
        return cells.answer();
    } catch (const WorkbookStop &stop) {
        return failureAnswer(stop);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses what the rest is: even a whole file, odd a workbook stream.
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string answer = data[0] % 2 == 0 ? xlsWorkbookAnswer(input) : streamAnswer(input);
    XlsAnswerParser parser;
    parser.feed(QByteArrayView(answer.data(), qsizetype(answer.size())));
    FUZZ_CHECK(parser.complete());
    if (!parser.failed()) {
        const XlsSheet sheet = parser.takeSheet();
        FUZZ_CHECK(sheet.rows <= 65536 && sheet.columns <= 256);
        for (const XlsSheet::Cell &c : sheet.cells)
            FUZZ_CHECK(c.length > 0);
    }
    return 0;
}
