#pragma once

#include <QFile>
#include <QString>

#include <curl/curl.h>

// Every connection of the mail library checks its peer: the certificate and the host name,
// TLS 1.2 at least, trusted by the system's store or by `caFile` when one is given.
inline void requireVerifiedTls(CURL *c, const QString &caFile)
{
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, QFile::encodeName(caFile).constData());
}

// A session libcurl only opens (connection, greeting, TLS, sign-in), its lines before that handed
// to `onLine`; the commands after it are the caller's.
inline void openOnly(CURL *c, const char *protocols, char *errorBuffer, curl_write_callback onLine,
                     void *data, int connectTimeoutSeconds, int responseTimeoutSeconds)
{
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, data);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, long(connectTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(responseTimeoutSeconds));
}
