#pragma once

#include <QString>

#include <initializer_list>

class QHBoxLayout;
class QPushButton;
class QWidget;

// A dialog's push button: its object name for tests, and its caption as the name a screen reader
// reads.
QPushButton *dialogButton(QWidget *dialog, const char *objectName, const QString &caption);

// The row that closes a dialog: the buttons at its right end, in the order given.
QHBoxLayout *buttonRow(std::initializer_list<QPushButton *> buttons);
