#include "send/ui/frmScheduled.h"

#include "platform/UserDialogs.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

frmScheduled::frmScheduled(UserDialogs &dialogs, QWidget *owner) : QDialog(owner), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmScheduled"));
    setWindowTitle(QStringLiteral("予約した送信"));
    setAccessibleName(windowTitle());
    lblRuns = windowLabel(this, "lblRuns", QStringLiteral("Velmora を閉じても送信する予約(&L)"));
    grdRuns = new QTableWidget(0, 3, this);
    grdRuns->setObjectName(QStringLiteral("grdRuns"));
    grdRuns->setHorizontalHeaderLabels(
        {QStringLiteral("送信する日時"), QStringLiteral("宛先の表"), QStringLiteral("状態")});
    grdRuns->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdRuns->setSelectionMode(QAbstractItemView::SingleSelection);
    grdRuns->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdRuns->horizontalHeader()->setStretchLastSection(true);
    grdRuns->verticalHeader()->hide();
    captionField(lblRuns, grdRuns);
    cmdCancelRun = dialogButton(this, "cmdCancelRun", QStringLiteral("予約を取り消す(&C)"), false);
    cmdForget = dialogButton(this, "cmdForget", QStringLiteral("記録を消す(&R)"), false);
    cmdClose = dialogButton(this, "cmdClose", QStringLiteral("閉じる"), false);
    cmdClose->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblRuns);
    layout->addWidget(grdRuns);
    layout->addLayout(buttonRow({cmdCancelRun, cmdForget, cmdClose}));
    resize(640, 300);
    centreOnScreen(this);

    connect(cmdCancelRun, &QPushButton::clicked, this, &frmScheduled::cmdCancelRun_Click);
    connect(cmdForget, &QPushButton::clicked, this, &frmScheduled::cmdForget_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(grdRuns, &QTableWidget::itemSelectionChanged, this, &frmScheduled::showChoice);
    refresh();
}

void frmScheduled::refresh()
{
    m_runs = ScheduledRuns::list();
    grdRuns->setRowCount(int(m_runs.size()));
    for (int r = 0; r < int(m_runs.size()); ++r) {
        const ScheduledRun &run = m_runs[size_t(r)];
        const QStringList cells{run.at.toString(QStringLiteral("yyyy/MM/dd HH:mm")), QFileInfo(run.source).fileName(),
                                run.stateText()};
        for (int c = 0; c < cells.size(); ++c) {
            auto *item = new QTableWidgetItem(cells[c]);
            item->setToolTip(c == 1 ? run.source : cells[c]);
            grdRuns->setItem(r, c, item);
        }
    }
    if (!m_runs.empty())
        grdRuns->selectRow(0);
    showChoice();
}

const ScheduledRun *frmScheduled::chosen() const
{
    const int row = grdRuns->currentRow();
    return row >= 0 && row < int(m_runs.size()) && grdRuns->selectionModel()->hasSelection() ? &m_runs[size_t(row)]
                                                                                           : nullptr;
}

void frmScheduled::showChoice()
{
    const ScheduledRun *run = chosen();
    const bool live =
        run && (run->state == ScheduledRun::State::Waiting || run->state == ScheduledRun::State::Sending);
    cmdCancelRun->setEnabled(live);
    cmdForget->setEnabled(run && !live);
}

void frmScheduled::cmdCancelRun_Click()
{
    const ScheduledRun *run = chosen();
    if (!run)
        return;
    const QString text =
        run->state == ScheduledRun::State::Sending
            ? QStringLiteral("この送信は今行われています。取り消すと、送信中のメールを送り終えてから止まります。"
                             "\r\n取り消しますか？")
            : QStringLiteral("%1 の送信の予約を取り消しますか？").arg(run->at.toString(QStringLiteral("yyyy/MM/dd HH:mm")));
    if (m_dialogs.messageBox(this, {text, windowTitle(), UserDialogs::Icon::Question, UserDialogs::Buttons::YesNo,
                                    UserDialogs::Answer::No}) != UserDialogs::Answer::Yes)
        return;
    if (const std::optional<Failure> failure = ScheduledRuns::cancel(*run))
        m_dialogs.messageBox(this, {failure->description, windowTitle(), UserDialogs::Icon::Critical,
                                    UserDialogs::Buttons::Ok});
    refresh();
}

void frmScheduled::cmdForget_Click()
{
    if (const ScheduledRun *run = chosen())
        ScheduledRuns::forget(*run);
    refresh();
}
