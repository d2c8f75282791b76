#include "platform/formats/workbookreader/CompoundFile.h"

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <algorithm>

namespace
{

constexpr std::string_view Signature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE, NoEntry = 0xFFFFFFFF, LastSectorId = 0xFFFFFFF9;
constexpr std::size_t HeaderSize = 512, EntrySize = 128, MiniSectorSize = 64;

std::uint32_t u16(std::string_view s, std::size_t at)
{
    return std::uint32_t(static_cast<unsigned char>(s[at])) |
           std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 8;
}

std::uint32_t u32(std::string_view s, std::size_t at)
{
    return u16(s, at) | u16(s, at + 2) << 16;
}

[[noreturn]] void damaged(const char *what)
{
    stopDamaged(QStringLiteral("複合ファイルが壊れています: %1").arg(QLatin1String(what)));
}

std::string lowerAscii(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::vector<std::uint32_t> entriesOf(std::string_view bytes)
{
    std::vector<std::uint32_t> out(bytes.size() / 4);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = u32(bytes, 4 * i);
    return out;
}

} // namespace

bool looksLikeCompoundFile(std::string_view file)
{
    return file.starts_with(Signature);
}

CompoundFile::CompoundFile(std::string_view file) : m_file(file)
{
    if (file.size() < HeaderSize || !looksLikeCompoundFile(file))
        stopReading(QStringLiteral("Excel のブックではありません"));
    const std::uint32_t shift = u16(file, 30);
    if ((shift != 9 && shift != 12) || u16(file, 28) != 0xFFFE || u16(file, 32) != 6)
        damaged("header");
    m_sectorSize = 1u << shift;
    const std::uint64_t after = file.size() > m_sectorSize ? file.size() - m_sectorSize : 0;
    m_sectors =
        std::uint32_t(std::min<std::uint64_t>((after + m_sectorSize - 1) / m_sectorSize, LastSectorId));
    m_miniCutoff = u32(file, 56);

    // The sectors of the allocation table: 109 listed in the header, the rest in a chain of their own.
    const std::uint32_t fatSectors = u32(file, 44), perSector = m_sectorSize / 4;
    if (fatSectors > m_sectors)
        damaged("allocation table larger than the file");
    std::vector<std::uint32_t> fatIds;
    fatIds.reserve(fatSectors);
    for (std::uint32_t i = 0; i < 109 && fatIds.size() < fatSectors; ++i)
        fatIds.push_back(u32(file, 76 + 4 * i));
    std::uint32_t next = u32(file, 68);
    for (std::uint32_t hops = 0; fatIds.size() < fatSectors; ++hops) {
        if (next >= m_sectors || hops >= m_sectors)
            damaged("allocation table list");
        const std::string_view s = sector(next);
        if (s.size() < m_sectorSize)
            damaged("allocation table list");
        for (std::uint32_t i = 0; i + 1 < perSector && fatIds.size() < fatSectors; ++i)
            fatIds.push_back(u32(s, 4 * i));
        next = u32(s, m_sectorSize - 4);
    }
    m_fat.reserve(std::size_t(fatSectors) * perSector);
    for (std::uint32_t id : fatIds) {
        if (id >= m_sectors || sector(id).size() < m_sectorSize)
            damaged("allocation table sector");
        const std::vector<std::uint32_t> part = entriesOf(sector(id));
        m_fat.insert(m_fat.end(), part.begin(), part.end());
    }

    const std::string directory = chainBytes(u32(file, 48));
    const std::size_t entries = directory.size() / EntrySize;
    const auto entry = [&](std::uint32_t id) {
        return std::string_view(directory).substr(id * EntrySize, EntrySize);
    };
    if (entries == 0 || entry(0)[66] != 5)
        damaged("root entry");
    const std::string_view root = entry(0);

    // The root's children form a tree through their left and right siblings.
    std::vector<bool> seen(entries);
    std::vector<std::uint32_t> pending{u32(root, 76)};
    const bool version4 = shift == 12;
    while (!pending.empty()) {
        const std::uint32_t id = pending.back();
        pending.pop_back();
        if (id == NoEntry)
            continue;
        if (id >= entries || seen[id])
            damaged("directory tree");
        seen[id] = true;
        const std::string_view e = entry(id);
        pending.push_back(u32(e, 68));
        pending.push_back(u32(e, 72));
        if (e[66] != 2)
            continue;
        Entry stream;
        const std::size_t chars = std::min<std::size_t>(u16(e, 64) / 2, 32);
        for (std::size_t i = 0; i + 1 < chars; ++i) {
            const std::uint32_t c = u16(e, 2 * i);
            stream.name.push_back(c >= 0x20 && c < 0x7F ? char(c) : '?');
        }
        stream.name = lowerAscii(stream.name);
        stream.start = u32(e, 116);
        // Version 3 files leave the upper half of the size undefined.
        stream.size = version4 ? std::uint64_t(u32(e, 120)) | std::uint64_t(u32(e, 124)) << 32 : u32(e, 120);
        m_streams.push_back(std::move(stream));
    }

    const std::uint64_t miniSize =
        version4 ? std::uint64_t(u32(root, 120)) | std::uint64_t(u32(root, 124)) << 32 : u32(root, 120);
    if (miniSize > 0) {
        m_miniStream = chainBytes(u32(root, 116));
        if (miniSize > m_miniStream.size())
            damaged("mini stream");
        m_miniStream.resize(std::size_t(miniSize));
        m_miniFat = entriesOf(chainBytes(u32(file, 60)));
    }
}

std::string_view CompoundFile::sector(std::uint32_t id) const
{
    return m_file.substr(std::size_t(id + 1) * m_sectorSize, m_sectorSize);
}

// The sectors of a chain. A chain that leaves the table, or goes on past limit sectors, is damaged;
// with upTo, the chain is only followed for its first limit sectors.
std::vector<std::uint32_t> CompoundFile::chain(const std::vector<std::uint32_t> &table, std::uint32_t start,
                                               std::size_t limit, bool upTo) const
{
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = start; id != EndOfChain && !(upTo && ids.size() == limit); id = table[id]) {
        if (id >= table.size() || ids.size() >= limit)
            damaged("sector chain");
        ids.push_back(id);
    }
    return ids;
}

