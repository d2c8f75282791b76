#pragma once

#include <QString>

// Whether a failed row says something about that row alone (its address, its subject, the
// server's refusal of that one mail) or about the server or the run as a whole (no connection,
// name not found, TLS or certificate refused, authentication refused, the session cut, the
// sender refused, an unreadable attachment). The latter would fail every later row as well,
// each after its own time-out, so the run asks the operator whether to go on.
enum class SendFailureScope { Row, Server };

// Classifies a non-empty text returned by SendMail.
SendFailureScope sendFailureScope(const QString &sendMailResult);

// The question shown after a failure of scope Server.
QString serverFailureQuestion(int row, const QString &address, const QString &reason);

// The reason as one line of the error list: line breaks become spaces.
QString oneLine(const QString &reason);
