#include "windowkit/Form3.h"
#include "platform/SettingsStore.h"
#include "platform/Twips.h"
#include "windowkit/DialogParts.h"
#include "windowkit/LayoutRules.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

TEST(Form3, LayoutGrowsWithTheWindowAndNeverShrinks)
{
    const TextViewerLayout big = textViewerLayout(10000, 5000);
    EXPECT_EQ(big.text1, (TwipsGeometry{120, 120, 9685, 3680}));
    EXPECT_EQ(big.command1, (TwipsGeometry{8110, 4025, 1575, 375}));
    const TextViewerLayout small = textViewerLayout(3000, 1000);
    EXPECT_EQ(small.text1, (TwipsGeometry{120, 120, 8055, 2655}));
    EXPECT_EQ(small.command1, (TwipsGeometry{6480, 3000, 1575, 375}));
    const TextViewerLayout wideOnly = textViewerLayout(9000, 3975);
    EXPECT_EQ(wideOnly.text1.height, 2655);
    EXPECT_EQ(wideOnly.command1.left, 7110);
}

TEST(Form3, PlacementIsStoredAtUnloadAndRestoredAtTheNextLoad)
{
    SettingsStore settings;
    for (const char *k : {"left", "top", "width", "height"})
        settings.remove(QStringLiteral("Form3"), QString::fromLatin1(k));
    QRect outer;
    {
        // No keys yet: the top-left corner at the design size.
        Form3 first(settings, nullptr);
        first.show();
        EXPECT_EQ(first.frameGeometry().topLeft(), QPoint(0, 0));
        EXPECT_EQ(first.frameGeometry().size(), QSize(twipsToPixels(8370), twipsToPixels(3975)));
        first.move(40, 60);
        first.resize(first.width() + 100, first.height() + 50);
        // The text field grows with the window; the button keeps its distance from the corner.
        EXPECT_EQ(first.Text1->width(), twipsToPixels(8055) + 100);
        EXPECT_EQ(first.Text1->height(), twipsToPixels(2655) + 50);
        EXPECT_EQ(first.Command1->pos(), QPoint(twipsToPixels(6480) + 100, twipsToPixels(3000) + 50));
        outer = first.frameGeometry();
    } // closing the window unloads it
    EXPECT_EQ(settings.getString(QStringLiteral("Form3"), QStringLiteral("left"), {}), QStringLiteral("600"));
    EXPECT_EQ(settings.getString(QStringLiteral("Form3"), QStringLiteral("width"), {}),
              QString::number(outer.width() * 15));
    Form3 second(settings, nullptr);
    second.show();
    EXPECT_EQ(second.frameGeometry(), outer);
}

TEST(Form3, ShowTextIsModalAndReturnsOnTheButton)
{
    SettingsStore settings;
    QString seenCaption, seenText;
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        auto *viewer = qobject_cast<Form3 *>(QApplication::activeModalWidget());
        ASSERT_NE(viewer, nullptr);
        wasModal = viewer->isModal();
        seenCaption = viewer->windowTitle();
        seenText = viewer->Text1->toPlainText();
        viewer->Command1->click();
    });
    Form3::showText(settings, nullptr, QStringLiteral("送信エラー"), QStringLiteral("一行目\n二行目"));
    EXPECT_TRUE(wasModal);
    EXPECT_EQ(seenCaption, QStringLiteral("送信エラー"));
    EXPECT_EQ(seenText, QStringLiteral("一行目\n二行目"));
}

// A field captioned by a label is named by the caption as a screen reader should say it.
TEST(DialogParts, CaptionedFieldIsNamedWithoutTheAccessKey)
{
    QWidget window;
    QLineEdit field(&window);
    for (const auto &[caption, name] : {std::pair{"パスワード(&P)", "パスワード"}, std::pair{"宛先", "宛先"},
                                        std::pair{"&File", "File"}, std::pair{"A && B(&X)", "A & B"}}) {
        QLabel *label = windowLabel(&window, "lbl", QString::fromUtf8(caption));
        captionField(label, &field);
        EXPECT_EQ(field.accessibleName(), QString::fromUtf8(name)) << caption;
        EXPECT_EQ(label->buddy(), &field);
    }
}
