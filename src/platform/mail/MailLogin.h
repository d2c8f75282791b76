#pragma once

#include "platform/mail/OAuthClient.h"

#include <QString>

#include <memory>

// What a session signs in with beyond its server text: a password the operator typed or the
// keyring kept (it replaces the server text's own), or the access tokens of an OAuth 2.0 server.
struct MailLogin {
    QString password;
    std::shared_ptr<OAuthTokenSource> oauth;
};
