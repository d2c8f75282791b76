#pragma once

#include "platform/SettingsKeys.h"

#include <QString>

#include <memory>
#include <optional>

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

    // A key of the table (SettingsKeys.h), read as its kind says: a stored text that does not keep
    // the key's rule reads as its default.
    QString text(const SettingKey &key) const;
    double number(const SettingKey &key) const;
    bool flag(const SettingKey &key) const;
    // Written as its kind says: a Count in plain digits, other numbers as numberText(). A text is
    // written as given, whatever the kind.
    void setText(const SettingKey &key, const QString &value);
    void setNumber(const SettingKey &key, double value);
    void setFlag(const SettingKey &key, bool value);
    void remove(const SettingKey &key);

    // A count as typed or stored: a whole number from 0 in plain digits (C locale, no group
    // separators), empty for 0; nothing for any other text.
    static std::optional<int> countOf(const QString &text);

    // Writes pending values to disk; also done on destruction.
    void sync();
    QString fileName() const;

    static QString numberText(double value);

  private:
    std::unique_ptr<QSettings> m_settings;
};
