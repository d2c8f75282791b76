#include "windowkit/Form3.h"

#include "platform/SettingsStore.h"
#include "windowkit/LayoutRules.h"
#include "windowkit/WindowPlacement.h"

#include <QPlainTextEdit>
#include <QPushButton>

namespace
{

QRect toRect(const TwipsGeometry &g)
{
    return twipsRect(g.left, g.top, g.width, g.height);
}
} // namespace

Form3::Form3(SettingsStore &settings, QWidget *owner) : Form3(settings, owner, Settings::TextViewer)
{
}

Form3::Form3(SettingsStore &settings, QWidget *owner, const SettingsPlacement &placement)
    : QDialog(owner), m_settings(settings)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QString());
    setModal(true);

    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setPlainText(QStringLiteral("本文(差込プレビュー)"));

    Command1 = new QPushButton(QStringLiteral("戻る"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setAutoDefault(false);
    // Hiding ends the modal display; the caller unloads the window afterwards.
    connect(Command1, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });

    m_placement = new KeptPlacement(*this, m_settings, placement);
    Form_Resize();
}

Form3::~Form3()
{
    Form_Unload();
}

void Form3::setText(const QString &text)
{
    Text1->setPlainText(text);
}

QString Form3::text() const
{
    return Text1->toPlainText();
}

void Form3::showText(SettingsStore &settings, QWidget *owner, const QString &caption, const QString &text)
{
    Form3 viewer(settings, owner);
    viewer.setWindowTitle(caption);
    viewer.setText(text);
    viewer.exec();
}

void Form3::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    Form_Resize();
}

void Form3::Form_Resize()
{
    const QSize outer = outerSizeTwips(this);
    const TextViewerLayout l = textViewerLayout(outer.width(), outer.height());
    Text1->setGeometry(toRect(l.text1));
    Command1->setGeometry(toRect(l.command1));
}

void Form3::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_placement->save();
}
