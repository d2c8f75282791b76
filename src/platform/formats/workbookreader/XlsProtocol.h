#pragma once

// The answer of the workbook reader (velmora-workbook-reader), written to its standard output.
//
// All integers are unsigned 32-bit little-endian. The answer opens with the four bytes "VXL1" and
// is a sequence of records: one type byte, the payload length, the payload. Records:
//   'S' sheet:      rows, columns                      (exactly 8 bytes; the first record)
//   'C' cell:       row, column, UTF-8 text             (a cell that holds a value, text not empty)
//   'X' unreadable: row, column, UTF-8 reason           (a cell the reader could not take)
//   'F' failure:    UTF-8 reason                        (instead of 'S': the file is no workbook)
//   'L' limit:      UTF-8 reason                        (instead of 'S': the file asks for more than
//                                                        the reader allows itself)
//   'D' damaged:    UTF-8 reason, for developers         (instead of 'S': the workbook's structure is
//                                                        broken)
//   'E' end:        number of 'C' and 'X' records       (exactly 4 bytes; the last record)
// Rows and columns count from 1 and stay within the sheet's extent; cells come row by row, each
// row left to right, each at most once. Empty cells are not sent. Nothing follows 'E'.

#include <cstdint>

namespace XlsProtocol
{
constexpr char Magic[4] = {'V', 'X', 'L', '1'};
constexpr char Sheet = 'S';
constexpr char Cell = 'C';
constexpr char Unreadable = 'X';
constexpr char Failed = 'F';
constexpr char Limit = 'L';
constexpr char Damaged = 'D';
constexpr char End = 'E';

constexpr std::uint32_t HeaderSize = 5;
// The bounds of a worksheet of the largest workbook format read (.xlsx; .xls stops at 65 536 x 256).
constexpr std::uint32_t MaxRows = 1048576;
constexpr std::uint32_t MaxColumns = 16384;
// A cell holds at most 32 767 characters, three UTF-8 bytes each at most, plus its place.
constexpr std::uint32_t MaxCellCharacters = 32767;
constexpr std::uint32_t MaxPayload = 8 + MaxCellCharacters * 3;
// A whole answer: a few times what the largest sound recipient sheets give. A small workbook can ask
// for far more (one long shared string in every cell), and the window's process must not pay for it.
constexpr std::uint64_t MaxAnswer = std::uint64_t(256) << 20;
} // namespace XlsProtocol
