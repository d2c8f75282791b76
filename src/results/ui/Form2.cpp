#include "results/ui/Form2.h"

#include "body/MergeEngine.h"
#include "platform/SettingsStore.h"
#include "platform/UserDialogs.h"
#include "results/CsvExport.h"
#include "results/ui/RecipientGridModel.h"
#include "windowkit/Form3.h"
#include "windowkit/LayoutRules.h"
#include "windowkit/WindowPlacement.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableView>

namespace
{
const QString CsvFilter = QStringLiteral("CSV ファイル (*.csv)|*.csv");
constexpr QRgb Green = 0xFF00FF00;
constexpr QRgb Red = 0xFFFF0000;
constexpr QRgb Orange = 0xFFFFA040; // returned as undeliverable after the server accepted it

QRect toRect(const TwipsGeometry &g)
{
    return twipsRect(g.left, g.top, g.width, g.height);
}
} // namespace

Form2::Form2(SettingsStore &settings, UserDialogs &dialogs, const RecipientTable &table, const QString &body,
             QWidget *owner)
    : QDialog(owner), m_settings(settings), m_dialogs(dialogs), m_body(body)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("読み込んだ宛先の確認"));
    setModal(true);

    MSFlexGrid1 = new QTableView(this);
    MSFlexGrid1->setObjectName(QStringLiteral("MSFlexGrid1"));
    MSFlexGrid1->setAccessibleName(windowTitle());
    MSFlexGrid1->setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 9));
    MSFlexGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    MSFlexGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    MSFlexGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    MSFlexGrid1->setWordWrap(false);
    // Uniform line heights keep a grid of many lines quick to lay out and scroll.
    QHeaderView *lines = MSFlexGrid1->verticalHeader();
    lines->setSectionResizeMode(QHeaderView::Fixed);
    lines->setDefaultSectionSize(MSFlexGrid1->fontMetrics().height() + 6);
    lines->setDefaultAlignment(Qt::AlignRight | Qt::AlignVCenter);
    MSFlexGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto button = [this](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAccessibleName(caption);
        b->setAutoDefault(false);
        return b;
    };
    Command4 = button("Command4", QStringLiteral("正常に送信した宛先のCSV出力"));
    Command5 = button("Command5", QStringLiteral("正常に送信できなかった宛先のCSV出力"));
    Command2 = button("Command2", QStringLiteral("差込の確認..."));
    Command1 = button("Command1", QStringLiteral("戻る"));
    connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);
    connect(Command4, &QPushButton::clicked, this, &Form2::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form2::Command5_Click);

    m_placement = new KeptPlacement(*this, m_settings, Settings::RecipientList);
    Form_Resize();

    m_model = new RecipientGridModel(RecipientGrid(table), this);
    MSFlexGrid1->setModel(m_model);
    // Widths from the header and the first lines only: measuring every line of a long list
    // would hold up the opening.
    MSFlexGrid1->horizontalHeader()->setResizeContentsPrecision(200);
    MSFlexGrid1->resizeColumnsToContents();
    status_check();
}

Form2::~Form2()
{
    Form_Unload();
}

void Form2::status_check()
{
    const RecipientGrid &grid = m_model->grid();
    if (grid.lineCount() <= 1)
        return;
    for (int i = 0; i < grid.lineCount(); ++i) {
        switch (grid.outcome(i)) {
        case RecipientGrid::Outcome::Sent: m_model->setLineColour(i, Green); break;
        case RecipientGrid::Outcome::Failed: m_model->setLineColour(i, Red); break;
        case RecipientGrid::Outcome::Bounced: m_model->setLineColour(i, Orange); break;
        case RecipientGrid::Outcome::None: m_model->setLineColour(i, 0); break;
        }
    }
    // Painting moves the current cell line by line, so it is left on the last line.
    MSFlexGrid1->setCurrentIndex(m_model->index(grid.lineCount() - 2, 0));
}

