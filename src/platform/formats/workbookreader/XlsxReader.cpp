#include "platform/formats/workbookreader/XlsxReader.h"

#include "platform/formats/workbookreader/XmlEvents.h"
#include "platform/formats/workbookreader/ZipPackage.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace
{

// SpreadsheetML in its transitional and its strict namespace.
NamespaceKinds spreadsheetNamespaces()
{
    return NamespaceKinds{"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
                          "http://purl.oclc.org/ooxml/spreadsheetml/main"};
}

bool unsignedNumber(std::string_view s, std::uint64_t &value)
{
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

void appendUtf8(std::string &out, std::uint32_t c)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

// Workbook text writes characters XML cannot hold as _xHHHH_ (a carriage return as _x000D_, an
// underscore before such a form as _x005F_).
std::string unescapedText(std::string_view s)
{
    if (s.find("_x") == std::string_view::npos)
        return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = 0;
        if (s[i] == '_' && i + 6 < s.size() && s[i + 1] == 'x' && s[i + 6] == '_' &&
            std::from_chars(s.data() + i + 2, s.data() + i + 6, c, 16).ptr == s.data() + i + 6 &&
            !(c >= 0xD800 && c <= 0xDFFF)) {
            if (c != 0)
                appendUtf8(out, c);
            i += 6;
            continue;
        }
        out.push_back(s[i]);
    }
    return out;
}

// --- relationships --------------------------------------------------------------------------

struct Relationship {
    std::string type;
    std::string target; // a part name, resolved
};

// The folder of a part name, with its slash: "xl/" for "xl/workbook.xml".
std::string_view folderOf(std::string_view part)
{
    const std::size_t slash = part.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : part.substr(0, slash + 1);
}

// A relationship's target as a part name: relative to the source's folder unless it starts with
// "/", with "." and ".." resolved and %XX decoded.
std::string resolvePart(std::string_view source, std::string_view target)
{
    std::string path = target.starts_with('/') ? std::string(target.substr(1))
                                               : std::string(folderOf(source)) + std::string(target);
    std::string decoded;
    for (std::size_t i = 0; i < path.size(); ++i) {
        unsigned value = 0;
        if (path[i] == '%' && i + 2 < path.size() &&
            std::from_chars(path.data() + i + 1, path.data() + i + 3, value, 16).ptr == path.data() + i + 3) {
            decoded.push_back(char(value));
            i += 2;
        } else {
            decoded.push_back(path[i]);
        }
    }
    std::vector<std::string> segments;
    std::size_t from = 0;
    while (from <= decoded.size()) {
        std::size_t slash = decoded.find('/', from);
        if (slash == std::string::npos)
            slash = decoded.size();
        const std::string segment = decoded.substr(from, slash - from);
        if (segment == "..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        from = slash + 1;
    }
    std::string part;
    for (const std::string &s : segments)
        part += (part.empty() ? "" : "/") + s;
    return part;
}

// The relationships part of a part: "xl/_rels/workbook.xml.rels" for "xl/workbook.xml".
std::string relationshipsOf(std::string_view part)
{
    const std::string_view folder = folderOf(part);
    return std::string(folder) + "_rels/" + std::string(part.substr(folder.size())) + ".rels";
}

class RelationshipsHandler
{
  public:
    RelationshipsHandler(std::string_view source, std::map<std::string, Relationship> &out)
        : m_source(source), m_out(out)
    {
    }
    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        if (name != "Relationship" || m_ns.kind(ns) == 0 ||
            plainAttribute(attributes, "TargetMode") == "External")
            return;
        const std::string id(plainAttribute(attributes, "Id"));
        if (!id.empty())
            m_out.emplace(id, Relationship{std::string(plainAttribute(attributes, "Type")),
                                           resolvePart(m_source, plainAttribute(attributes, "Target"))});
    }
    void end(orcus::xmlns_id_t, std::string_view) {}
    void text(std::string_view) {}

  private:
    std::string_view m_source;
    std::map<std::string, Relationship> &m_out;
    NamespaceKinds m_ns{"http://schemas.openxmlformats.org/package/2006/relationships"};
};

std::map<std::string, Relationship> readRelationships(ZipPackage &package, std::string_view source)
{
    std::map<std::string, Relationship> out;
    const std::string part = source.empty() ? std::string("_rels/.rels") : relationshipsOf(source);
    std::string xml = package.read(part, false);
    if (!xml.empty()) {
        RelationshipsHandler handler(source, out);
        parseXml(std::move(xml), handler, part);
    }
    return out;
}

const Relationship *relationshipOfType(const std::map<std::string, Relationship> &relationships,
                                       std::string_view typeEnd)
{
    for (const auto &[id, r] : relationships)
        if (r.type.ends_with(typeEnd))
            return &r;
    return nullptr;
}

// --- workbook -------------------------------------------------------------------------------

class WorkbookHandler
{
  public:
    bool date1904 = false;
    std::vector<std::string> sheetIds; // in the workbook's order

    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "workbookPr") {
            const std::string_view v = plainAttribute(attributes, "date1904");
            date1904 = v == "1" || v == "true";
        } else if (name == "sheet") {
            for (const XmlAttribute &a : attributes)
                if (a.name == "id" && m_relationshipNs.kind(a.ns) != 0)
                    sheetIds.emplace_back(a.value);
        }
    }
    void end(orcus::xmlns_id_t, std::string_view) {}
    void text(std::string_view) {}

  private:
    NamespaceKinds m_ns = spreadsheetNamespaces();
    NamespaceKinds m_relationshipNs{"http://schemas.openxmlformats.org/officeDocument/2006/relationships",
                                    "http://purl.oclc.org/ooxml/officeDocument/relationships"};
};

