#pragma once

#include <QString>

#include <optional>

// The password ~/.netrc holds for `user` at `host`, read as libcurl reads the file: tokens
// separated by white space (quoted tokens may hold spaces and \" \\ \n \t escapes), entries
// "machine NAME" or "default" followed by "login", "password", "account" and "macdef" (whose text
// runs to the next empty line). The first entry for the host, or "default", whose login is `user`
// gives its password; nothing when the file is missing or has none.
std::optional<QString> netrcPassword(const QString &netrcPath, const QString &host, const QString &user);

// ~/.netrc of $HOME, where libcurl looks.
QString netrcPath();
