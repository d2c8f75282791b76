#pragma once

#include <QByteArray>
#include <QString>

// A folder that takes the messages instead of a mail server: each message becomes the next
// numbered file "000001.eml", "000002.eml", … and no existing file is ever replaced.
class Outbox
{
  public:
    explicit Outbox(const QString &folder);

    // Empty on success; otherwise a text for the operator.
    QString write(const QByteArray &message);

    const QString &folder() const { return m_folder; }

  private:
    QString m_folder;
    qint64 m_next = 0; // 0: not yet looked at the folder
};
