#include "platform/formats/workbookreader/OdsReader.h"

#include "platform/formats/workbookreader/XlsCellText.h"
#include "platform/formats/workbookreader/XlsProtocol.h"
#include "platform/formats/workbookreader/XmlEvents.h"
#include "platform/formats/workbookreader/ZipPackage.h"

#include <charconv>
#include <map>
#include <optional>

namespace
{

enum Namespace { Other, Office, Table, Text, Calc, Draw, Style, DataStyle };

std::uint64_t repeatCount(std::string_view s)
{
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    return ec == std::errc() && end == s.data() + s.size() && n > 0 ? n : 1;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// A cell's text never needs more bytes than this; more is cut at once, so that a hostile
// repetition of spaces costs nothing.
constexpr std::size_t MaxTextBytes = 4 * XlsProtocol::MaxCellCharacters;

class ContentHandler
{
  public:
    explicit ContentHandler(SheetCells &cells) : m_cells(cells) {}

    void start(orcus::xmlns_id_t ns, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        ++m_depth;
        if (m_skipFrom)
            return;
        const int kind = m_ns.kind(ns);
        if (kind == Office && name == "spreadsheet") {
            m_spreadsheetDepth = m_depth;
        } else if (!m_inTable) {
            if (kind == Table && name == "table" && m_spreadsheetDepth && m_depth == m_spreadsheetDepth + 1)
                m_inTable = true;
            else
                startStyle(kind, name, attributes);
        } else if (m_inCell) {
            startInCell(kind, name, attributes);
        } else if (kind == Table && name == "table-row") {
            m_rowRepeat = repeatCount(attribute(attributes, Table, "number-rows-repeated"));
            m_rowStyle = attribute(attributes, Table, "default-cell-style-name");
            m_column = 0;
            m_rowCells.clear();
        } else if (kind == Table && (name == "table-cell" || name == "covered-table-cell")) {
            startCell(attributes);
        } else if (kind == Table && name == "table-column") {
            const std::uint64_t repeat = repeatCount(attribute(attributes, Table, "number-columns-repeated"));
            const std::string_view style = attribute(attributes, Table, "default-cell-style-name");
            if (!style.empty() && m_columnsSeen < XlsProtocol::MaxColumns)
                m_columnStyles[m_columnsSeen] = {saturatingAdd(m_columnsSeen, repeat), std::string(style)};
            m_columnsSeen = saturatingAdd(m_columnsSeen, repeat);
        }
    }

    void end(orcus::xmlns_id_t ns, std::string_view name)
    {
        const int depth = m_depth--;
        if (m_skipFrom) {
            if (depth == m_skipFrom)
                m_skipFrom = 0;
            return;
        }
        const int kind = m_ns.kind(ns);
        if (!m_inTable) {
            endStyle(kind, name);
            return;
        }
        if (m_inCell && depth == m_cellDepth) {
            endCell();
        } else if (m_inCell) {
            if (kind == Text && (name == "p" || name == "h"))
                --m_paragraphDepth;
        } else if (kind == Table && name == "table-row") {
            endRow();
        } else if (kind == Table && name == "table") {
            throw XmlDone(); // the first sheet is read
        }
    }

    void text(std::string_view s)
    {
        if (m_skipFrom || !m_inCell || m_paragraphDepth == 0)
            return;
        // White space inside a paragraph is one space where it follows no other white space.
        for (char c : s) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                if (!m_afterSpace)
                    append(" ");
                m_afterSpace = true;
            } else {
                if (m_text.size() < MaxTextBytes)
                    m_text.push_back(c);
                m_afterSpace = false;
            }
        }
    }

  private:
    // The data styles (number formats) of dates and times, and the cell styles that use them.
    void startStyle(int kind, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        if (kind == DataStyle && (name == "date-style" || name == "time-style")) {
            m_dataStyle = attribute(attributes, Style, "name");
            m_dataParts = name == "date-style" ? DateParts::Date : DateParts::Time;
        } else if (kind == DataStyle && m_dataParts == DateParts::Date &&
                   (name == "hours" || name == "minutes" || name == "seconds")) {
            m_dataParts = DateParts::DateAndTime;
        } else if (kind == Style && name == "style" &&
                   attribute(attributes, Style, "family") == "table-cell") {
            const std::string style(attribute(attributes, Style, "name"));
            const std::string_view data = attribute(attributes, Style, "data-style-name");
            const std::string_view parent = attribute(attributes, Style, "parent-style-name");
            if (!data.empty())
                m_cellStyles[style] = std::string(data);
            else if (!parent.empty())
                m_parentStyles[style] = std::string(parent);
        }
    }

