#pragma once

#include "platform/Failure.h"

#include <QByteArray>
#include <QString>

// Writes bytes as the whole content of path. They go to a new file in the same folder first, which
// is renamed over path only once every byte is on disk: a write that fails leaves an existing file
// as it was. A replaced file keeps its permissions, a new one gets 0666 less the umask. A file
// without any write permission is read-only and is not replaced, nor is one this user may not write.
Result<bool> replaceFile(const QString &path, const QByteArray &bytes);
