#pragma once

#include "platform/UserDialogs.h"

#include <QList>

#include <optional>

#include <gtest/gtest.h>

// A scripted answer to a box: a button, or PressEnter, which answers what the box's default button
// is (as a real box does when the operator presses Enter).
using ScriptedAnswer = std::optional<UserDialogs::Answer>;
inline constexpr ScriptedAnswer PressEnter = std::nullopt;

// Answers message boxes and file dialogs from a script. A box the script did not expect, or an
// expected one that never came, fails the test.
class ScriptedDialogs : public UserDialogs
{
  public:
    struct ExpectedBox {
        Message message;
        ScriptedAnswer answer;
    };

    ~ScriptedDialogs() override { verifyDone(); }

    void expectBox(const QString &text, const QString &title, Icon icon, Buttons buttons,
                   ScriptedAnswer answer)
    {
        m_boxes.append({{text, title, icon, buttons}, answer});
    }
    void expectOpenFile(const QString &expectedFilter, const QString &answer)
    {
        m_files.append({expectedFilter, answer});
    }
    void expectSaveFile(const QString &expectedFilter, const QString &answer)
    {
        m_saves.append({expectedFilter, answer});
    }
    // The font dialog shows `expected`; the operator picks `answer`, or cancels when it is empty.
    void expectFont(const FontChoice &expected, const std::optional<FontChoice> &answer)
    {
        m_fonts.append({expected, answer});
    }
    void verifyDone()
    {
        if (!m_fonts.isEmpty())
            ADD_FAILURE() << "expected font dialog never shown";
        m_fonts.clear();
        for (const auto &f : m_saves)
            ADD_FAILURE() << "expected save dialog never shown: " << f.second.toStdString();
        m_saves.clear();
        for (const ExpectedBox &b : m_boxes)
            ADD_FAILURE() << "expected message box never shown: " << b.message.text.toStdString();
        for (const auto &f : m_files)
            ADD_FAILURE() << "expected file dialog never shown: " << f.second.toStdString();
        m_boxes.clear();
        m_files.clear();
    }
    QList<Message> shown;

    Answer messageBox(QWidget *, const Message &message) override
    {
        shown.append(message);
        if (m_boxes.isEmpty()) {
            ADD_FAILURE() << "unexpected message box: [" << message.title.toStdString() << "] "
                          << message.text.toStdString();
            return message.buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
        }
        const ExpectedBox e = m_boxes.takeFirst();
        // An expected box without a text takes any: the test reads what it said from `shown`.
        if (!e.message.text.isEmpty()) {
            EXPECT_EQ(message.text, e.message.text);
        }
        EXPECT_EQ(message.title, e.message.title);
        EXPECT_EQ(int(message.icon), int(e.message.icon)) << message.text.toStdString();
        EXPECT_EQ(int(message.buttons), int(e.message.buttons)) << message.text.toStdString();
        return e.answer ? *e.answer : enterAnswer(message);
    }
    QString openFileName(QWidget *, const FileRequest &request) override
    {
        if (m_files.isEmpty()) {
            ADD_FAILURE() << "unexpected file dialog";
            return QString();
        }
        const auto f = m_files.takeFirst();
        EXPECT_EQ(request.filter, f.first);
        return f.second;
    }
    QString saveFileName(QWidget *, const FileRequest &request) override
    {
        if (m_saves.isEmpty()) {
            ADD_FAILURE() << "unexpected save dialog";
            return QString();
        }
        const auto f = m_saves.takeFirst();
        EXPECT_EQ(request.filter, f.first);
        return f.second;
    }

    bool chooseFont(QWidget *, FontChoice &font) override
    {
        if (m_fonts.isEmpty()) {
            ADD_FAILURE() << "unexpected font dialog";
            return false;
        }
        const auto f = m_fonts.takeFirst();
        EXPECT_EQ(font.name, f.first.name);
        EXPECT_EQ(font.bold, f.first.bold);
        EXPECT_EQ(font.italic, f.first.italic);
        EXPECT_EQ(font.size, f.first.size);
        if (!f.second)
            return false;
        font = *f.second;
        return true;
    }

  private:
    QList<QPair<FontChoice, std::optional<FontChoice>>> m_fonts;
    QList<ExpectedBox> m_boxes;
    QList<QPair<QString, QString>> m_files;
    QList<QPair<QString, QString>> m_saves;
};
