#include "platform/formats/workbookreader/ZipPackage.h"

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace
{

constexpr std::uint32_t EndSignature = 0x06054b50;
constexpr std::uint32_t EntrySignature = 0x02014b50;
constexpr std::uint32_t LocalSignature = 0x04034b50;
constexpr std::size_t EndSize = 22, EntrySize = 46, LocalSize = 30;

std::uint32_t u16(std::string_view s, std::size_t at)
{
    return std::uint32_t(static_cast<unsigned char>(s[at])) |
           std::uint32_t(static_cast<unsigned char>(s[at + 1])) << 8;
}

std::uint32_t u32(std::string_view s, std::size_t at)
{
    return u16(s, at) | u16(s, at + 2) << 16;
}

[[noreturn]] void damaged(const QString &what)
{
    stopReading(QStringLiteral("ファイルが壊れています: %1").arg(what));
}

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

} // namespace

ZipPackage::ZipPackage(std::string_view archive, std::uint64_t unpackedBudget)
    : m_archive(archive), m_budget(unpackedBudget)
{
    // The end record lies in the last 64 KB (its comment is at most that long). Its comment may hold
    // the record's signature too: the record is the one whose comment ends where the archive does,
    // else (bytes after the comment) the last signature.
    if (archive.size() < EndSize)
        stopReading(QStringLiteral("ZIP 形式ではないか、途中で切れています"));
    std::size_t end = std::string_view::npos;
    const std::size_t lowest = archive.size() > EndSize + 0xFFFF ? archive.size() - EndSize - 0xFFFF : 0;
    for (std::size_t at = archive.size() - EndSize + 1; at-- > lowest;) {
        if (u32(archive, at) != EndSignature)
            continue;
        if (end == std::string_view::npos)
            end = at;
        if (at + EndSize + u16(archive, at + 20) == archive.size()) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos)
        stopReading(QStringLiteral("ZIP 形式ではないか、途中で切れています"));
    const std::uint32_t count = u16(archive, end + 10), directorySize = u32(archive, end + 12),
                        directory = u32(archive, end + 16);
    if (u16(archive, end + 4) != 0 || u16(archive, end + 6) != 0 || u16(archive, end + 8) != count)
        stopReading(QStringLiteral("分割された ZIP ファイルには対応していません"));
    if (count == 0xFFFF || directory == 0xFFFFFFFF || directorySize == 0xFFFFFFFF)
        stopReading(QStringLiteral("ZIP64 形式のファイルには対応していません"));
    if (directory > end || directorySize > end - directory)
        stopReading(QStringLiteral("ZIP 形式ではないか、途中で切れています"));

    const std::string_view dir = archive.substr(directory, directorySize);
    std::size_t at = 0;
    m_entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (dir.size() - at < EntrySize || u32(dir, at) != EntrySignature)
            damaged(QStringLiteral("ZIP の目録が正しくありません"));
        Entry e;
        e.flags = std::uint16_t(u16(dir, at + 8));
        e.method = std::uint16_t(u16(dir, at + 10));
        e.crc = u32(dir, at + 16);
        e.compressedSize = u32(dir, at + 20);
        e.size = u32(dir, at + 24);
        const std::size_t nameLength = u16(dir, at + 28), extra = u16(dir, at + 30),
                          comment = u16(dir, at + 32);
        e.localHeader = u32(dir, at + 42);
        if (dir.size() - at - EntrySize < nameLength + extra + comment)
            damaged(QStringLiteral("ZIP の目録が正しくありません"));
        e.name = dir.substr(at + EntrySize, nameLength);
        at += EntrySize + nameLength + extra + comment;
        if (e.localHeader >= directory || e.compressedSize > directory - e.localHeader)
            damaged(QStringLiteral("部品の位置が正しくありません"));
        if (m_byName.emplace(e.name, m_entries.size()).second)
            m_entries.push_back(e);
    }
}

const ZipPackage::Entry *ZipPackage::find(std::string_view name) const
{
    const auto it = m_byName.find(name);
    return it == m_byName.end() ? nullptr : &m_entries[it->second];
}

std::string ZipPackage::read(std::string_view name, bool required)
{
    const Entry *e = find(name);
    for (std::size_t i = 0; !e && i < m_entries.size(); ++i)
        if (sameIgnoringCase(m_entries[i].name, name))
            e = &m_entries[i];
    if (!e) {
        if (required)
            stopReading(QStringLiteral("ブックの部品 %1 がありません")
                            .arg(QString::fromUtf8(name.data(), qsizetype(name.size()))));
        return std::string();
    }
    if (e->flags & 0x0001)
        stopReading(QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください"));
    if (e->method != 0 && e->method != 8)
        stopReading(QStringLiteral("対応していない圧縮方式（%1）です").arg(e->method));
    if (e->size > m_budget - m_unpacked)
        stopAtLimit(QStringLiteral("展開すると上限の %1 MB を超える大きさになります。").arg(m_budget >> 20));
    m_unpacked += e->size;

    // The local header repeats the name and has an extra field of its own before the data.
    const std::size_t local = e->localHeader;
    if (m_archive.size() - local < LocalSize || u32(m_archive, local) != LocalSignature)
        damaged(QStringLiteral("部品の見出しが正しくありません"));
    const std::size_t data = local + LocalSize + u16(m_archive, local + 26) + u16(m_archive, local + 28);
    if (data > m_archive.size() || m_archive.size() - data < e->compressedSize)
        damaged(QStringLiteral("部品の位置が正しくありません"));
    const std::string_view packed = m_archive.substr(data, e->compressedSize);

    std::string out;
    // Room for what the XML parser wants behind a part, so that it costs no second copy.
    out.reserve(std::size_t(e->size) + 64);
    if (e->method == 0) {
        if (packed.size() != e->size)
            damaged(QStringLiteral("部品の大きさが正しくありません"));
        out.assign(packed);
    } else {
        out.resize(e->size);
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
            stopAtLimit(QStringLiteral("メモリが足りません。"));
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
        z.avail_in = uInt(packed.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        int rc = inflate(&z, Z_FINISH);
        // A stream that wants more room than the directory gave it has lied about its size.
        if (rc == Z_BUF_ERROR && z.avail_out == 0 && z.avail_in > 0)
            rc = Z_DATA_ERROR;
        const bool whole = rc == Z_STREAM_END && z.total_out == e->size;
        inflateEnd(&z);
        if (!whole)
            damaged(QStringLiteral("圧縮されたデータが正しくありません"));
    }
    if (crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(out.data()), uInt(out.size())) != e->crc)
        damaged(QStringLiteral("データの検査値が合いません"));
    return out;
}
