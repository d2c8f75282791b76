#include "TestEnvironment.h"
#include "platform/formats/XlsWorkbook.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>
#include <memory>

namespace
{

void useHome(const QString &home)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    qputenv("HOME", QFile::encodeName(home));
    // QSettings reads XDG_CONFIG_HOME once per process; its folder is moved by hand.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home);
    // Journals, limits records and the address book follow HOME unless a test says otherwise.
    qunsetenv("XDG_STATE_HOME");
    qunsetenv("XDG_DATA_HOME");
}

// Every test starts with a home of its own: no settings file, journal or limits record that an
// earlier test left behind, whatever order the tests run in.
class FreshHomeForEachTest : public ::testing::EmptyTestEventListener
{
  public:
    explicit FreshHomeForEachTest(QString suiteHome) : m_suiteHome(std::move(suiteHome)) {}

    void OnTestStart(const ::testing::TestInfo &) override
    {
        m_home = std::make_unique<QTemporaryDir>();
        useHome(m_home->path());
    }
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        useHome(m_suiteHome);
        m_home.reset();
    }

  private:
    QString m_suiteHome;
    std::unique_ptr<QTemporaryDir> m_home;
};

} // namespace

void setUpTestEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Outside a test (a suite's set-up) the home is one shared temporary folder.
    static QTemporaryDir home;
    useHome(home.path());
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshHomeForEachTest(home.path()));
    XlsWorkbook::setReaderProgram(QStringLiteral(VELMORA_WORKBOOK_READER_BUILD_PATH));
}

QString testDataPath(const QString &name)
{
    return QStringLiteral(VELMORA_TEST_DATA) + u'/' + name;
}

QString workbookFixture(const QString &name)
{
    static QTemporaryDir folder;
    const QString path = folder.filePath(name);
    if (!QFile::exists(path)) {
        QProcess script;
        script.start(QStringLiteral("/usr/bin/python3"),
                     {testDataPath(QStringLiteral("make_workbooks.py")), folder.path(), name});
        const bool made = script.waitForFinished(120000) && script.exitStatus() == QProcess::NormalExit &&
                          script.exitCode() == 0;
        EXPECT_TRUE(made) << name.toStdString() << ": " << script.readAllStandardError().toStdString();
    }
    return path;
}

QString ScratchDir::write(const QString &name, const QByteArray &bytes) const
{
    const QString p = path(name);
    QFile f(p);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << p.toStdString();
    f.write(bytes);
    return p;
}

QByteArray toCp932(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    iconv_t cd = iconv_open("CP932", "UTF-8");
    QByteArray out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.constData());
    size_t inLeft = size_t(utf8.size()), outLeft = size_t(out.size());
    char *o = out.data();
    const size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, size_t(-1)) << "text not representable in CP932";
    out.resize(o - out.constData());
    return out;
}
