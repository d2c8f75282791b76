#include "platform/SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cmath>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The settings name the mail server and its user: the file is readable by its owner only, and so
// is a folder made for it.
void makePrivateFolder(const QString &folder)
{
    if (folder.isEmpty() || QFileInfo::exists(folder))
        return;
    const QString parent = QFileInfo(folder).path();
    if (parent != folder)
        makePrivateFolder(parent);
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
}

// Made empty when missing, so that the settings are written into a file that is already private
// (the atomic rewrite keeps the mode of the file it replaces); an existing file loses the
// group's and others' permissions.
void makePrivateFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0)
        ::close(fd);
    struct stat st {
    };
    if (::stat(native.constData(), &st) == 0 && (st.st_mode & 077) != 0)
        ::chmod(native.constData(), st.st_mode & 07700);
}

} // namespace

SettingsStore::SettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                             QString::fromLatin1(ApplicationName)))
{
}

SettingsStore::~SettingsStore()
{
    sync();
}

static QString fullKey(const QString &section, const QString &key)
{
    return section + u'/' + key;
}

QString SettingsStore::getString(const QString &section, const QString &key,
                                 const QString &defaultValue) const
{
    const QVariant v = m_settings->value(fullKey(section, key));
    return v.isValid() ? v.toString() : defaultValue;
}

void SettingsStore::setString(const QString &section, const QString &key, const QString &value)
{
    m_settings->setValue(fullKey(section, key), value);
}

void SettingsStore::remove(const QString &section, const QString &key)
{
    m_settings->remove(fullKey(section, key));
}

float SettingsStore::getNumber(const QString &section, const QString &key, float defaultValue) const
{
    bool ok = false;
    const double v = getString(section, key, QString()).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max())
        return defaultValue;
    return static_cast<float>(v);
}

qint16 SettingsStore::getInt16(const QString &section, const QString &key, qint16 defaultValue) const
{
    bool ok = false;
    const double v = getString(section, key, QString()).trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return defaultValue;
    const double r = std::nearbyint(v);
    if (r < std::numeric_limits<qint16>::min() || r > std::numeric_limits<qint16>::max())
        return defaultValue;
    return static_cast<qint16>(r);
}

bool SettingsStore::getBool(const QString &section, const QString &key, bool defaultValue) const
{
    const QString v = getString(section, key, QString()).trimmed();
    if (v.compare(u"True", Qt::CaseInsensitive) == 0)
        return true;
    if (v.compare(u"False", Qt::CaseInsensitive) == 0)
        return false;
    return defaultValue;
}

void SettingsStore::setNumber(const QString &section, const QString &key, double value)
{
    setString(section, key, numberText(value));
}

void SettingsStore::setBool(const QString &section, const QString &key, bool value)
{
    setString(section, key, value ? QStringLiteral("True") : QStringLiteral("False"));
}

void SettingsStore::sync()
{
    const QString file = fileName();
    makePrivateFolder(QFileInfo(file).path());
    makePrivateFile(file);
    m_settings->sync();
    makePrivateFile(file);
}

QString SettingsStore::fileName() const
{
    return m_settings->fileName();
}

QString SettingsStore::numberText(double value)
{
    // Single-precision values as plain decimal text: 7350, 10.5, -120.
    return QString::number(static_cast<float>(value), 'g', 7);
}
