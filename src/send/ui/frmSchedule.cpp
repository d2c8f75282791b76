#include "send/ui/frmSchedule.h"

#include "platform/Clock.h"
#include "platform/UserDialogs.h"
#include "platform/UserTimers.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
// The next whole minute after `t`.
QDateTime nextMinute(const QDateTime &t)
{
    QDateTime m = t.addSecs(60);
    m.setTime(QTime(m.time().hour(), m.time().minute()));
    return m;
}
} // namespace

frmSchedule::frmSchedule(Clock &clock, UserDialogs &dialogs, QWidget *owner)
    : QDialog(owner), m_clock(clock), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmSchedule"));
    setWindowTitle(QStringLiteral("日時を指定して送信"));
    setAccessibleName(windowTitle());

    lblStart = windowLabel(this, "lblStart", QStringLiteral("送信を始める日時(&D)"));
    dteStart = new QDateTimeEdit(nextMinute(m_clock.now()), this);
    dteStart->setObjectName(QStringLiteral("dteStart"));
    dteStart->setDisplayFormat(QStringLiteral("yyyy/MM/dd HH:mm"));
    dteStart->setCalendarPopup(true);
    captionField(lblStart, dteStart);
    chkAskWhenLate = new QCheckBox(
        QStringLiteral("スリープなどで予定時刻を過ぎてしまったときは、送信する前に確認する(&A)"), this);
    chkAskWhenLate->setObjectName(QStringLiteral("chkAskWhenLate"));
    chkAskWhenLate->setAccessibleName(withoutAccessKey(chkAskWhenLate->text()));
    chkHandOff = new QCheckBox(QStringLiteral("Velmora を閉じても送信する(&W)"), this);
    chkHandOff->setObjectName(QStringLiteral("chkHandOff"));
    chkHandOff->setAccessibleName(withoutAccessKey(chkHandOff->text()));
    QString why;
    chkHandOff->setEnabled(UserTimers::available(&why));
    if (!chkHandOff->isEnabled())
        chkHandOff->setToolTip(why);
    auto *note = windowLabel(this, "lblNote",
                             QStringLiteral("指定した時刻になると、送信ボタンを押したときと同じように送信します。"
                                            "送信前の確認とパスワードの入力は今行います。"
                                            "「閉じても送信する」を選ばないときは、Velmora を起動したままにしてください。"));
    note->setWordWrap(true);
    cmdOK = dialogButton(this, "cmdOK", QStringLiteral("OK"), false);
    cmdOK->setDefault(true);
    cmdCancel = dialogButton(this, "cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"), false);

    auto *layout = new QVBoxLayout(this);
    auto *row = new QHBoxLayout;
    row->addWidget(lblStart);
    row->addWidget(dteStart);
    row->addStretch();
    layout->addLayout(row);
    layout->addWidget(chkAskWhenLate);
    layout->addWidget(chkHandOff);
    layout->addWidget(note);
    layout->addLayout(buttonRow({cmdOK, cmdCancel}));
    setFixedWidth(460);
    centreOnScreen(this);

    connect(cmdOK, &QPushButton::clicked, this, &frmSchedule::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

QDateTime frmSchedule::at() const
{
    QDateTime t = dteStart->dateTime();
    t.setTime(QTime(t.time().hour(), t.time().minute()));
    return t;
}

bool frmSchedule::askWhenLate() const
{
    return chkAskWhenLate->isChecked();
}

bool frmSchedule::handOff() const
{
    return chkHandOff->isEnabled() && chkHandOff->isChecked();
}

void frmSchedule::cmdOK_Click()
{
    // To the minute: the minute now has begun already.
    if (at() < nextMinute(m_clock.now())) {
        m_dialogs.messageBox(this, {QStringLiteral("送信を始める日時には、今より後の日時（分まで）を指定してください。"),
                                    QString(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        dteStart->setFocus(Qt::OtherFocusReason);
        return;
    }
    accept();
}
