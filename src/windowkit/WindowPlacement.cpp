#include "windowkit/WindowPlacement.h"

#include "platform/SettingsStore.h"
#include "platform/Twips.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

TwipsPlacement readPlacement(const SettingsStore &settings, const SettingsPlacement &keys)
{
    return {settings.number(keys.left), settings.number(keys.top), settings.number(keys.width),
            settings.number(keys.height)};
}

void writePlacement(SettingsStore &settings, const SettingsPlacement &keys, const TwipsPlacement &placement)
{
    settings.setNumber(keys.left, placement.left);
    settings.setNumber(keys.top, placement.top);
    settings.setNumber(keys.width, placement.width);
    settings.setNumber(keys.height, placement.height);
}

KeptPlacement::KeptPlacement(QWidget &window, SettingsStore &settings, const SettingsPlacement &keys)
    : QObject(&window), m_window(window), m_settings(settings), m_keys(keys)
{
    window.installEventFilter(this);
    restore();
}

void KeptPlacement::restore()
{
    applyPlacement(&m_window, readPlacement(m_settings, m_keys));
}

void KeptPlacement::save()
{
    writePlacement(m_settings, m_keys, currentPlacement(&m_window));
}

bool KeptPlacement::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == &m_window && event->type() == QEvent::Show && !m_shown) {
        m_shown = true;
        restore();
    }
    return false;
}

void applyPlacement(QWidget *window, const TwipsPlacement &placement)
{
    const QSize frameExtra = window->frameGeometry().size() - window->geometry().size();
    window->move(twipsToPixels(placement.left), twipsToPixels(placement.top));
    window->resize(qMax(1, twipsToPixels(placement.width) - frameExtra.width()),
                   qMax(1, twipsToPixels(placement.height) - frameExtra.height()));

    // A placement on a monitor that is gone would leave the window where nobody sees it.
    const QRect outer(window->pos(), window->size() + frameExtra);
    const QList<QScreen *> screens = QGuiApplication::screens();
    const bool visible = std::any_of(screens.begin(), screens.end(),
                                     [&](const QScreen *s) { return s->geometry().intersects(outer); });
    if (!visible && QGuiApplication::primaryScreen())
        window->move(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
}

TwipsPlacement currentPlacement(const QWidget *window)
{
    const QRect outer = window->frameGeometry();
    return {double(pixelsToTwips(outer.x())), double(pixelsToTwips(outer.y())),
            double(pixelsToTwips(outer.width())), double(pixelsToTwips(outer.height()))};
}

QSize outerSizeTwips(const QWidget *window)
{
    const QSize s = window->frameGeometry().size();
    return {pixelsToTwips(s.width()), pixelsToTwips(s.height())};
}

QRect twipsRect(int left, int top, int width, int height)
{
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

void centreOnScreen(QWidget *window)
{
    if (const QScreen *screen = window->screen()) {
        const QRect s = screen->geometry();
        const QRect frame = window->frameGeometry();
        window->move(s.x() + (s.width() - frame.width()) / 2, s.y() + (s.height() - frame.height()) / 2);
    }
}