    void endStyle(int kind, std::string_view name)
    {
        if (kind == DataStyle && (name == "date-style" || name == "time-style") && !m_dataStyle.empty()) {
            m_dataStyles[m_dataStyle] = m_dataParts;
            m_dataStyle.clear();
        }
    }

    // What the cell's format shows of a date: its own style, else its row's or its column's
    // default; none when the format is not known here.
    std::optional<DateParts> dateParts() const
    {
        std::string_view style =
            !m_cellStyle.empty() ? std::string_view(m_cellStyle) : std::string_view(m_rowStyle);
        if (style.empty()) {
            const auto column = m_columnStyles.upper_bound(m_column);
            if (column != m_columnStyles.begin() && m_column < std::prev(column)->second.first)
                style = std::prev(column)->second.second;
        }
        // A style without a data style of its own has its parent's.
        auto cell = m_cellStyles.find(std::string(style));
        for (int depth = 0; cell == m_cellStyles.end() && depth < 8; ++depth) {
            const auto parent = m_parentStyles.find(std::string(style));
            if (parent == m_parentStyles.end())
                return std::nullopt;
            style = parent->second;
            cell = m_cellStyles.find(std::string(style));
        }
        if (cell == m_cellStyles.end())
            return std::nullopt;
        const auto data = m_dataStyles.find(cell->second);
        return data == m_dataStyles.end() ? std::nullopt : std::optional<DateParts>(data->second);
    }

    std::string_view attribute(const std::vector<XmlAttribute> &attributes, int kind, std::string_view name)
    {
        for (const XmlAttribute &a : attributes)
            if (a.name == name && m_ns.kind(a.ns) == kind)
                return a.value;
        return {};
    }

    void append(std::string_view s)
    {
        if (m_text.size() < MaxTextBytes)
            m_text.append(s.substr(0, MaxTextBytes - m_text.size()));
    }

    void startCell(const std::vector<XmlAttribute> &attributes)
    {
        m_inCell = true;
        m_cellDepth = m_depth;
        m_columnRepeat = repeatCount(attribute(attributes, Table, "number-columns-repeated"));
        m_cellStyle = attribute(attributes, Table, "style-name");
        m_type = attribute(attributes, Office, "value-type");
        m_calcType = attribute(attributes, Calc, "value-type");
        m_value = attribute(attributes, Office, "value");
        m_date = attribute(attributes, Office, "date-value");
        m_time = attribute(attributes, Office, "time-value");
        m_boolean = attribute(attributes, Office, "boolean-value");
        m_hasString = false;
        for (const XmlAttribute &a : attributes)
            if (a.name == "string-value" && m_ns.kind(a.ns) == Office) {
                m_string = a.value;
                m_hasString = true;
            }
        m_text.clear();
        m_paragraphs = 0;
        m_paragraphDepth = 0;
    }

    void startInCell(int kind, std::string_view name, const std::vector<XmlAttribute> &attributes)
    {
        // Comments, readings above the text (ruby), notes, pictures and tables inside the cell
        // are not its value.
        if ((kind == Office && name == "annotation") || kind == Draw || (kind == Table && name == "table") ||
            (kind == Text && (name == "ruby-text" || name == "note"))) {
            m_skipFrom = m_depth;
            return;
        }
        if (kind != Text)
            return;
        if (name == "p" || name == "h") {
            if (m_paragraphs++ > 0)
                append("\n");
            ++m_paragraphDepth;
            m_afterSpace = true;
        } else if (m_paragraphDepth > 0 && name == "s") {
            const std::uint64_t n = repeatCount(attribute(attributes, Text, "c"));
            if (m_text.size() < MaxTextBytes)
                m_text.append(std::size_t(std::min<std::uint64_t>(n, MaxTextBytes - m_text.size())), ' ');
            m_afterSpace = true;
        } else if (m_paragraphDepth > 0 && name == "tab") {
            append("\t");
            m_afterSpace = true;
        } else if (m_paragraphDepth > 0 && name == "line-break") {
            append("\n");
            m_afterSpace = true;
        }
    }

