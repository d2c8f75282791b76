#pragma once

#include "windowkit/WindowPlacement.h"

#include <QDialog>

class KeptPlacement;
class QPlainTextEdit;
class QPushButton;
class SettingsStore;

// The text viewer: a caption, a large text field and the button "戻る". Every caller sets both
// the caption and the text; the window keeps only its placement between uses.
class Form3 : public QDialog
{
    Q_OBJECT
  public:
    // Loading restores the placement from the section "Form3".
    Form3(SettingsStore &settings, QWidget *owner);
    ~Form3() override;

    void setText(const QString &text);
    QString text() const;

    // Shows the window modally, then saves its placement: load, show, unload in one call.
    static void showText(SettingsStore &settings, QWidget *owner, const QString &caption,
                         const QString &text);

    QPlainTextEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;

  protected:
    // A window built on the viewer that keeps its placement in a section of its own.
    Form3(SettingsStore &settings, QWidget *owner, const SettingsPlacement &placement);

    void resizeEvent(QResizeEvent *event) override;

  private:
    void Form_Resize();
    void Form_Unload();

    SettingsStore &m_settings;
    KeptPlacement *m_placement = nullptr;
    bool m_unloaded = false;
};
