#pragma once

#include <QString>

#include <initializer_list>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QWidget;

// A dialog's push button: its object name for tests, and its caption as the name a screen reader
// reads. A button that is not auto-default leaves Enter to the dialog's default button even while
// it has the focus.
QPushButton *dialogButton(QWidget *dialog, const char *objectName, const QString &caption,
                          bool autoDefault = true);

// The row that closes a dialog: the buttons at its right end, in the order given.
QHBoxLayout *buttonRow(std::initializer_list<QPushButton *> buttons);

// A label of a window, with its object name for tests.
QLabel *windowLabel(QWidget *window, const char *objectName, const QString &caption);

// The field a label captions: the label's access key moves the focus to it, and a screen reader
// reads the caption, without its access key, as the field's name.
void captionField(QLabel *caption, QWidget *field);

// "パスワード(&P)" as a screen reader should say it: "パスワード".
QString withoutAccessKey(const QString &caption);
