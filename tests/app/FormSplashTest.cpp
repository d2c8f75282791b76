#include "app/FormSplash.h"
#include "app/Main.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace
{

void pressKey(QWidget *w, Qt::Key key, const QString &text)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(w, &press);
}

void click(QWidget *w)
{
    const QPointF at(5, 5);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
    QCoreApplication::sendEvent(w, &release);
}

} // namespace

TEST(FormSplash, ClosesOnACharacterKeyButNotOnOtherKeysOrTheLabel)
{
    FormSplash splash;
    EXPECT_EQ(splash.Image1->pixmap().size(), QSize(454, 313));
    EXPECT_EQ(splash.Label1->text(), QStringLiteral("Velmora Ver.1.7"));
    EXPECT_EQ(splash.Timer1->interval(), 3000);
    EXPECT_TRUE(splash.Timer1->isActive());
    splash.show();
    pressKey(&splash, Qt::Key_Shift, QString());
    click(splash.Label1);
    EXPECT_TRUE(splash.isVisible());
    pressKey(&splash, Qt::Key_X, QStringLiteral("x"));
    EXPECT_FALSE(splash.isVisible());
    EXPECT_EQ(splash.result(), QDialog::Accepted);
}

TEST(FormSplash, ClosesOnAClickOnThePictureAndWhenTheTimerRunsOut)
{
    {
        FormSplash splash;
        splash.show();
        click(splash.Image1);
        EXPECT_FALSE(splash.isVisible());
    }
    FormSplash splash;
    splash.Timer1->start(20);
    QTimer::singleShot(3000, &splash, &QDialog::reject); // a safety net, never the expected way out
    EXPECT_EQ(splash.exec(), QDialog::Accepted);
}

TEST(Main, CommandLineIsTheArgumentsJoinedWithSingleSpaces)
{
    EXPECT_EQ(commandLineText({"velmora", "/tmp/my", "list.csv"}), QStringLiteral("/tmp/my list.csv"));
    EXPECT_EQ(commandLineText({"velmora", "\"a.csv\""}), QStringLiteral("\"a.csv\""));
    EXPECT_EQ(commandLineText({"velmora"}), QString());
}
