#include "app/Main.h"

#include "app/Form1.h"
#include "app/FormSplash.h"
#include "platform/KeychainSecretStore.h"
#include "platform/SettingsStore.h"
#include "platform/ui/QtDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

QString commandLineText(const QStringList &arguments)
{
    return arguments.mid(1).join(u' ');
}

void installJapaneseTranslations(QApplication &app)
{
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *qtbase = new QTranslator(&app);
    if (qtbase->load(QStringLiteral("qtbase_ja"), dir))
        QApplication::installTranslator(qtbase);
}

void registerFontSubstitutes()
{
    const QStringList gothic{QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP"),
                             QStringLiteral("Noto Sans CJK JP")};
    const QStringList pgothic{QStringLiteral("IPAPGothic"), QStringLiteral("Noto Sans CJK JP")};
    QFont::insertSubstitutions(QStringLiteral("ＭＳ ゴシック"), gothic);
    QFont::insertSubstitutions(QStringLiteral("MS Gothic"), gothic);
    QFont::insertSubstitutions(QStringLiteral("ＭＳ Ｐゴシック"), pgothic);
    QFont::insertSubstitutions(QStringLiteral("MS PGothic"), pgothic);
    QFont::insertSubstitutions(QStringLiteral("Arial Narrow"), {QStringLiteral("Liberation Sans Narrow")});
}

QString helpFilePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("help/rarozori.chm"));
}

int Main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/velmora/velmora.svg")));
    QGuiApplication::setDesktopFileName(QStringLiteral("velmora"));
    installJapaneseTranslations(app);
    registerFontSubstitutes();
    QApplication::setFont(QFont(QStringLiteral("IPAPGothic"), 9));
    app.setProperty("helpFile", helpFilePath());

    const QString strCommandLine = commandLineText(QCoreApplication::arguments());

    {
        FormSplash splash;
        splash.exec();
    }

    SettingsStore settings;
    QtDialogs dialogs;
    KeychainSecretStore keyring;
    Form1 form(settings, dialogs, keyring, strCommandLine);
    form.show();
    form.repaint();
    return app.exec();
}
