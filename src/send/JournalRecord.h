#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

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
} // namespace JournalRecord
