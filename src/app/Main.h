#pragma once

#include <QString>
#include <QStringList>

class QApplication;

// The start procedure: splash, main window, event loop.
int Main(int argc, char **argv);

// The command-line text as one path: the arguments joined with single spaces.
QString commandLineText(const QStringList &arguments);

// Japanese texts on Qt's own buttons and dialogs, and the fonts that stand in for the
// Windows font names kept in settings.
void installJapaneseTranslations(QApplication &app);
void registerFontSubstitutes();

// Where F1 help looks for its file.
QString helpFilePath();
