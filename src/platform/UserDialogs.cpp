#include "platform/UserDialogs.h"

#include <QStringList>

QString qtFileFilter(const QString &legacyFilter)
{
    const QStringList parts = legacyFilter.split(u'|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &label = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(u';', u' ');
        // Qt takes the patterns from the parentheses; keep the label as shown and make sure the
        // patterns are there even when the label does not list them.
        out << (label.contains(u'(') ? label : label + QStringLiteral(" (") + patterns + u')');
    }
    return out.join(QStringLiteral(";;"));
}

UserDialogs::Answer enterAnswer(const UserDialogs::Message &message)
{
    using Answer = UserDialogs::Answer;
    using Buttons = UserDialogs::Buttons;
    if (message.defaultButton)
        return *message.defaultButton;
    // A box without a default of its own makes its first affirmative button the default.
    return message.buttons == Buttons::YesNo || message.buttons == Buttons::YesNoCancel ? Answer::Yes
                                                                                        : Answer::Ok;
}