    std::string cellValue() const
    {
        if (m_calcType == "error")
            return m_text;
        double number = 0;
        if (m_type == "float" || m_type == "percentage" || m_type == "currency") {
            const auto [end, ec] = std::from_chars(m_value.data(), m_value.data() + m_value.size(), number);
            if (ec == std::errc() && end == m_value.data() + m_value.size() && !m_value.empty())
                return numberText15Utf8(number);
        } else if (m_type == "date") {
            const std::string date = isoDateText(m_date, dateParts());
            if (!date.empty())
                return date;
        } else if (m_type == "time") {
            const std::string time = durationText(m_time);
            if (!time.empty())
                return time;
        } else if (m_type == "boolean") {
            // As the .xls reader gives a boolean: 1 or 0.
            if (m_boolean == "true" || m_boolean == "false")
                return m_boolean == "true" ? "1" : "0";
        } else if (m_type == "string" && m_hasString) {
            return m_string; // a formula's text result
        }
        return m_text;
    }

    void endCell()
    {
        m_inCell = false;
        const TextSpan text = m_cells.intern(cellValue());
        if (text.length > 0) {
            for (std::uint64_t k = 0; k < m_columnRepeat; ++k) {
                const std::uint64_t column = saturatingAdd(m_column, k);
                if (column >= XlsProtocol::MaxColumns)
                    stopAtLimit(
                        QStringLiteral("値のあるセルの繰り返しがワークシートの右端（%1 列）を超えています。")
                            .arg(XlsProtocol::MaxColumns));
                m_rowCells.push_back({column, text});
            }
        }
        m_column = saturatingAdd(m_column, m_columnRepeat);
    }

    void endRow()
    {
        for (std::uint64_t k = 0; !m_rowCells.empty() && k < m_rowRepeat; ++k) {
            const std::uint64_t row = saturatingAdd(m_row, k);
            if (row >= XlsProtocol::MaxRows)
                stopAtLimit(
                    QStringLiteral("値のある行の繰り返しがワークシートの下端（%1 行）を超えています。")
                        .arg(XlsProtocol::MaxRows));
            for (const auto &[column, text] : m_rowCells)
                m_cells.add(row, column, text);
        }
        m_row = saturatingAdd(m_row, m_rowRepeat);
    }

    SheetCells &m_cells;
    NamespaceKinds m_ns{"urn:oasis:names:tc:opendocument:xmlns:office:1.0",
                        "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
                        "urn:oasis:names:tc:opendocument:xmlns:text:1.0",
                        "urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0",
                        "urn:oasis:names:tc:opendocument:xmlns:drawing:1.0",
                        "urn:oasis:names:tc:opendocument:xmlns:style:1.0",
                        "urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0"};
    std::map<std::string, DateParts> m_dataStyles;
    std::map<std::string, std::string> m_cellStyles, m_parentStyles;
    std::string m_dataStyle;
    DateParts m_dataParts = DateParts::Date;
    std::map<std::uint64_t, std::pair<std::uint64_t, std::string>> m_columnStyles; // first -> (end, style)
    std::uint64_t m_columnsSeen = 0;
    std::string m_rowStyle, m_cellStyle;
    int m_depth = 0, m_spreadsheetDepth = 0, m_skipFrom = 0;
    bool m_inTable = false;
    std::uint64_t m_row = 0, m_rowRepeat = 1, m_column = 0, m_columnRepeat = 1;
    std::vector<std::pair<std::uint64_t, TextSpan>> m_rowCells;
    bool m_inCell = false;
    int m_cellDepth = 0, m_paragraphs = 0, m_paragraphDepth = 0;
    bool m_afterSpace = true, m_hasString = false;
    std::string m_type, m_calcType, m_value, m_date, m_time, m_boolean, m_string, m_text;
};

} // namespace

void readOdsContent(std::string xml, SheetCells &cells, std::string styles)
{
    ContentHandler handler(cells);
    if (!styles.empty())
        parseXml(std::move(styles), handler, "styles.xml");
    parseXml(std::move(xml), handler, "content.xml");
}

void readOds(ZipPackage &package, SheetCells &cells)
{
    const std::string type = package.read("mimetype", false);
    if (!type.empty() && !type.starts_with("application/vnd.oasis.opendocument.spreadsheet"))
        stopReading(QStringLiteral("表計算のドキュメントではありません"));
    if (package.read("META-INF/manifest.xml", false).find("encryption-data") != std::string::npos)
        stopReading(QStringLiteral("パスワードで保護されています。パスワードを外して保存し直してください"));
    // The formats that cells name may be common styles, kept in styles.xml.
    std::string styles = package.read("styles.xml", false);
    readOdsContent(package.read("content.xml"), cells, std::move(styles));
}
