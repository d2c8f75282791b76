#pragma once

#include "FreePort.h"
#include "ScriptServer.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The scriptable SMTP server of smtp_test_server.py, on 127.0.0.1 and a free port, for the life of
// this object. It stores every accepted message; rules make it refuse, drop or stall.
class TestSmtpServer
{
  public:
    explicit TestSmtpServer(const QStringList &options = {});

    bool running() const { return m_server.port() > 0; }
    int port() const { return m_server.port(); }
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(port()); }

    QJsonObject command(const QJsonObject &command);
    // stage, action and reply as the script documents them; times -1 means every time.
    void rule(const QString &stage, const QString &action, const QString &reply = {},
              const QString &match = {}, int times = 1, bool store = false);
    void reset() { command({{"cmd", "reset"}}); }
    void closeConnections() { command({{"cmd", "close_all"}}); }
    QJsonObject stats() { return command({{"cmd", "stats"}}); }
    int connections() { return stats().value("connections").toInt(); }
    int messages() { return stats().value("messages").toInt(); }

    // Message n (1-based) as stored, and its envelope.
    QString messagePath(int n) const;
    QByteArray rawMessage(int n) const;
    QJsonObject envelope(int n) const;

  private:
    QTemporaryDir m_store;
    ScriptServer m_server;
};

// What a mail reader makes of an RFC 5322 file, decoded by Python's email package.
QJsonObject decodeMessage(const QString &path);

// The decoded header values named `name` (case-insensitive), in order.
QStringList headerValues(const QJsonObject &decoded, const QString &name);

// A test CA and a server certificate for 127.0.0.1 signed by it, made with openssl.
struct TestCertificates {
    QTemporaryDir dir;
    QString caFile, certFile, keyFile;
    bool ok = false;
    TestCertificates();
};
