#pragma once

#include <QString>

#include <optional>

// The whole-number value of a box of the send options dialog: the text read as a number (spaces
// around it allowed, half-width digits, sign, decimal point, exponent), rounded to the nearest
// whole number with halves going to the even neighbour. Empty when the text is no number or the
// value does not fit 16 bits.
std::optional<int> wholeNumberOf(const QString &text);

// The checks of the interval (0 to 60 seconds) and the hours (1 to 24) boxes: the value, or
// empty when the box is refused.
std::optional<int> checkedInterval(const QString &text);
std::optional<int> checkedHours(const QString &text);

// The messages of a refused box, and the text it is reset to.
QString intervalRefusal();
QString hoursRefusal();
