#pragma once

#include <QString>

#include <memory>

class QSettings;

// Per-user settings: string values under the application "raroZori", one INI group per section.
// Numbers are decimal text, booleans the words True and False. A stored value that does not
// read as its type gives the key's default instead.
class SettingsStore
{
  public:
    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    static constexpr const char *ApplicationName = "raroZori";

    QString getString(const QString &section, const QString &key, const QString &defaultValue) const;
    void setString(const QString &section, const QString &key, const QString &value);
    void remove(const QString &section, const QString &key);

    float getNumber(const QString &section, const QString &key, float defaultValue) const;
    qint16 getInt16(const QString &section, const QString &key, qint16 defaultValue) const;
    bool getBool(const QString &section, const QString &key, bool defaultValue) const;
    void setNumber(const QString &section, const QString &key, double value);
    void setBool(const QString &section, const QString &key, bool value);

    // Writes pending values to disk; also done on destruction.
    void sync();
    QString fileName() const;

    static QString numberText(double value);

  private:
    std::unique_ptr<QSettings> m_settings;
};
