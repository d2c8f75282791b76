#include "windowkit/WindowPlacement.h"

#include "platform/SettingsStore.h"
#include "platform/Twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace
{
// A hand-edited value such as 1e30 must not reach the pixel conversion: keep every coordinate
// within what a window system can place (32767 pixels either way).
constexpr double MaxTwips = 32767.0 * TwipsPerPixel;

double sane(double value, double low, double fallback)
{
    return std::isfinite(value) ? std::clamp(value, low, MaxTwips) : fallback;
}
} // namespace

TwipsPlacement readPlacement(const SettingsStore &settings, const QString &section,
                             const TwipsPlacement &defaults)
{
    TwipsPlacement p;
    p.left = settings.getNumber(section, QStringLiteral("left"), float(defaults.left));
    p.top = settings.getNumber(section, QStringLiteral("top"), float(defaults.top));
    p.width = settings.getNumber(section, QStringLiteral("width"), float(defaults.width));
    p.height = settings.getNumber(section, QStringLiteral("height"), float(defaults.height));
    p.left = sane(p.left, -MaxTwips, defaults.left);
    p.top = sane(p.top, -MaxTwips, defaults.top);
    p.width = sane(p.width, TwipsPerPixel, defaults.width);
    p.height = sane(p.height, TwipsPerPixel, defaults.height);
    return p;
}

void writePlacement(SettingsStore &settings, const QString &section, const TwipsPlacement &placement)
{
    settings.setNumber(section, QStringLiteral("left"), placement.left);
    settings.setNumber(section, QStringLiteral("top"), placement.top);
    settings.setNumber(section, QStringLiteral("width"), placement.width);
    settings.setNumber(section, QStringLiteral("height"), placement.height);
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
