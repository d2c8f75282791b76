#pragma once

#include <QString>

// The question shown after a failure about the server rather than the row: go on or stop.
QString serverFailureQuestion(int row, const QString &address, const QString &reason);

// The reason as one line of the error list: line breaks become spaces.
QString oneLine(const QString &reason);