// --- styles ---------------------------------------------------------------------------------

class StylesHandler
{
  public:
    std::map<std::uint64_t, std::optional<DateParts>> formats;
    std::vector<std::uint64_t> cellFormatIds;

    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        if (m_ns.kind(ns) == 0)
            return;
        std::uint64_t id = 0;
        // Differential formats (dxfs) have number formats of their own; only the table counts.
        if (name == "numFmts") {
            m_inNumberFormats = true;
        } else if (name == "numFmt" && m_inNumberFormats &&
                   unsignedNumber(plainAttribute(attributes, "numFmtId"), id)) {
            formats[id] = numberFormatDateParts(plainAttribute(attributes, "formatCode"));
        } else if (name == "cellXfs") {
            m_inCellFormats = true;
        } else if (name == "xf" && m_inCellFormats) {
            if (!unsignedNumber(plainAttribute(attributes, "numFmtId"), id))
                id = 0;
            cellFormatIds.push_back(id);
        }
    }
    void end(orcus::xmlns_id_t ns, std::string_view name)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "cellXfs")
            m_inCellFormats = false;
        else if (name == "numFmts")
            m_inNumberFormats = false;
    }
    void text(std::string_view) {}

  private:
    NamespaceKinds m_ns = spreadsheetNamespaces();
    bool m_inCellFormats = false;
    bool m_inNumberFormats = false;
};

// --- shared strings -------------------------------------------------------------------------

class SharedStringsHandler
{
  public:
    SharedStringsHandler(SheetCells &cells, std::vector<TextSpan> &out) : m_cells(cells), m_out(out) {}

    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "si") {
            m_text.clear();
            m_inEntry = true;
        } else if (name == "rPh") {
            ++m_inReading;
        } else if (name == "t") {
            m_inText = m_inEntry && m_inReading == 0;
        }
    }
    void end(orcus::xmlns_id_t ns, std::string_view name)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "t") {
            m_inText = false;
        } else if (name == "rPh") {
            m_inReading = std::max(m_inReading - 1, 0);
        } else if (name == "si" && m_inEntry) {
            m_out.push_back(m_cells.intern(unescapedText(m_text)));
            m_inEntry = false;
        }
    }
    void text(std::string_view s)
    {
        if (m_inText)
            m_text.append(s);
    }

  private:
    SheetCells &m_cells;
    std::vector<TextSpan> &m_out;
    NamespaceKinds m_ns = spreadsheetNamespaces();
    std::string m_text;
    bool m_inEntry = false;
    bool m_inText = false;
    int m_inReading = 0; // inside a phonetic reading (furigana) of the entry
};

