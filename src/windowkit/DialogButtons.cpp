#include "DialogButtons.h"

#include <QHBoxLayout>
#include <QPushButton>

QPushButton *dialogButton(QWidget *dialog, const char *objectName, const QString &caption)
{
    auto *button = new QPushButton(caption, dialog);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(caption);
    return button;
}

QHBoxLayout *buttonRow(std::initializer_list<QPushButton *> buttons)
{
    auto *row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton *button : buttons)
        row->addWidget(button);
    return row;
}
