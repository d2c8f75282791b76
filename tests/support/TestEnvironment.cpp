#include "TestEnvironment.h"
#include "XlsWorkbook.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdlib>

void setUpTestEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    qputenv("HOME", QFile::encodeName(config.path()));
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
