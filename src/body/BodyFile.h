#pragma once

#include "platform/Failure.h"

#include <QString>

// The body as a file gives it: decoded like a recipient file (UTF-8 with a mark or valid UTF-8
// with non-ASCII text, else CP932), every line ending in CR LF, the last one included. CR LF, a
// lone LF and a lone CR (old Macintosh files) each end a line. An empty file is an empty body.
Result<QString> readBodyFile(const QString &path);

// The line rule alone, for text already decoded.
QString bodyFromText(QStringView text);

// The text version of an HTML body file: the file of the same name ending in .txt beside it
// ("案内.html" has "案内.txt"); empty when the body file is not HTML or there is no such file.
QString textVersionOf(const QString &bodyPath);
