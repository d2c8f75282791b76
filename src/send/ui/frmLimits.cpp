#include "send/ui/frmLimits.h"

#include "platform/UserDialogs.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace
{
// No limit shows as an empty box.
QString limitText(int value)
{
    return value > 0 ? QString::number(value) : QString();
}
} // namespace

frmLimits::frmLimits(SendLimits &limits, UserDialogs &dialogs, QWidget *owner)
    : QDialog(owner), m_limits(limits), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmLimits"));
    setWindowTitle(QStringLiteral("送信制限"));
    setAccessibleName(windowTitle());

    auto label = [this](const char *name, const QString &caption) {
        return windowLabel(this, name, caption);
    };
    auto box = [this](const char *name, QLabel *caption) {
        auto *e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        e->setPlaceholderText(noLimitPresetName());
        e->setMaxLength(10);
        e->setMaximumWidth(100);
        e->installEventFilter(this);
        captionField(caption, e);
        connect(e, &QLineEdit::textChanged, this, &frmLimits::boxEdited);
        return e;
    };
    auto button = [this](const char *name, const QString &caption) {
        return dialogButton(this, name, caption, false);
    };

    Label1 = label("Label1", QStringLiteral("メールサービス"));
    Combo1 = new QComboBox(this);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    captionField(Label1, Combo1);
    for (const SendLimitPreset &p : sendLimitPresets())
        Combo1->addItem(p.name);
    Label2 = label("Label2", QStringLiteral("1分あたり"));
    Text1 = box("Text1", Label2);
    Label3 = label("Label3", QStringLiteral("1時間あたり"));
    Text2 = box("Text2", Label3);
    Label4 = label("Label4", QStringLiteral("1日あたり"));
    Text3 = box("Text3", Label4);
    Label5 = label("Label5",
                   QStringLiteral("メールサービスの多くは、一定の時間に送れるメールの数を制限しています。"
                                  "ここで指定した通数に達すると、送信は自動で待機し、送れるようになったら"
                                  "続きを送ります。待っている間も「送信を中止する」で止められます。"
                                  "1日あたりの通数に達したときは、次に送れる時刻まで待つか、中止するかを"
                                  "たずねます。送った数は、Velmora を終了しても直近24時間分を覚えています"
                                  "（メールサーバー、ユーザー、送信者ごと）。\n"
                                  "空欄または0は制限なしです。一覧の値は目安です。ご契約の内容に合わせて"
                                  "直してください。"));
    Label5->setWordWrap(true);
    cmdOK = button("cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdCancel = button("cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));

    auto *grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Combo1, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Text1, 1, 1, Qt::AlignLeft);
    grid->addWidget(Label3, 2, 0);
    grid->addWidget(Text2, 2, 1, Qt::AlignLeft);
    grid->addWidget(Label4, 3, 0);
    grid->addWidget(Text3, 3, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(8);
    layout->addWidget(Label5);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    setFixedWidth(430);

    // A preset name whose numbers were changed elsewhere shows as custom.
    int shown = Combo1->findText(m_limits.preset);
    if (shown < 0 || (!sendLimitPresets()[shown].custom &&
                      !(sendLimitPresets()[shown].limits ==
                        SendLimits{m_limits.preset, m_limits.perMinute, m_limits.perHour, m_limits.perDay})))
        shown = Combo1->findText(customPresetName());
    Combo1->setCurrentIndex(shown);
    showNumbers(m_limits);

    connect(Combo1, &QComboBox::currentIndexChanged, this, &frmLimits::Combo1_Click);
    connect(cmdOK, &QPushButton::clicked, this, &frmLimits::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmLimits::cmdCancel_Click);
}

void frmLimits::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
}

void frmLimits::showNumbers(const SendLimits &limits)
{
    m_filling = true;
    for (auto [box, value] : {std::pair{Text1, limits.perMinute}, std::pair{Text2, limits.perHour},
                              std::pair{Text3, limits.perDay}}) {
        box->setText(limitText(value));
        m_lastValid[box] = box->text();
    }
    m_filling = false;
}

void frmLimits::Combo1_Click()
{
    // A provider's preset fills the boxes; custom keeps what they hold.
    const int index = Combo1->currentIndex();
    if (index >= 0 && index < sendLimitPresets().size() && !sendLimitPresets()[index].custom)
        showNumbers(sendLimitPresets()[index].limits);
}

void frmLimits::boxEdited()
{
    if (!m_filling)
        Combo1->setCurrentIndex(Combo1->findText(customPresetName()));
}

bool frmLimits::Text_Validate(QLineEdit *box)
{
    if (limitValue(box->text())) {
        m_lastValid[box] = box->text();
        return true;
    }
    m_refusing = true;
    m_dialogs.messageBox(this,
                         {limitRefusal(), QString(), UserDialogs::Icon::None, UserDialogs::Buttons::Ok});
    box->setText(m_lastValid.value(box));
    box->setFocus(Qt::OtherFocusReason);
    box->selectAll();
    m_refusing = false;
    return false;
}

bool frmLimits::eventFilter(QObject *watched, QEvent *event)
{
    // Leaving a box for another control of this dialog validates it, except for the Cancel button;
    // focus going to another window (the message box itself) does not.
    if (event->type() == QEvent::FocusOut && !m_refusing &&
        (watched == Text1 || watched == Text2 || watched == Text3)) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        QWidget *next = QApplication::focusWidget();
        if ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
             reason == Qt::MouseFocusReason || reason == Qt::OtherFocusReason) &&
            next && next != cmdCancel && next->window() == this) {
            auto *box = static_cast<QLineEdit *>(watched);
            // After the focus change is complete, so the refused box can take the focus back.
            QTimer::singleShot(0, this, [this, box] { Text_Validate(box); });
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmLimits::cmdOK_Click()
{
    // Every box again: a value typed and confirmed by the Enter key was never checked.
    for (QLineEdit *box : {Text1, Text2, Text3})
        if (!Text_Validate(box))
            return;
    m_limits.preset = Combo1->currentText();
    m_limits.perMinute = *limitValue(Text1->text());
    m_limits.perHour = *limitValue(Text2->text());
    m_limits.perDay = *limitValue(Text3->text());
    accept();
}

void frmLimits::cmdCancel_Click()
{
    reject();
}
