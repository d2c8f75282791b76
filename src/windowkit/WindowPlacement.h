#pragma once

#include "platform/SettingsKeys.h"

#include <QObject>
#include <QRect>

class QWidget;
class SettingsStore;

// A window's outer placement (frame included) in twips, as the settings keep it.
struct TwipsPlacement {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

TwipsPlacement readPlacement(const SettingsStore &settings, const SettingsPlacement &keys);
void writePlacement(SettingsStore &settings, const SettingsPlacement &keys, const TwipsPlacement &placement);

// A window's placement kept in the settings, the one life cycle of every window that keeps one:
// restored when the window is made and once more at its first show (its frame known then, so the
// stored outer size is met exactly), written by save() when the window unloads.
class KeptPlacement : public QObject
{
  public:
    KeptPlacement(QWidget &window, SettingsStore &settings, const SettingsPlacement &keys);
    void restore();
    void save();

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    QWidget &m_window;
    SettingsStore &m_settings;
    const SettingsPlacement m_keys;
    bool m_shown = false;
};

// Applies an outer placement as it stands, without testing it against the screen. Before a window
// is shown its frame is unknown; call again from the first show event to correct for it.
void applyPlacement(QWidget *window, const TwipsPlacement &placement);
TwipsPlacement currentPlacement(const QWidget *window);

// Puts a shown window, frame included, in the middle of its screen (the options dialogs' place).
void centreOnScreen(QWidget *window);

// The outer size of a window in twips (the size the layout rules are written for).
QSize outerSizeTwips(const QWidget *window);

// A rectangle given in twips, in logical pixels.
QRect twipsRect(int left, int top, int width, int height);