// --- worksheet ------------------------------------------------------------------------------

class SheetHandler
{
  public:
    SheetHandler(const XlsxStyles &styles, const std::vector<TextSpan> &shared, bool date1904,
                 SheetCells &cells)
        : m_styles(styles), m_shared(shared), m_date1904(date1904), m_cells(cells)
    {
    }

    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "sheetData") {
            m_inData = true;
        } else if (name == "row" && m_inData) {
            std::uint64_t r = 0;
            m_row = unsignedNumber(plainAttribute(attributes, "r"), r) && r > 0 ? r - 1 : m_nextRow;
            m_nextRow = m_row + 1;
            m_nextColumn = 0;
        } else if (name == "c" && m_inData) {
            startCell(attributes);
        } else if (m_inCell) {
            if (name == "v")
                m_inValue = true;
            else if (name == "rPh")
                ++m_inReading;
            else if (name == "t")
                m_inText = m_inReading == 0;
        }
    }

    void end(orcus::xmlns_id_t ns, std::string_view name)
    {
        if (m_ns.kind(ns) == 0)
            return;
        if (name == "sheetData") {
            throw XmlDone(); // nothing after the cells matters here
        } else if (name == "c" && m_inCell) {
            endCell();
        } else if (name == "v") {
            m_inValue = false;
        } else if (name == "t") {
            m_inText = false;
        } else if (name == "rPh") {
            m_inReading = std::max(m_inReading - 1, 0);
        }
    }

    void text(std::string_view s)
    {
        if (m_inValue)
            m_value.append(s);
        else if (m_inText)
            m_inline.append(s);
    }

  private:
    void startCell(const std::vector<XmlAttribute> &attributes)
    {
        m_inCell = true;
        m_value.clear();
        m_inline.clear();
        m_inReading = 0;
        m_inText = m_inValue = false;
        m_type = plainAttribute(attributes, "t");
        if (!unsignedNumber(plainAttribute(attributes, "s"), m_format))
            m_format = 0;
        std::uint64_t row = 0, column = 0;
        if (parseCellReference(plainAttribute(attributes, "r"), row, column)) {
            m_cellRow = row;
            m_cellColumn = column;
        } else {
            m_cellRow = m_row;
            m_cellColumn = m_nextColumn;
        }
        m_nextColumn = m_cellColumn + 1;
    }

    void endCell()
    {
        m_inCell = false;
        const std::uint64_t r = m_cellRow, c = m_cellColumn;
        if (m_type == "inlineStr") {
            m_cells.add(r, c, unescapedText(m_inline));
            return;
        }
        if (m_value.empty())
            return;
        if (m_type == "s") {
            std::uint64_t index = 0;
            if (unsignedNumber(m_value, index) && index < m_shared.size())
                m_cells.add(r, c, m_shared[index]);
            else
                m_cells.addUnreadable(
                    r, c, QStringLiteral("共有文字列 %1 がありません").arg(QString::fromStdString(m_value)));
        } else if (m_type == "str") {
            m_cells.add(r, c, unescapedText(m_value));
        } else if (m_type == "b") {
            // As the .xls reader gives a boolean: 1 or 0.
            m_cells.add(r, c,
                        m_value == "1" || m_value == "true" ? std::string_view("1") : std::string_view("0"));
        } else if (m_type == "d") {
            const std::string date = isoDateText(m_value);
            m_cells.add(r, c, date.empty() ? m_value : date);
        } else if (m_type.empty() || m_type == "n") {
            double number = 0;
            const auto [end, ec] = std::from_chars(m_value.data(), m_value.data() + m_value.size(), number);
            if (ec != std::errc() || end != m_value.data() + m_value.size()) {
                m_cells.addUnreadable(
                    r, c, QStringLiteral("数値として読めません（%1）").arg(QString::fromStdString(m_value)));
                return;
            }
            const std::optional<DateParts> parts = m_styles.of(m_format);
            m_cells.add(r, c, parts ? serialDateText(number, m_date1904, *parts) : numberText15Utf8(number));
        } else {
            // An error value (#N/A, #DIV/0!...) and any other kind show their text.
            m_cells.add(r, c, m_value);
        }
    }

    const XlsxStyles &m_styles;
    const std::vector<TextSpan> &m_shared;
    const bool m_date1904;
    SheetCells &m_cells;
    NamespaceKinds m_ns = spreadsheetNamespaces();
    bool m_inData = false;
    std::uint64_t m_row = 0, m_nextRow = 0, m_nextColumn = 0;
    bool m_inCell = false, m_inValue = false, m_inText = false;
    int m_inReading = 0;
    std::string m_type;
    std::uint64_t m_format = 0;
    std::uint64_t m_cellRow = 0, m_cellColumn = 0;
    std::string m_value, m_inline;
};

} // namespace

