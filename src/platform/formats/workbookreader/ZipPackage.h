#pragma once

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The parts of a ZIP archive held in memory (.xlsx and .ods files are such archives). Sizes and
// places come from the central directory and are checked against the archive before anything is
// inflated; a part is inflated only up to the size the directory gives it, and only while the
// archive's budget of inflated bytes lasts (WorkbookLimits::MaxUnpacked), so a small file cannot
// make the reader fill its memory. Anything wrong stops the reading (WorkbookStop).
class ZipPackage
{
  public:
    explicit ZipPackage(std::string_view archive, std::uint64_t unpackedBudget = WorkbookLimits::MaxUnpacked);

    // Part names as stored; a name the directory holds twice counts once, the first.
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // The part's bytes; a name not found exactly is looked up again ignoring ASCII case, as
    // package part names are. A missing part is empty, or stops the reading when required.
    std::string read(std::string_view name, bool required = true);

  private:
    struct Entry {
        std::string_view name;
        std::uint16_t flags = 0;
        std::uint16_t method = 0;
        std::uint32_t crc = 0;
        std::uint32_t compressedSize = 0;
        std::uint32_t size = 0;
        std::uint32_t localHeader = 0;
    };
    const Entry *find(std::string_view name) const;

    std::string_view m_archive;
    std::vector<Entry> m_entries;
    std::unordered_map<std::string_view, std::size_t> m_byName;
    std::uint64_t m_budget;
    std::uint64_t m_unpacked = 0;
};
