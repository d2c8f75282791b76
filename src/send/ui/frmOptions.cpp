#include "send/ui/frmOptions.h"

#include "platform/UserDialogs.h"
#include "send/SendOptions.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

frmOptions::frmOptions(qint16 &sendInterval, qint16 &timerHours, UserDialogs &dialogs, QWidget *owner)
    : QDialog(owner), m_sendInterval(sendInterval), m_timerHours(timerHours), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("送信ｵﾌﾟｼｮﾝ"));
    setAccessibleName(windowTitle());

    auto label = [this](const char *name, const QString &caption, bool wrap) {
        QLabel *l = windowLabel(this, name, caption);
        l->setWordWrap(wrap);
        return l;
    };
    auto box = [this](const char *name, const QString &text, QLabel *caption) {
        auto *e = new QLineEdit(text, this);
        e->setObjectName(QString::fromLatin1(name));
        captionField(caption, e);
        e->setMaximumWidth(80);
        e->installEventFilter(this);
        return e;
    };
    auto button = [this](const char *name, const QString &caption) {
        return dialogButton(this, name, caption, false);
    };

    Label1 = label("Label1", QStringLiteral("送信インターバル（秒）"), false);
    Text1 = box("Text1", QString::number(m_sendInterval), Label1);
    Label2 = label(
        "Label2",
        QStringLiteral("メール1件送信後、次の送信までの間隔を秒で指定します。0～60秒の範囲で指定しますが、"
                       "精度は高くありません。また、1件の送信処理に10秒かかるメールサーバを使えば、"
                       "ここで5秒を指定しても、インターバルは10秒以下にならない点に注意してください。"),
        true);
    Label3 = label("Label3", QStringLiteral("送信タイマー（送信開始時間）"), false);
    Text2 = box("Text2", QString::number(m_timerHours), Label3);
    Label4 = label(
        "Label4",
        QStringLiteral("今から何時間後に送信するか1～24時間の範囲で指定します。この指定時間後に送信するには"
                       "「送信＞メールのタイマー送信」を選択し、Velmoraを起動したまま放置します。"),
        true);
    chkBccSelf = new QCheckBox(QStringLiteral("自分にBCC(&B)：送るメールを送信者のアドレスにも BCC で送ります"), this);
    chkBccSelf->setObjectName(QStringLiteral("chkBccSelf"));
    chkIso2022jp = new QCheckBox(
        QStringLiteral("日本語のテキストメールを ISO-2022-JP で送る(&J)：書けない文字（髙、①、半角カナ、"
                       "絵文字など）を含むメールは UTF-8 で送ります"),
        this);
    chkIso2022jp->setObjectName(QStringLiteral("chkIso2022jp"));
    for (QCheckBox *c : {chkBccSelf, chkIso2022jp}) {
        c->setAccessibleName(withoutAccessKey(c->text()));
        c->setEnabled(false); // until the values to edit are given
    }
    cmdOK = button("cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdCancel = button("cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));

    auto *layout = new QVBoxLayout(this);
    for (auto [caption, field] : {std::pair{Label1, Text1}, std::pair{Label3, Text2}}) {
        auto *row = new QHBoxLayout;
        row->addWidget(caption);
        row->addWidget(field);
        row->addStretch();
        layout->addLayout(row);
        layout->addWidget(caption == Label1 ? Label2 : Label4);
        layout->addSpacing(8);
    }
    layout->addWidget(chkBccSelf);
    layout->addWidget(chkIso2022jp);
    layout->addSpacing(8);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    layout->addLayout(buttons);
    setFixedWidth(430);

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);
}

void frmOptions::setMailOptions(bool &bccSelf, bool &iso2022jp)
{
    m_bccSelf = &bccSelf;
    m_iso2022jp = &iso2022jp;
    chkBccSelf->setChecked(bccSelf);
    chkIso2022jp->setChecked(iso2022jp);
    chkBccSelf->setEnabled(true);
    chkIso2022jp->setEnabled(true);
}

void frmOptions::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
}

bool frmOptions::refuse(QLineEdit *box, const QString &message, const QString &reset)
{
    m_refusing = true;
    m_dialogs.messageBox(this, {message, QString(), UserDialogs::Icon::None, UserDialogs::Buttons::Ok});
    box->setText(reset);
    box->setFocus(Qt::OtherFocusReason);
    box->selectAll();
    m_refusing = false;
    return false;
}

bool frmOptions::Text1_Validate()
{
    return checkedInterval(Text1->text()) ? true : refuse(Text1, intervalRefusal(), QStringLiteral("0"));
}

bool frmOptions::Text2_Validate()
{
    return checkedHours(Text2->text()) ? true : refuse(Text2, hoursRefusal(), QStringLiteral("1"));
}

bool frmOptions::eventFilter(QObject *watched, QEvent *event)
{
    // Leaving a box for another control of this dialog validates it, except for the Cancel button;
    // focus going to another window (the message box itself) does not.
    if (event->type() == QEvent::FocusOut && !m_refusing && (watched == Text1 || watched == Text2)) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        QWidget *next = QApplication::focusWidget();
        if ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
             reason == Qt::MouseFocusReason || reason == Qt::OtherFocusReason) &&
            next && next != cmdCancel && next->window() == this) {
            auto *box = static_cast<QLineEdit *>(watched);
            // After the focus change is complete, so the refused box can take the focus back.
            QTimer::singleShot(0, this, [this, box] { box == Text1 ? Text1_Validate() : Text2_Validate(); });
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmOptions::cmdOK_Click()
{
    // Both boxes again: a value never validated (typed, then OK by the Enter key) is not stored.
    // The hours as shown on opening pass unchanged: 0 until first set, the value held since start.
    const bool hoursAsOpened = Text2->text() == QString::number(m_timerHours);
    if (!Text1_Validate() || (!hoursAsOpened && !Text2_Validate()))
        return;
    m_sendInterval = qint16(*checkedInterval(Text1->text()));
    if (!hoursAsOpened)
        m_timerHours = qint16(*checkedHours(Text2->text()));
    if (m_bccSelf && m_iso2022jp) {
        *m_bccSelf = chkBccSelf->isChecked();
        *m_iso2022jp = chkIso2022jp->isChecked();
    }
    accept();
}

void frmOptions::cmdCancel_Click()
{
    reject();
}
