#include "platform/ui/QtDialogs.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFontDialog>
#include <QGroupBox>
#include <QMessageBox>

UserDialogs::Answer QtDialogs::messageBox(QWidget *owner, const Message &message)
{
    QMessageBox box(owner);
    box.setWindowTitle(message.title.isEmpty() ? applicationTitle() : message.title);
    box.setText(message.text);
    switch (message.icon) {
    case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
    case Icon::Information: box.setIcon(QMessageBox::Information); break;
    case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
    case Icon::Question: box.setIcon(QMessageBox::Question); break;
    case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
    }
    switch (message.buttons) {
    case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case Buttons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case Buttons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case Buttons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    if (message.defaultButton) {
        switch (*message.defaultButton) {
        case Answer::Ok: box.setDefaultButton(QMessageBox::Ok); break;
        case Answer::Cancel: box.setDefaultButton(QMessageBox::Cancel); break;
        case Answer::Yes: box.setDefaultButton(QMessageBox::Yes); break;
        case Answer::No: box.setDefaultButton(QMessageBox::No); break;
        }
    }
    switch (box.exec()) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    default:
        // Escape or the close box: the safe answer of the button set.
        return message.buttons == Buttons::YesNo ? Answer::No
               : message.buttons == Buttons::Ok  ? Answer::Ok
                                                 : Answer::Cancel;
    }
}

static QString selectedFilter(const QString &qtFilter, int index)
{
    const QStringList filters = qtFilter.split(QStringLiteral(";;"));
    return index >= 1 && index <= filters.size() ? filters[index - 1] : QString();
}

QString QtDialogs::openFileName(QWidget *owner, const FileRequest &request)
{
    const QString filter = qtFileFilter(request.filter);
    QString selected = selectedFilter(filter, request.filterIndex);
    return QFileDialog::getOpenFileName(owner, request.title, request.fileName, filter, &selected);
}

QString QtDialogs::saveFileName(QWidget *owner, const FileRequest &request)
{
    const QString filter = qtFileFilter(request.filter);
    QString selected = selectedFilter(filter, request.filterIndex);
    // Saving replaces an existing file without a question (it is written to a temporary file and
    // renamed over the old one), and the name is used as typed: no extension is added.
    return QFileDialog::getSaveFileName(owner, request.title, request.fileName, filter, &selected,
                                        QFileDialog::DontConfirmOverwrite);
}

bool QtDialogs::chooseFont(QWidget *owner, FontChoice &choice)
{
    QFont font(choice.name);
    font.setBold(choice.bold);
    font.setItalic(choice.italic);
    font.setPointSizeF(choice.size > 0 ? choice.size : 9);
    QFontDialog dialog(font, owner);
    dialog.setOptions(QFontDialog::ScalableFonts | QFontDialog::DontUseNativeDialog);
    // Underline and strikeout are not the operator's to choose here: hide the group that holds them.
    for (QGroupBox *group : dialog.findChildren<QGroupBox *>())
        if (!group->findChildren<QCheckBox *>().isEmpty())
            group->hide();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QFont chosen = dialog.selectedFont();
    choice.name = chosen.family();
    choice.bold = chosen.bold();
    choice.italic = chosen.italic();
    choice.size = float(chosen.pointSizeF());
    return true;
}
