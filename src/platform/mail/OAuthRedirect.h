#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// One request on the sign-in's loopback listener, read from its head (the bytes before the empty
// line). Only an HTTP/1.x GET in origin form ("GET /?code=…&state=… HTTP/1.1") is read at all; the
// query is decoded byte for byte as the browser encoded it, so the code is exchanged as the very
// bytes the provider gave.
struct OAuthRedirect {
    enum class Kind {
        Malformed,  // not such a request, or a parameter given twice: answered 400
        Elsewhere,  // another path, or neither code nor error (an icon the browser asks for): 404
        WrongState, // not the answer this sign-in waits for: 400, and the sign-in waits on
        Refused,    // the provider's error and error_description
        Code,       // the authorization code
    };
    Kind kind = Kind::Malformed;
    QByteArray code;
    QString error;
    QString errorDescription;

    // `state` is the value the authorization request carried.
    static OAuthRedirect parse(QByteArrayView head, QByteArrayView state);
};

// The decoding of a value of a query in application/x-www-form-urlencoded form, as the provider
// builds the redirect: "+" is a space, "%" and two hexadecimal digits is that byte, and any other
// byte (a "%" without two digits after it too) is itself.
QByteArray decodeQueryValue(QByteArrayView text);
