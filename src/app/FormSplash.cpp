#include "app/FormSplash.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

FormSplash::FormSplash(QWidget *parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("FormSplash"));
    setModal(true);
    const QPixmap pic = picture();
    setFixedSize(pic.size());

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(pic);
    Image1->setGeometry(0, 0, pic.width(), pic.height());
    Image1->installEventFilter(this);

    // A sibling of the picture, not a child, so a click on it does not count as a click on the
    // picture.
    Label1 = new QLabel(QStringLiteral("Velmora Ver.1.7"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont f(QStringLiteral("Arial Narrow"), 14);
    f.setBold(true);
    Label1->setFont(f);
    Label1->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    Label1->setGeometry(250, 262, 190, 30);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(DisplayMilliseconds);
    connect(Timer1, &QTimer::timeout, this, &FormSplash::Timer1_Timer);
    Timer1->start();
}

void FormSplash::Timer1_Timer()
{
    accept();
}

void FormSplash::keyPressEvent(QKeyEvent *event)
{
    if (!event->text().isEmpty())
        accept();
    else
        QDialog::keyPressEvent(event);
}

bool FormSplash::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
        accept();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QPixmap FormSplash::picture()
{
    QPixmap pm(454, 313);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 454, 313);
    bg.setColorAt(0, QColor(0x12, 0x3a, 0x6b));
    bg.setColorAt(1, QColor(0x1f, 0x8a, 0x8a));
    p.fillRect(pm.rect(), bg);

    // A fan of envelopes: one letter, many recipients.
    for (int i = 0; i < 5; ++i) {
        const QRectF r(40 + i * 26, 70 + i * 14, 150, 96);
        p.setPen(QPen(QColor(255, 255, 255, 90 + i * 35), 2));
        p.setBrush(QColor(255, 255, 255, 20 + i * 12));
        p.drawRoundedRect(r, 6, 6);
        QPainterPath flap;
        flap.moveTo(r.topLeft());
        flap.lineTo(r.center().x(), r.top() + r.height() * 0.55);
        flap.lineTo(r.topRight());
        p.drawPath(flap);
    }

    p.setPen(Qt::white);
    QFont title(QStringLiteral("Liberation Sans"), 40, QFont::Bold);
    p.setFont(title);
    p.drawText(QRect(210, 70, 230, 70), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Velmora"));
    QFont sub(QStringLiteral("IPAPGothic"), 14);
    p.setFont(sub);
    p.drawText(QRect(180, 140, 260, 30), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("差込メール一括送信"));
    p.setPen(QPen(QColor(255, 255, 255, 160), 1));
    p.drawLine(24, 250, 430, 250);
    return pm;
}