XlsxStyles readXlsxStyles(std::string xml)
{
    StylesHandler handler;
    parseXml(std::move(xml), handler, "styles");
    XlsxStyles styles;
    styles.cellFormats.reserve(handler.cellFormatIds.size());
    for (std::uint64_t id : handler.cellFormatIds) {
        const auto custom = handler.formats.find(id);
        styles.cellFormats.push_back(custom != handler.formats.end() ? custom->second : builtinDateParts(id));
    }
    return styles;
}

std::vector<TextSpan> readXlsxSharedStrings(std::string xml, SheetCells &cells)
{
    std::vector<TextSpan> out;
    SharedStringsHandler handler(cells, out);
    parseXml(std::move(xml), handler, "sharedStrings");
    return out;
}

void readXlsxSheet(std::string xml, const XlsxStyles &styles, const std::vector<TextSpan> &shared,
                   bool date1904, SheetCells &cells)
{
    SheetHandler handler(styles, shared, date1904, cells);
    parseXml(std::move(xml), handler, "worksheet");
}

void readXlsx(ZipPackage &package, SheetCells &cells)
{
    const auto root = readRelationships(package, {});
    const Relationship *main = relationshipOfType(root, "/officeDocument");
    const std::string workbookPart = main ? main->target : std::string("xl/workbook.xml");
    if (!package.contains(workbookPart) && !main)
        stopReading(QStringLiteral("Excel のブックではありません"));
    const auto parts = readRelationships(package, workbookPart);

    WorkbookHandler workbook;
    parseXml(package.read(workbookPart), workbook, workbookPart);
    const Relationship *sheet = nullptr;
    for (const std::string &id : workbook.sheetIds) {
        const auto it = parts.find(id);
        if (it != parts.end() && it->second.type.ends_with("/worksheet")) {
            sheet = &it->second;
            break;
        }
    }
    if (!sheet)
        stopReading(QStringLiteral("ワークシートがありません"));

    XlsxStyles styles;
    if (const Relationship *r = relationshipOfType(parts, "/styles"))
        styles = readXlsxStyles(package.read(r->target, false));
    std::vector<TextSpan> shared;
    if (const Relationship *r = relationshipOfType(parts, "/sharedStrings"))
        shared = readXlsxSharedStrings(package.read(r->target, false), cells);
    readXlsxSheet(package.read(sheet->target), styles, shared, workbook.date1904, cells);
}
