#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

// A Python test server on 127.0.0.1: it reports its port in a first JSON line, then answers one
// JSON command per line. At the end it is asked to quit, and killed by its own pid if it does not.
class ScriptServer
{
  public:
    ScriptServer(const QString &name, const QStringList &arguments) : m_name(name)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"), arguments);
        if (!m_process.waitForStarted(10000)) {
            ADD_FAILURE() << "cannot start the " << m_name.toStdString();
            return;
        }
        m_port = readLine(15000).value("port").toInt();
        if (m_port <= 0)
            ADD_FAILURE() << "the " << m_name.toStdString() << " did not report its port";
    }

    ~ScriptServer()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("{\"cmd\": \"quit\"}\n");
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill(); // SIGKILL to this child's own pid
            m_process.waitForFinished(3000);
        }
    }

    ScriptServer(const ScriptServer &) = delete;
    ScriptServer &operator=(const ScriptServer &) = delete;

    int port() const { return m_port; }

    QJsonObject command(const QJsonObject &command)
    {
        m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
        m_process.waitForBytesWritten(5000);
        const QJsonObject answer = readLine(10000);
        EXPECT_FALSE(answer.isEmpty()) << "no answer from the " << m_name.toStdString();
        return answer;
    }

  private:
    QJsonObject readLine(int timeoutMs)
    {
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(timeoutMs))
                return {};
        }
        return QJsonDocument::fromJson(m_process.readLine()).object();
    }

    QString m_name;
    QProcess m_process;
    int m_port = 0;
};
