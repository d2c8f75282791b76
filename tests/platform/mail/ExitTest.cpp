#include "MailTestSupport.h"

#include <QProcess>
#include <QThread>

namespace
{

// The session kept for the next mail is ended with QUIT when the program ends, also over TLS,
// where the TLS library's own exit handlers run as well.
TEST(ProcessExit, KeptSessionIsEndedWhenTheProgramEnds)
{
    TestCertificates certificates;
    ASSERT_TRUE(certificates.ok);
    for (const bool tls : {false, true}) {
        TestSmtpServer server(tls ? QStringList{"--smtps", certificates.certFile, certificates.keyFile}
                                  : QStringList{});
        ASSERT_TRUE(server.running());
        QProcess probe;
        probe.setProcessChannelMode(QProcess::ForwardedChannels);
        probe.start(
            QStringLiteral(VELMORA_MAIL_EXIT_PROBE),
            tls ? QStringList{QStringLiteral("smtps://127.0.0.1:%1").arg(server.port()), certificates.caFile}
                : QStringList{server.hostPort()});
        ASSERT_TRUE(probe.waitForFinished(20000));
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit) << (tls ? "TLS" : "plain");
        EXPECT_EQ(probe.exitCode(), 0) << (tls ? "TLS" : "plain");
        EXPECT_EQ(server.messages(), 1);
        QJsonObject stats = server.stats();
        for (int i = 0; i < 50 && stats.value("open").toInt() > 0; ++i) {
            QThread::msleep(20);
            stats = server.stats();
        }
        EXPECT_EQ(stats.value("quits").toInt(), 1) << (tls ? "TLS" : "plain");
        EXPECT_EQ(stats.value("open").toInt(), 0);
    }
}

} // namespace
