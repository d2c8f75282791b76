#pragma once

#include "recipients/RecipientTable.h"

#include <QStringView>

// Whether the main window's merge check has something to show: recipients are loaded (the address
// column has a name, or there are at least two data rows) and the body is longer than one character.
bool mergeCheckReady(const RecipientTable &table, QStringView body);