// The whole chain from start, for the parts whose size only their chain tells.
std::string CompoundFile::chainBytes(std::uint32_t start) const
{
    std::string out;
    for (std::uint32_t id : chain(m_fat, start, m_sectors, false)) {
        if (id >= m_sectors)
            damaged("sector outside the file");
        out.append(sector(id));
    }
    return out;
}

const CompoundFile::Entry *CompoundFile::find(std::string_view name) const
{
    const std::string wanted = lowerAscii(name);
    for (const Entry &e : m_streams)
        if (e.name == wanted)
            return &e;
    return nullptr;
}

std::optional<std::string> CompoundFile::read(std::string_view name) const
{
    const Entry *e = find(name);
    if (!e)
        return std::nullopt;
    if (e->size > m_file.size())
        damaged("stream larger than the file");
    const bool mini = e->size < m_miniCutoff;
    const std::size_t unit = mini ? MiniSectorSize : m_sectorSize;
    const std::size_t count = std::size_t((e->size + unit - 1) / unit);
    const std::vector<std::uint32_t> ids = chain(mini ? m_miniFat : m_fat, e->start, count, true);
    if (ids.size() < count)
        damaged("stream shorter than its size");
    std::string out;
    out.reserve(std::size_t(e->size));
    for (std::uint32_t id : ids) {
        const std::size_t want = std::min<std::size_t>(unit, std::size_t(e->size) - out.size());
        const std::string_view bytes =
            mini ? std::string_view(m_miniStream)
                       .substr(std::min<std::size_t>(std::size_t(id) * unit, m_miniStream.size()), want)
            : id < m_sectors ? sector(id).substr(0, want)
                             : std::string_view();
        if (bytes.size() < want)
            damaged("stream outside the file");
        out.append(bytes);
    }
    return out;
}
