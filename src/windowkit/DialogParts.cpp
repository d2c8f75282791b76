#include "windowkit/DialogParts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

QPushButton *dialogButton(QWidget *dialog, const char *objectName, const QString &caption, bool autoDefault)
{
    auto *button = new QPushButton(caption, dialog);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(caption);
    if (!autoDefault)
        button->setAutoDefault(false);
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

QLabel *windowLabel(QWidget *window, const char *objectName, const QString &caption)
{
    auto *label = new QLabel(caption, window);
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}

void captionField(QLabel *caption, QWidget *field)
{
    field->setAccessibleName(withoutAccessKey(caption->text()));
    caption->setBuddy(field);
}

QString withoutAccessKey(const QString &caption)
{
    QString text = caption;
    // A Japanese caption carries its key in brackets, at the end ("検索(&F)") or before the
    // caption's explanation ("自分にBCC(&B)：…").
    for (qsizetype at = text.indexOf(QStringLiteral("(&")); at >= 0; at = text.indexOf(QStringLiteral("(&"), at + 1))
        if (at + 3 < text.size() && text.at(at + 2) != u'&' && text.at(at + 3) == u')') {
            text.remove(at, 4);
            break;
        }
    QString name;
    name.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        // "&&" is a literal ampersand; a single one marks the key.
        if (text.at(i) == u'&' && ++i >= text.size())
            break;
        name += text.at(i);
    }
    return name;
}
