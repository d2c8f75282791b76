#pragma once

// The first sheet of an OpenDocument spreadsheet (.ods).

#include "platform/formats/workbookreader/WorkbookCells.h"

#include <string>

class ZipPackage;

// Reads the first table of content.xml. Repeated cells and rows count as often as they repeat;
// a repetition that carries a value past the edge of a worksheet stops the reading at the limit.
// The styles of styles.xml, when given, serve the cells as those of content.xml do.
void readOdsContent(std::string xml, SheetCells &cells, std::string styles = std::string());

void readOds(ZipPackage &package, SheetCells &cells);
