#pragma once

#include "platform/Failure.h"

#include <QByteArray>
#include <QString>

#include <vector>

// One contact of a vCard file, reduced to what a recipient table needs.
struct VCardContact {
    QString email;        // the first non-empty EMAIL, unescaped
    QString name;         // FN; when a card has none, the family and given names of N
    bool isGroup = false; // a contact group (KIND:group and its older spellings), not a person
    qsizetype line = 0;   // the line of its BEGIN:VCARD, counted from 1
};

// Reads every top-level card of a vCard text (versions 2.1, 3.0 and 4.0). Folded lines are
// unfolded, quoted-printable and base64 values decoded, and each value is decoded with its CHARSET
// parameter or, without one, with the text's own encoding: UTF-8 (with or without a byte-order
// mark, or UTF-16 with one) when the whole text is valid UTF-8 and not rather CP932 half-width
// katakana (validUtf8IsUtf8), CP932 otherwise. A value labelled Shift_JIS that is valid UTF-8 with
// characters of three bytes or more is read as UTF-8. path only names the file in failures.
Result<std::vector<VCardContact>> parseVCards(const QByteArray &bytes, const QString &path);

Result<std::vector<VCardContact>> readVCardFile(const QString &path);

// Bytes in the named character set as text; false when the bytes are not text in that set or the
// set is unknown. Shift_JIS and its aliases are read as CP932, whose vendor characters they use.
bool decodeCharset(const QByteArray &bytes, const QByteArray &charset, QString *out);
