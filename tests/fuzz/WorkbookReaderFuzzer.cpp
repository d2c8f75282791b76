// The workbook reader's .xlsx and .ods parsing over any bytes: a whole archive, or one XML part
// read alone beside fixed others. Whatever the input, the reader must answer, and its answer must
// be one the window's parser takes whole: no crash, no hang, no malformed answer.
#include "FuzzCheck.h"
#include "platform/formats/workbookreader/OdsReader.h"
#include "platform/formats/workbookreader/XlsAnswer.h"
#include "platform/formats/workbookreader/XlsxReader.h"
#include "platform/formats/workbookreader/ZipWorkbook.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace
{

constexpr std::string_view SharedStrings =
    "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<si><t>a@example.jp</t></si><si><r><t>鈴</t></r><r><t>木</t></r></si><si><t>x</t><rPh><t>y</t></rPh></"
    "si></sst>";
constexpr std::string_view Styles =
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<numFmts><numFmt numFmtId=\"164\" formatCode=\"yyyy/mm/dd\"/></numFmts>"
    "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"164\"/><xf "
    "numFmtId=\"21\"/></cellXfs></styleSheet>";
constexpr std::string_view Sheet =
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>"
    "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" s=\"1\"><v>46364.5</v></c><c "
    "s=\"2\"><v>1</v></c>"
    "<c s=\"3\"><v>0.75</v></c><c t=\"s\"><v>2</v></c></row></sheetData></worksheet>";

std::string answerOf(int mode, std::string_view input)
{
    if (mode == 0)
        return zipWorkbookAnswer(input, std::uint64_t(16) << 20);
    SheetCells cells;
    try {
        if (mode == 4) {
            readOdsContent(std::string(input), cells);
        } else {
            const XlsxStyles styles = readXlsxStyles(std::string(mode == 3 ? input : Styles));
            const std::vector<TextSpan> shared =
                readXlsxSharedStrings(std::string(mode == 2 ? input : SharedStrings), cells);
            readXlsxSheet(std::string(mode == 1 ? input : Sheet), styles, shared, false, cells);
        }
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
    // The first byte chooses what the rest is: 0 an archive, 1 a worksheet, 2 a shared string
    // table, 3 a styles part, 4 the content of an .ods file.
    const int mode = data[0] % 5;
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string answer = answerOf(mode, input);
    XlsAnswerParser parser;
    parser.feed(QByteArrayView(answer.data(), qsizetype(answer.size())));
    FUZZ_CHECK(parser.complete());
    if (!parser.failed()) {
        const XlsSheet sheet = parser.takeSheet();
        for (const XlsSheet::Cell &c : sheet.cells)
            FUZZ_CHECK(c.length > 0);
    }
    return 0;
}
