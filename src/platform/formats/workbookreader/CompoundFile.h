#pragma once

// The streams of a compound file, the container that holds an Excel 97-2003 workbook (and an
// encrypted .xlsx). Every sector number, chain and size is checked against the file before it is
// followed, so a damaged file cannot make the reader loop, read outside the file or allocate more
// than the file could hold; anything wrong stops the reading as damaged (WorkbookStop).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CompoundFile
{
  public:
    // file stays owned by the caller and must outlive this object.
    explicit CompoundFile(std::string_view file);

    // Whether the root storage holds a stream of that name (ASCII, compared ignoring case, as
    // compound files compare names).
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // The bytes of that stream of the root storage; none when it holds no such stream.
    std::optional<std::string> read(std::string_view name) const;

  private:
    struct Entry {
        std::string name; // ASCII letters in lower case; other characters as '?'
        std::uint32_t start = 0;
        std::uint64_t size = 0;
    };
    const Entry *find(std::string_view name) const;
    std::string_view sector(std::uint32_t id) const;
    std::vector<std::uint32_t> chain(const std::vector<std::uint32_t> &table, std::uint32_t start,
                                     std::size_t limit, bool upTo) const;
    std::string chainBytes(std::uint32_t start) const;

    std::string_view m_file;
    std::uint32_t m_sectorSize = 512;
    std::uint32_t m_sectors = 0; // whole or partial sectors after the header
    std::uint32_t m_miniCutoff = 4096;
    std::vector<std::uint32_t> m_fat;
    std::vector<std::uint32_t> m_miniFat;
    std::string m_miniStream;
    std::vector<Entry> m_streams; // the streams directly in the root storage
};

// The compound file's first bytes.
bool looksLikeCompoundFile(std::string_view file);
