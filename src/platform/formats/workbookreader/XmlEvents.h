#pragma once

// Reading the XML parts of a workbook with liborcus's namespace-aware SAX parser: elements with
// their namespace URI and attributes, and text. The parser neither builds a tree nor expands
// entities beyond the predefined ones, so a part costs its own size and no more.

#include "platform/formats/workbookreader/WorkbookCells.h"

// The parser may step past the end of a damaged part, into the padding behind it that stops it
// (XmlPadding); the assertions of its headers would end the reader there in debug builds, where
// release builds read on soundly, so they are left out of every build.
#ifndef NDEBUG
#define VELMORA_ORCUS_ASSERTIONS_OFF
#define NDEBUG
#include <assert.h>
#endif
#include <orcus/sax_ns_parser.hpp>
#include <orcus/xml_namespace.hpp>
#ifdef VELMORA_ORCUS_ASSERTIONS_OFF
#undef NDEBUG
#include <assert.h>
#undef VELMORA_ORCUS_ASSERTIONS_OFF
#endif

#include <new>
#include <string>
#include <string_view>
#include <vector>

struct XmlAttribute {
    orcus::xmlns_id_t ns;
    std::string_view name;
    std::string_view value; // valid until the element's start has been handled
};

// Thrown by a handler that has read all it needs: the rest of the part is skipped.
struct XmlDone {
};

inline std::string_view namespaceUri(orcus::xmlns_id_t ns)
{
    return ns && ns != orcus::XMLNS_UNKNOWN_ID ? std::string_view(ns) : std::string_view();
}

// The value of the attribute `name` without a namespace prefix; empty when there is none.
inline std::string_view plainAttribute(const std::vector<XmlAttribute> &attributes, std::string_view name)
{
    for (const XmlAttribute &a : attributes)
        if (a.name == name && namespaceUri(a.ns).empty())
            return a.value;
    return {};
}

// Handler: start(ns, name, attributes), end(ns, name), text(characters) where ns is the
// interned namespace URI (equal URIs give equal pointers within one part).
template <class Handler> class XmlEvents
{
  public:
    explicit XmlEvents(Handler &handler) : m_handler(handler) {}

    void doctype(const orcus::sax::doctype_declaration &) {}
    void start_declaration(std::string_view) {}
    void end_declaration(std::string_view) {}
    void attribute(std::string_view, std::string_view) {}
    void attribute(const orcus::sax_ns_parser_attribute &a)
    {
        m_attributes.push_back({a.ns, a.name, a.value});
    }
    void start_element(const orcus::sax_ns_parser_element &e)
    {
        m_handler.start(e.ns, e.name, m_attributes);
        m_attributes.clear();
    }
    void end_element(const orcus::sax_ns_parser_element &e) { m_handler.end(e.ns, e.name); }
    void characters(std::string_view text, bool) { m_handler.text(text); }

  private:
    Handler &m_handler;
    std::vector<XmlAttribute> m_attributes;
};

// liborcus 0.17's parser can step past the end of a damaged part (an attribute value cut short
// after an entity leaves it one byte beyond, where it no longer sees the end). Behind the part lie
// this many '<', on which every way the parser may go on stops with an error.
constexpr std::size_t XmlPadding = 64;

// Parses one part; a part that is not well-formed XML stops the reading with its name.
template <class Handler> void parseXml(std::string xml, Handler &handler, std::string_view part)
{
    // A part that is not there, or empty, holds nothing.
    if (xml.empty())
        return;
    const auto malformed = [&] {
        stopReading(QStringLiteral("ファイルが壊れています: %1 の XML が正しくありません")
                        .arg(QString::fromUtf8(part.data(), qsizetype(part.size()))));
    };
    // A sound part ends with the '>' of its last tag or comment. One cut short right after an
    // entity in an attribute value makes the parser step past the end where no padding helps (an
    // assertion of liborcus's ends the process), so it is refused before it is parsed.
    const std::size_t last = xml.find_last_not_of(std::string_view(" \t\r\n\0", 5));
    if (last == std::string::npos || xml[last] != '>')
        malformed();
    const std::size_t size = xml.size();
    xml.append(XmlPadding, '<');
    orcus::xmlns_repository repository;
    orcus::xmlns_context context = repository.create_context();
    XmlEvents<Handler> events(handler);
    try {
        orcus::sax_ns_parser<XmlEvents<Handler>> parser(xml.data(), size, context, events);
        parser.parse();
    } catch (const XmlDone &) {
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        malformed();
    }
}

// Knows which namespace a pointer stands for after one look at its URI.
class NamespaceKinds
{
  public:
    // uris[i] gives kind i + 1; any other namespace is kind 0.
    explicit NamespaceKinds(std::initializer_list<std::string_view> uris) : m_uris(uris) {}
    int kind(orcus::xmlns_id_t ns)
    {
        for (const auto &[seen, kind] : m_seen)
            if (seen == ns)
                return kind;
        int kind = 0;
        const std::string_view uri = namespaceUri(ns);
        for (std::size_t i = 0; i < m_uris.size() && kind == 0; ++i)
            if (m_uris[i] == uri)
                kind = int(i) + 1;
        // A part declares few namespaces; a hostile one with many is only slower.
        if (m_seen.size() < 64)
            m_seen.emplace_back(ns, kind);
        return kind;
    }

  private:
    std::vector<std::string_view> m_uris;
    std::vector<std::pair<orcus::xmlns_id_t, int>> m_seen;
};
