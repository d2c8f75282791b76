#include "TestEnvironment.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace
{

// A daemon this test starts and stops by its process id.
struct Daemon {
    QProcess process;
    ~Daemon() { stop(); }
    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(3000)) {
                process.kill();
                process.waitForFinished(3000);
            }
        }
    }
};

// A private D-Bus session bus that starts no service by itself, and, when asked, the Secret Service
// of gnome-keyring on it with an unlocked or a locked login keyring, in a home of their own.
class Desktop
{
  public:
    Desktop()
    {
        QFile conf(m_dir.path("bus.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return;
        conf.write(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
            "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>session</"
            "type>"
            "<listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
            "</policy></busconfig>\n");
        conf.close();
        m_bus.process.start("dbus-daemon",
                            {"--config-file=" + conf.fileName(), "--nofork", "--print-address=1"});
        if (!m_bus.process.waitForReadyRead(10000))
            return;
        m_address = QString::fromUtf8(m_bus.process.readLine()).trimmed();
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("DBUS_SESSION_BUS_ADDRESS", m_address);
        m_env.insert("HOME", m_dir.root());
        m_env.insert("XDG_DATA_HOME", m_dir.path("data"));
        m_env.insert("XDG_RUNTIME_DIR", m_dir.root());
        m_env.remove("DISPLAY");
    }
    bool ready() const { return !m_address.isEmpty(); }
    void stopKeyring() { m_keyring.stop(); }

    // gnome-keyring's Secret Service; `unlocked` feeds it the login keyring's password.
    bool startKeyring(bool unlocked)
    {
        QProcess &p = m_keyring.process;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setProcessEnvironment(m_env);
        QStringList args{"--foreground", "--components=secrets"};
        if (unlocked)
            args << "--unlock";
        p.start("gnome-keyring-daemon", args);
        if (!p.waitForStarted(10000))
            return false;
        // The password of the login keyring on standard input, up to its end.
        if (unlocked) {
            p.write("test-login-password");
            p.waitForBytesWritten(5000);
        }
        p.closeWriteChannel();
        // The service is up once it answers: a probe that finds a keyring.
        for (int i = 0; i < 100; ++i) {
            if (probe({"available"}).value("available").toBool())
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    QJsonObject probe(const QStringList &args, bool noBus = false) const
    {
        QProcess p;
        QProcessEnvironment env = m_env;
        if (noBus)
            env.remove("DBUS_SESSION_BUS_ADDRESS");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VELMORA_KEYCHAIN_PROBE), args);
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "the keyring probe did not end";
            return {};
        }
        return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }

  private:
    ScratchDir m_dir;
    Daemon m_bus;
    Daemon m_keyring;
    QString m_address;
    QProcessEnvironment m_env;
};

const QString Key = QStringLiteral("smtps://taro@mail.example.jp:465");

TEST(Keychain, ASecretOutlivesTheProcessInAWorkingKeyring)
{
    Desktop desktop;
    ASSERT_TRUE(desktop.ready());
    ASSERT_TRUE(desktop.startKeyring(true));
    EXPECT_EQ(desktop.probe({"read", Key}).value("status").toString(), "notfound");
    EXPECT_EQ(desktop.probe({"write", Key, "himitsu 秘密"}).value("failure").toString(), "");
    const QJsonObject read = desktop.probe({"read", Key});
    EXPECT_EQ(read.value("status").toString(), "found");
    EXPECT_EQ(read.value("secret").toString(), "himitsu 秘密");
    EXPECT_EQ(desktop.probe({"remove", Key}).value("failure").toString(), "");
    EXPECT_EQ(desktop.probe({"read", Key}).value("status").toString(), "notfound");
}

// No session bus, or a bus without a keyring: "unavailable", so the password lasts until exit.
// A login keyring that is locked with nobody to unlock it refuses, with its own message.
TEST(Keychain, AMissingOrLockedKeyringIsToldApart)
{
    Desktop desktop;
    ASSERT_TRUE(desktop.ready());
    EXPECT_EQ(desktop.probe({"read", Key}, true).value("status").toString(), "unavailable");
    EXPECT_EQ(desktop.probe({"read", Key}).value("status").toString(), "unavailable");
    EXPECT_FALSE(desktop.probe({"available"}).value("available").toBool());
    const QString absent = desktop.probe({"write", Key, "x"}).value("failure").toString();
    EXPECT_TRUE(absent.contains(QStringLiteral("この起動中だけ"))) << absent.toStdString();

    ASSERT_TRUE(desktop.startKeyring(true));
    EXPECT_EQ(desktop.probe({"write", Key, "himitsu"}).value("failure").toString(), "");
    desktop.stopKeyring();
    ASSERT_TRUE(desktop.startKeyring(false));
    const QString refused = desktop.probe({"write", Key, "x"}).value("failure").toString();
    EXPECT_TRUE(refused.contains(QStringLiteral("拒否しました"))) << refused.toStdString();
}

} // namespace