int Form2::currentLine() const
{
    const QModelIndex current = MSFlexGrid1->currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void Form2::Command1_Click()
{
    done(QDialog::Accepted);
}

void Form2::Command2_Click()
{
    if (m_body.isEmpty()) {
        m_dialogs.messageBox(this, {QStringLiteral("先に本文の読み込みをおこなってください"), QString(),
                                    UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return;
    }
    const int r = currentLine();
    Form3::showText(m_settings, this, QString::number(r) + QStringLiteral("件目の差込みを表示中"),
                    mailInsertPreview(m_model->grid().table(), r, m_body));
}

void Form2::Command4_Click()
{
    exportLines(StatusSent);
}

void Form2::Command5_Click()
{
    exportLines(StatusFailed);
}

void Form2::exportLines(const QString &strStatus)
{
    const QString strFileName = m_dialogs.saveFileName(this, {QString(), CsvFilter, 1, QString()});
    if (strFileName.isEmpty())
        return;
    const RecipientGrid &grid = m_model->grid();

    // The file keeps its plain form (the import reads quotes as ordinary characters), so a line
    // whose cells hold a separator would come back with its fields moved, and an empty line is
    // refused: the operator decides.
    if (grid.lineCount() > 1) {
        const CsvShiftCheck shift = checkCsvShift(grid, strStatus);
        const auto lineName = [](int line) {
            return line == 0 ? QStringLiteral("見出し行") : QStringLiteral("%1件目").arg(line);
        };
        const auto goOn = [this](const QString &text) {
            return m_dialogs.messageBox(this, {text, QString(), UserDialogs::Icon::Warning,
                                               UserDialogs::Buttons::YesNo, UserDialogs::Answer::No}) ==
                   UserDialogs::Answer::Yes;
        };
        const CsvArrivalCheck arrival = checkMayHaveArrived(grid, strStatus);
        if (arrival.lines > 0 &&
            !goOn(
                QStringLiteral("届いた可能性がある宛先が%1行あります（最初は%2）。このファイルで送り直すと、"
                               "同じメールが二重に届くおそれがあります。\nこのまま書き込みますか？")
                    .arg(QString::number(arrival.lines), lineName(arrival.firstLine))))
            return;
        if (shift.lines > 0 &&
            !goOn(QStringLiteral("「,」または改行を含むセルがあるため、読み込み直すと項目がずれる行が%1行"
                                 "あります（最初は%2の「%3」）。\nこのまま書き込みますか？")
                      .arg(shift.lines)
                      .arg(lineName(shift.firstLine), shift.firstColumn)))
            return;
        if (shift.emptyLines > 0 &&
            !goOn(QStringLiteral("空欄のため空行になる行が%1行あります（最初は%2）。空行を含むファイルは、"
                                 "その行を削除するまで読み込み直せません。\nこのまま書き込みますか？")
                      .arg(shift.emptyLines)
                      .arg(lineName(shift.firstEmptyLine))))
            return;
    }

    const Result<CsvWritten> written = CSVDataPut(grid, strFileName, strStatus);
    if (!written) {
        m_dialogs.messageBox(this, {written.failure().description, QString::number(written.failure().number),
                                    UserDialogs::Icon::Critical, UserDialogs::Buttons::Ok});
        return;
    }
    QString text = QString::number(written->count) + QStringLiteral("件を書き込みました");
    if (written->cp932Misread)
        text +=
            QStringLiteral("\nShift_JISで書き込むと読み込み直したときに半角カナなどが別の文字として読まれる"
                           "ため、UTF-8（BOM付き）で書き込みました。");
    else if (written->utf8)
        text += QStringLiteral("\nShift_JISで表せない文字があるため、UTF-8（BOM付き）で書き込みました。");
    m_dialogs.messageBox(this, {text, QString(), UserDialogs::Icon::Information, UserDialogs::Buttons::Ok});
}

void Form2::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    Form_Resize();
}

void Form2::Form_Resize()
{
    const QSize outer = outerSizeTwips(this);
    const RecipientListLayout l = recipientListLayout(outer.width(), outer.height());
    MSFlexGrid1->setGeometry(toRect(l.grid));
    Command1->setGeometry(toRect(l.command1));
    Command2->setGeometry(toRect(l.command2));
    Command4->setGeometry(toRect(l.command4));
    Command5->setGeometry(toRect(l.command5));
}

void Form2::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_placement->save();
}
