#include "send/journal/JournalRecord.h"

#include <QStringDecoder>

#include <charconv>

#include <zlib.h>

namespace
{

constexpr char Hex[] = "0123456789abcdef";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

namespace JournalRecord
{

quint32 crc32(QByteArrayView bytes)
{
    // zlib's CRC-32 (the same polynomial and conditioning) goes a word at a time: a million-row
    // journal is checked in milliseconds rather than a tenth of a second.
    return quint32(::crc32_z(0L, reinterpret_cast<const Bytef *>(bytes.data()), size_t(bytes.size())));
}

void addField(QByteArray &out, qsizetype recordStart, QByteArrayView utf8)
{
    if (out.size() > recordStart)
        out.append('\t');
    for (const char c : utf8) {
        switch (c) {
        case '\\': out.append("\\\\", 2); break;
        case '\t': out.append("\\t", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        default: out.append(c);
        }
    }
}

void addField(QByteArray &out, qsizetype recordStart, const QString &text)
{
    addField(out, recordStart, QByteArrayView(text.toUtf8()));
}

void seal(QByteArray &out, qsizetype recordStart)
{
    const quint32 crc = crc32(QByteArrayView(out).sliced(recordStart));
    char tail[10];
    tail[0] = '\t';
    for (int i = 0; i < 8; ++i)
        tail[1 + i] = Hex[(crc >> (28 - 4 * i)) & 0xF];
    tail[9] = '\n';
    out.append(tail, sizeof tail);
}

bool open(QByteArrayView line, QList<QByteArray> &fields)
{
    if (line.size() < 9 || line[line.size() - 9] != '\t') {
        fields.clear();
        return false;
    }
    quint32 stored = 0;
    for (const char c : line.last(8)) {
        const int v = hexValue(c);
        if (v < 0) {
            fields.clear();
            return false;
        }
        stored = stored << 4 | quint32(v);
    }
    const QByteArrayView body = line.first(line.size() - 9);
    if (crc32(body) != stored) {
        fields.clear();
        return false;
    }
    // A journal has millions of records: the fields of the previous one are written over, so that
    // a record costs no allocation once its fields have had their room, and the bytes between two
    // escapes go over at once.
    qsizetype count = 0;
    const auto nextField = [&fields, &count]() -> QByteArray & {
        if (count == fields.size())
            fields.emplace_back();
        QByteArray &field = fields[count++];
        field.resize(0);
        return field;
    };
    QByteArray *field = &nextField();
    const char *p = body.data();
    const char *const end = p + body.size();
    for (;;) {
        const char *stop = p;
        while (stop < end && *stop != '\t' && *stop != '\\')
            ++stop;
        field->append(p, stop - p);
        if (stop == end)
            break;
        if (*stop == '\t') {
            field = &nextField();
            p = stop + 1;
            continue;
        }
        if (stop + 1 == end) {
            fields.clear();
            return false;
        }
        switch (stop[1]) {
        case '\\': field->append('\\'); break;
        case 't': field->append('\t'); break;
        case 'n': field->append('\n'); break;
        case 'r': field->append('\r'); break;
        default: fields.clear(); return false;
        }
        p = stop + 2;
    }
    fields.resize(count);
    return true;
}

QString text(const QByteArray &utf8)
{
    if (utf8.isEmpty())
        return QString(); // most reasons: an accepted row has none
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder(utf8);
}

void appendRows(QByteArray &out, const std::vector<int> &rows)
{
    auto number = [&out](int n) {
        char digits[16];
        const auto r = std::to_chars(digits, digits + sizeof digits, n);
        out.append(digits, r.ptr - digits);
    };
    for (size_t i = 0; i < rows.size();) {
        size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1)
            ++j;
        if (i > 0)
            out.append(',');
        number(rows[i]);
        if (j > i) {
            out.append('-');
            number(rows[j]);
        }
        i = j + 1;
    }
}

bool readRows(QByteArrayView field, int rows, qint64 most, std::vector<std::pair<int, int>> &ranges)
{
    ranges.clear();
    auto number = [rows](QByteArrayView text) {
        int n = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        return r.ec == std::errc() && r.ptr == text.data() + text.size() && n >= 1 && n <= rows ? n : 0;
    };
    qint64 named = 0;
    for (qsizetype at = 0; at <= field.size();) {
        qsizetype comma = field.indexOf(',', at);
        if (comma < 0)
            comma = field.size();
        const QByteArrayView range = field.sliced(at, comma - at);
        at = comma + 1;
        const qsizetype dash = range.indexOf('-');
        const int first = number(range.first(dash < 0 ? range.size() : dash));
        const int last = dash < 0 ? first : number(range.sliced(dash + 1));
        if (first == 0 || last < first)
            return false;
        named += qint64(last) - first + 1;
        if (most > 0 && named > most)
            return false;
        ranges.emplace_back(first, last);
    }
    return true;
}

} // namespace JournalRecord
