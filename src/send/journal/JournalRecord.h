#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <utility>
#include <vector>

// The line format of a send journal, shared by its writer and its reader. A record is one line:
// fields separated by TAB, then a TAB and the CRC-32 of everything before that TAB (8 lower-case
// hex digits), then LF. Inside a field, backslash, TAB, LF and CR are written \\ \t \n \r, so a
// line break only ever ends a record and a torn or damaged record fails its checksum.
namespace JournalRecord
{
// The first line of every journal is this word, a TAB and the format's version.
inline constexpr QByteArrayView Magic = "velmora-send-journal";
inline constexpr int Version = 1;

quint32 crc32(QByteArrayView bytes);

// Appends a field (escaped), preceded by a TAB unless it is the record's first; a record's first
// field is its kind, never empty.
void addField(QByteArray &out, qsizetype recordStart, QByteArrayView utf8);
void addField(QByteArray &out, qsizetype recordStart, const QString &text);
// Ends the record that begins at out[recordStart]: its checksum and the LF.
void seal(QByteArray &out, qsizetype recordStart);

// The fields of one line (without its LF), unescaped; false when the checksum does not match or
// an escape is not one of the four.
bool open(QByteArrayView line, QList<QByteArray> &fields);

// UTF-8 to text exactly, a leading U+FEFF included.
QString text(const QByteArray &utf8);

// A list of row numbers as one field: runs of consecutive rows as "first-last", separated by
// commas ("1-64", "3,7,9-12").
void appendRows(QByteArray &out, const std::vector<int> &rows);
// The inclusive ranges of such a field, each within 1..rows; false for anything else, and for a
// list that names more than `most` rows (0: no bound).
bool readRows(QByteArrayView field, int rows, qint64 most, std::vector<std::pair<int, int>> &ranges);
} // namespace JournalRecord
