#pragma once

#include <QString>

#include <optional>

class QWidget;

// What the operator is asked or told. Windows reach message boxes and file dialogs only through
// this interface, so tests can script the answers.
class UserDialogs
{
  public:
    enum class Icon { None, Information, Warning, Question, Critical };
    enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
    enum class Answer { Ok, Cancel, Yes, No };

    struct Message {
        QString text;
        QString title; // empty: the application title "Velmora"
        Icon icon = Icon::None;
        Buttons buttons = Buttons::Ok;
        // The button Enter presses. A question whose safe answer is "no" (send again, throw a record
        // away, start over) names it; without one the platform chooses (Yes, else OK).
        std::optional<Answer> defaultButton = std::nullopt;
        // What a question is about, for a view that answers without a box (the command line): one
        // of the topics its asker names, or null for a box that only tells.
        const char *topic = nullptr;
    };

    struct FileRequest {
        QString title;
        // Filter as the operator sees it: "説明 (*.ext)|*.ext|説明2 (*.x)|*.x".
        QString filter;
        int filterIndex = 1;
        QString fileName;
    };

    // The four values of a font the operator chooses; underline, strikeout and colour are never
    // offered nor changed.
    struct FontChoice {
        QString name;
        bool bold = false;
        bool italic = false;
        float size = 9;
    };

    virtual ~UserDialogs() = default;
    virtual Answer messageBox(QWidget *owner, const Message &message) = 0;
    // Returns the chosen path, or the empty text when the operator cancelled.
    virtual QString openFileName(QWidget *owner, const FileRequest &request) = 0;
    virtual QString saveFileName(QWidget *owner, const FileRequest &request) = 0;
    // Shows the font dialog (scalable screen fonts, no effects) on `font`; returns false and leaves
    // it unchanged when the operator cancelled.
    virtual bool chooseFont(QWidget *owner, FontChoice &font) = 0;
};

// What Enter answers in a box: its default button, else the platform's.
UserDialogs::Answer enterAnswer(const UserDialogs::Message &message);

// The title a box shows when it is given none of its own.
inline QString applicationTitle()
{
    return QStringLiteral("Velmora");
}

// "説明 (*.xls)|*.xls|CSV (*.csv)|*.csv" -> the Qt form "説明 (*.xls);;CSV (*.csv)".
QString qtFileFilter(const QString &legacyFilter);
