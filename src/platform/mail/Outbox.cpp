#include "platform/mail/Outbox.h"

#include <QDir>
#include <QFile>

namespace
{

qint64 numberOf(const QString &fileName)
{
    if (!fileName.endsWith(QLatin1String(".eml")) || fileName.size() <= 4)
        return 0;
    bool ok = false;
    const qint64 n = QStringView(fileName).chopped(4).toLongLong(&ok);
    return ok && n > 0 && fileName.front().isDigit() ? n : 0;
}

} // namespace

Outbox::Outbox(const QString &folder) : m_folder(folder)
{
}

QString Outbox::write(const QByteArray &message)
{
    QDir dir(m_folder);
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        return QStringLiteral("保存先フォルダー「%1」を作成できません。")
            .arg(QDir::toNativeSeparators(m_folder));
    }
    if (m_next == 0) {
        m_next = 1;
        const QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files | QDir::Hidden);
        for (const QString &name : names)
            m_next = std::max(m_next, numberOf(name) + 1);
    }
    // NewOnly refuses a name that another program created meanwhile; then the next number is tried.
    for (int tries = 0; tries < 1000; ++tries, ++m_next) {
        const QString path = dir.filePath(QStringLiteral("%1.eml").arg(m_next, 6, 10, QLatin1Char('0')));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (QFile::exists(path))
                continue;
            return QStringLiteral("メールを「%1」に保存できません（%2）。")
                .arg(QDir::toNativeSeparators(path), file.errorString());
        }
        if (file.write(message) != message.size() || !file.flush()) {
            const QString reason = file.errorString();
            file.close();
            file.remove();
            return QStringLiteral("メールを「%1」に保存できません（%2）。")
                .arg(QDir::toNativeSeparators(path), reason);
        }
        file.close();
        ++m_next;
        return {};
    }
    return QStringLiteral("保存先フォルダー「%1」に新しいファイルを作成できません。")
        .arg(QDir::toNativeSeparators(m_folder));
}
