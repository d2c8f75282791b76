#pragma once

// The cells of the first worksheet as the .xlsx and .ods readers of the workbook reader find them,
// and the answer (XlsProtocol.h) they become.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Stops reading a workbook: the file is none (or a damaged one), or it asks for more than the
// reader allows itself (limit). The reason is shown to the operator inside a longer message; that
// of a workbook whose structure is broken (damaged) is for developers, the operator is told the
// file may be damaged.
struct WorkbookStop {
    bool limit = false;
    QString reason;
    bool damaged = false;
};
[[noreturn]] void stopReading(const QString &reason);
[[noreturn]] void stopAtLimit(const QString &reason);
[[noreturn]] void stopDamaged(const QString &reason);

// What the reader allows itself, whatever the file says.
namespace WorkbookLimits
{
// Bytes inflated from the archive in all; the largest recipient lists need a few tens of megabytes.
constexpr std::uint64_t MaxUnpacked = std::uint64_t(512) << 20;
constexpr std::size_t MaxCells = 4000000;
} // namespace WorkbookLimits

// A text in the cells' arena.
struct TextSpan {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

// The non-empty cells of one sheet, added in any order. Texts are kept in one arena, valid UTF-8
// and at most a cell's length; a shared text is stored once and every cell that shows it points to it.
class SheetCells
{
  public:
    // Stores text and returns its place; the same text may serve any number of cells.
    TextSpan intern(std::string_view utf8);
    // Row and column count from 0. A cell beyond the largest worksheet stops the reading; an empty
    // text adds nothing.
    void add(std::uint64_t row, std::uint64_t column, TextSpan text);
    void add(std::uint64_t row, std::uint64_t column, std::string_view utf8)
    {
        add(row, column, intern(utf8));
    }
    // A cell whose value could not be read: the reason takes the place of its text.
    void addUnreadable(std::uint64_t row, std::uint64_t column, const QString &reason);

    std::size_t size() const { return m_cells.size(); }
    std::string_view text(TextSpan span) const
    {
        return std::string_view(m_arena).substr(span.offset, span.length);
    }

    // The whole answer: the sheet, its cells in reading order (a cell given twice keeps its last
    // value), the end. A sheet whose answer would pass the window's bound stops at the limit.
    std::string answer();

  private:
    struct Cell {
        std::uint32_t row;
        std::uint32_t column : 31;
        std::uint32_t unreadable : 1;
        TextSpan text;
    };
    void place(std::uint64_t row, std::uint64_t column);
    std::vector<Cell> m_cells;
    std::string m_arena;
    bool m_ordered = true;
};

// The answers that carry no sheet.
std::string failureAnswer(const WorkbookStop &stop);
// Why a reading that ran out of memory stopped: the reader's limit when it has one.
QString memoryLimitReason();

// Text as the answer may carry it: valid UTF-8 without NUL (anything else becomes U+FFFD or is
// dropped) and at most a cell's number of UTF-16 characters.
std::string cellUtf8(std::string_view bytes);

// A cell reference such as "B12" or "$B$12" as a row and a column from 0; false when it is none.
bool parseCellReference(std::string_view reference, std::uint64_t &row, std::uint64_t &column);
