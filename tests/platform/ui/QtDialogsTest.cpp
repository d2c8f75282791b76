#include "platform/ui/QtDialogs.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

// The real message box: Enter presses the default button the question names, and without one the
// platform's, as enterAnswer() (which the scripted boxes of the other tests answer by) says.
TEST(QtDialogs, EnterPressesTheDefaultButtonTheQuestionNames)
{
    using Answer = UserDialogs::Answer;
    using Buttons = UserDialogs::Buttons;
    const UserDialogs::Message cases[] = {
        {QStringLiteral("送り直しますか？"), QString(), UserDialogs::Icon::Warning, Buttons::YesNo,
         Answer::No},
        {QStringLiteral("中止しますか？"), QString(), UserDialogs::Icon::Warning, Buttons::YesNo},
        {QStringLiteral("続きから？"), QString(), UserDialogs::Icon::Question, Buttons::YesNoCancel,
         Answer::Cancel},
        {QStringLiteral("終了しますか？"), QString(), UserDialogs::Icon::Question, Buttons::OkCancel},
    };
    QtDialogs dialogs;
    for (const UserDialogs::Message &m : cases) {
        QTimer enter;
        enter.setInterval(10);
        QObject::connect(&enter, &QTimer::timeout, [] {
            if (QWidget *box = QApplication::activeModalWidget())
                QTest::keyClick(box, Qt::Key_Return);
        });
        enter.start();
        EXPECT_EQ(int(dialogs.messageBox(nullptr, m)), int(enterAnswer(m))) << m.text.toStdString();
    }
    EXPECT_EQ(int(enterAnswer(cases[0])), int(Answer::No));
    EXPECT_EQ(int(enterAnswer(cases[1])), int(Answer::Yes));
    EXPECT_EQ(int(enterAnswer(cases[3])), int(Answer::Ok));
}
