#pragma once

#include <QByteArray>
#include <QString>

// A port on 127.0.0.1 where nothing listens now: for a test server to take, or for a client that
// must find nobody there.
int freePort();

// Whether something on 127.0.0.1 accepts a connection on `port` now.
bool listening(int port);

// Writes a test server's configuration file whole; false when it cannot.
bool writeFile(const QString &path, const QByteArray &bytes);
