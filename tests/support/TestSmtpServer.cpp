#include "TestSmtpServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const QString Python = QStringLiteral("/usr/bin/python3");
const QString Script = QStringLiteral(VELMORA_MAIL_TEST_SERVER);

bool run(const QString &program, const QStringList &args, const QString &dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " " << args.join(u' ').toStdString() << ": "
                      << p.readAll().toStdString();
        return false;
    }
    return true;
}

} // namespace

TestSmtpServer::TestSmtpServer(const QStringList &options)
    : m_server(QStringLiteral("test SMTP server"),
               QStringList{Script, "serve", "--store", m_store.path()} + options)
{
}

QJsonObject TestSmtpServer::command(const QJsonObject &command)
{
    const QJsonObject answer = m_server.command(command);
    EXPECT_FALSE(answer.contains("error")) << answer.value("error").toString().toStdString();
    return answer;
}

void TestSmtpServer::rule(const QString &stage, const QString &action, const QString &reply,
                          const QString &match, int times, bool store)
{
    command({{"cmd", "rule"},
             {"stage", stage},
             {"action", action},
             {"reply", reply},
             {"match", match},
             {"times", times},
             {"store", store}});
}

QString TestSmtpServer::messagePath(int n) const
{
    return m_store.filePath(QStringLiteral("%1.eml").arg(n, 4, 10, QLatin1Char('0')));
}

QByteArray TestSmtpServer::rawMessage(int n) const
{
    QFile f(messagePath(n));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "no stored message " << n;
    return f.readAll();
}

QJsonObject TestSmtpServer::envelope(int n) const
{
    QFile f(m_store.filePath(QStringLiteral("%1.json").arg(n, 4, 10, QLatin1Char('0'))));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "no stored envelope " << n;
    return QJsonDocument::fromJson(f.readAll()).object();
}

QJsonObject decodeMessage(const QString &path)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(Python, {Script, "decode", path});
    if (!p.waitForFinished(15000) || p.exitCode() != 0) {
        ADD_FAILURE() << "cannot decode " << path.toStdString();
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QStringList headerValues(const QJsonObject &decoded, const QString &name)
{
    QStringList out;
    for (const QJsonValue &h : decoded.value("headers").toArray()) {
        const QJsonArray pair = h.toArray();
        if (pair.at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            out += pair.at(1).toString();
    }
    return out;
}

TestCertificates::TestCertificates()
{
    const QString d = dir.path();
    caFile = dir.filePath("ca.pem");
    certFile = dir.filePath("server.pem");
    keyFile = dir.filePath("server.key");
    QFile ext(dir.filePath("server.ext"));
    if (!ext.open(QIODevice::WriteOnly))
        return;
    ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    const QString openssl = QStringLiteral("openssl");
    ok = run(openssl,
             {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
              "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Velmora Test CA"},
             d) &&
         run(openssl,
             {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
              "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"},
             d) &&
         run(openssl,
             {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
              "-out", "server.pem", "-days", "2", "-extfile", "server.ext"},
             d);
}
