#include "platform/SettingsStore.h"

#include "platform/Text.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>

#include <algorithm>
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

namespace
{
QString sectionOf(const SettingKey &key)
{
    return QString::fromLatin1(key.section);
}
QString nameOf(const SettingKey &key)
{
    return QString::fromLatin1(key.name);
}
} // namespace

QString SettingsStore::text(const SettingKey &key) const
{
    const QString stored = getString(sectionOf(key), nameOf(key), QString::fromUtf8(key.defaultText));
    return key.kind == SettingKey::Kind::TrimmedText ? trimSpaces(stored) : stored;
}

double SettingsStore::number(const SettingKey &key) const
{
    using Kind = SettingKey::Kind;
    const QString section = sectionOf(key), name = nameOf(key);
    const auto within = [&key](double v) { return v >= key.least && v <= key.most; };
    switch (key.kind) {
    case Kind::Number: {
        const double v = getNumber(section, name, float(key.defaultNumber));
        return within(v) ? v : key.defaultNumber;
    }
    case Kind::Coordinate:
        return std::clamp(double(getNumber(section, name, float(key.defaultNumber))), key.least, key.most);
    case Kind::RoundedWhole: {
        const double v = getInt16(section, name, qint16(key.defaultNumber));
        return within(v) ? v : key.defaultNumber;
    }
    case Kind::Count: return countOf(getString(section, name, QString())).value_or(int(key.defaultNumber));
    case Kind::Bool: return flag(key) ? 1 : 0;
    case Kind::Text:
    case Kind::TrimmedText: break;
    }
    return key.defaultNumber;
}

bool SettingsStore::flag(const SettingKey &key) const
{
    return getBool(sectionOf(key), nameOf(key), key.defaultNumber != 0);
}

void SettingsStore::setText(const SettingKey &key, const QString &value)
{
    setString(sectionOf(key), nameOf(key), value);
}

void SettingsStore::setNumber(const SettingKey &key, double value)
{
    // Plain digits for a count: the number text would turn 12345678 into 1.234568e+07.
    if (key.kind == SettingKey::Kind::Count)
        setString(sectionOf(key), nameOf(key), QString::number(qint64(value)));
    else
        setNumber(sectionOf(key), nameOf(key), value);
}

void SettingsStore::setFlag(const SettingKey &key, bool value)
{
    setBool(sectionOf(key), nameOf(key), value);
}

void SettingsStore::remove(const SettingKey &key)
{
    remove(sectionOf(key), nameOf(key));
}

std::optional<int> SettingsStore::countOf(const QString &text)
{
    const QString t = trimSpaces(text);
    if (t.isEmpty())
        return 0;
    bool ok = false;
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    const double v = c.toDouble(t, &ok);
    if (!ok || !std::isfinite(v) || v < 0 || v != std::floor(v) || v > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(v);
}
