#include "app/MergePreviewWindow.h"

#include "body/MergeEngine.h"
#include "recipients/CopyColumns.h"

#include "body/MergeEngine.h"
#include "platform/OffThread.h"
#include "platform/Text.h"
#include "windowkit/DialogParts.h"
#include "windowkit/WindowPlacement.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBrowser>
#include <QTextDocument>

#include <algorithm>

namespace
{

QRect toRect(const TwipsGeometry &g)
{
    return twipsRect(g.left, g.top, g.width, g.height);
}

// The merged HTML comes from the table: it is shown, never allowed to read files or the network
// (an <img> naming a device or a huge file would hang the window).
class InertDocument : public QTextDocument
{
  public:
    using QTextDocument::QTextDocument;

  protected:
    QVariant loadResource(int, const QUrl &) override { return QVariant(); }
};

// A one-line field shows a line break of the merged subject as a visible mark.
QString oneLineShown(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("↵"));
    text.replace(u'\r', u'↵');
    text.replace(u'\n', u'↵');
    return text;
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 バイト").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(QString::number(double(bytes) / 1024.0, 'f', 1));
    return QStringLiteral("%1 MB").arg(QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1));
}

// The attachments' names and sizes as row `row`'s mail carries them: a name with merge tags is the
// row's own file.
QString attachmentsText(const RecipientTable &table, int row, const QString &typed)
{
    if (trimSpaces(typed).isEmpty())
        return QStringLiteral("（なし）");
    QStringList parts;
    for (const QString &name : typed.split(u',')) {
        const QString piece = hasMergeTag(name) ? mailInsertPreview(table, row, name) : name;
        const QFileInfo info(piece);
        parts << (info.isFile() ? QStringLiteral("%1（%2）").arg(info.fileName(), sizeText(info.size()))
                                : QStringLiteral("%1（見つかりません）")
                                      .arg(piece.isEmpty() ? QStringLiteral("空の指定") : piece));
    }
    return parts.join(QStringLiteral("、"));
}

} // namespace

MergePreviewLayout mergePreviewLayout(int outerWidth, int outerHeight)
{
    const int dW = outerWidth > MergePreviewBaseWidth ? outerWidth - MergePreviewBaseWidth : 0;
    const int dH = outerHeight > MergePreviewBaseHeight ? outerHeight - MergePreviewBaseHeight : 0;
    MergePreviewLayout l;
    l.cmdPrevious = {120, 120, 1095, 375};
    l.cmdNext = {1320, 120, 1095, 375};
    l.lblRow = {2580, 165, 855, 330};
    l.txtRow = {3480, 120, 1215, 375};
    l.lblRowCount = {4800, 165, 1455, 330};
    l.chkProblemsOnly = {6360, 120, 3045, 375};
    l.lblAddress = {120, 645, 855, 330};
    l.txtAddress = {1080, 600, 8325 + dW, 375};
    l.lblSubject = {120, 1125, 855, 330};
    l.txtSubject = {1080, 1080, 8325 + dW, 375};
    l.lblAttachments = {120, 1605, 855, 330};
    l.txtAttachments = {1080, 1560, 8325 + dW, 375};
    l.text1 = {120, 2040, 9285 + dW, 4065 + dH};
    l.lblNotes = {120, 6225 + dH, 5895 + dW, 375};
    l.cmdTestSend = {6135 + dW, 6225 + dH, 1575, 375};
    l.command1 = {7830 + dW, 6225 + dH, 1575, 375};
    return l;
}

MergePreviewWindow::MergePreviewWindow(SettingsStore &settings, QWidget *owner, const RecipientTable &table,
                                       const SendInputs &inputs, int row, const PreflightOptions &options)
    : Form3(settings, owner, Settings::MergePreview), m_table(table), m_inputs(inputs), m_options(options),
      m_body(QString(inputs.body).replace(u'\n', QStringLiteral("\r\n")))
{
    setObjectName(QStringLiteral("MergePreview"));
    auto button = [this](const char *name, const QString &caption) {
        return dialogButton(this, name, caption, false);
    };
    auto label = [this](const char *name, const QString &caption) {
        return windowLabel(this, name, caption);
    };
    auto field = [this](const char *name, QLabel *caption) {
        auto *e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        e->setReadOnly(true);
        captionField(caption, e);
        return e;
    };

    // Created after Text1 and Command1, so the body stays the viewer's first text field.
    cmdPrevious = button("cmdPrevious", QStringLiteral("前の行"));
    cmdNext = button("cmdNext", QStringLiteral("次の行"));
    lblRow = label("lblRow", QStringLiteral("行番号"));
    txtRow = new QSpinBox(this);
    txtRow->setObjectName(QStringLiteral("txtRow"));
    captionField(lblRow, txtRow);
    txtRow->setRange(1, qMax(1, m_table.lastRow()));
    // A typed number counts once it is complete (Enter or leaving the box).
    txtRow->setKeyboardTracking(false);
    lblRowCount = label("lblRowCount", QStringLiteral("/ %1 行").arg(qMax(0, m_table.lastRow())));
    chkProblemsOnly = new QCheckBox(QStringLiteral("問題のある行だけ"), this);
    chkProblemsOnly->setObjectName(QStringLiteral("chkProblemsOnly"));
    chkProblemsOnly->setAccessibleName(chkProblemsOnly->text());
    chkProblemsOnly->setEnabled(false);
    lblAddress = label("lblAddress", QStringLiteral("宛先"));
    txtAddress = field("txtAddress", lblAddress);
    lblSubject = label("lblSubject", QStringLiteral("件名"));
    txtSubject = field("txtSubject", lblSubject);
    lblAttachments = label("lblAttachments", QStringLiteral("添付"));
    txtAttachments = field("txtAttachments", lblAttachments);
    Text1->setAccessibleName(QStringLiteral("本文"));
    Command1->setAccessibleName(Command1->text());
    Text1->setReadOnly(true);
    Html1 = new QTextBrowser(this);
    Html1->setObjectName(QStringLiteral("Html1"));
    Html1->setAccessibleName(QStringLiteral("本文"));
    Html1->setDocument(new InertDocument(Html1));
    Html1->setOpenLinks(false);
    Html1->setVisible(m_inputs.html);
    Text1->setVisible(!m_inputs.html);
    // Its text changes with the row: read by screen readers as the text itself.
    lblNotes = label("lblNotes", QString());
    cmdTestSend = button("cmdTestSend", QStringLiteral("テスト送信..."));
    cmdTestSend->hide();

    setTabOrder(cmdPrevious, cmdNext);
    setTabOrder(cmdNext, txtRow);
    setTabOrder(txtRow, chkProblemsOnly);
    setTabOrder(chkProblemsOnly, txtAddress);
    setTabOrder(txtAddress, txtSubject);
    setTabOrder(txtSubject, txtAttachments);
    setTabOrder(txtAttachments, Text1);
    setTabOrder(Text1, Html1);
    setTabOrder(Html1, cmdTestSend);
    setTabOrder(cmdTestSend, Command1);

    connect(cmdPrevious, &QPushButton::clicked, this, &MergePreviewWindow::showPrevious);
    connect(cmdNext, &QPushButton::clicked, this, &MergePreviewWindow::showNext);
    connect(txtRow, &QSpinBox::valueChanged, this, &MergePreviewWindow::showRow);
    connect(chkProblemsOnly, &QCheckBox::toggled, this, &MergePreviewWindow::problemsOnlyToggled);
    connect(cmdTestSend, &QPushButton::clicked, this, [this] {
        if (m_testSend)
            m_testSend(m_row);
    });

    placeControls();
    showRow(qBound(1, row, qMax(1, m_table.lastRow())));
    m_check = runOffThread<PreflightReport>(
        this,
        [table = m_table, inputs = m_inputs, options = m_options] {
            return checkBeforeSending(table, inputs, options);
        },
        [this](PreflightReport report) { checkDone(std::move(report)); });
}

MergePreviewWindow::~MergePreviewWindow()
{
    if (m_check)
        m_check->wait();
}

void MergePreviewWindow::setTestSend(std::function<void(int)> testSend)
{
    m_testSend = std::move(testSend);
    cmdTestSend->setVisible(bool(m_testSend));
}

void MergePreviewWindow::setTestSendBusy(bool busy)
{
    cmdTestSend->setEnabled(!busy);
}

void MergePreviewWindow::resizeEvent(QResizeEvent *event)
{
    Form3::resizeEvent(event);
    placeControls();
}

void MergePreviewWindow::placeControls()
{
    // Before the constructor has made them, the viewer's own resize comes through here.
    if (!lblNotes)
        return;
    const QSize outer = outerSizeTwips(this);
    const MergePreviewLayout l = mergePreviewLayout(outer.width(), outer.height());
    const std::pair<QWidget *, TwipsGeometry> places[] = {
        {cmdPrevious, l.cmdPrevious},
        {cmdNext, l.cmdNext},
        {lblRow, l.lblRow},
        {txtRow, l.txtRow},
        {lblRowCount, l.lblRowCount},
        {chkProblemsOnly, l.chkProblemsOnly},
        {lblAddress, l.lblAddress},
        {txtAddress, l.txtAddress},
        {lblSubject, l.lblSubject},
        {txtSubject, l.txtSubject},
        {lblAttachments, l.lblAttachments},
        {txtAttachments, l.txtAttachments},
        {Text1, l.text1},
        {Html1, l.text1},
        {lblNotes, l.lblNotes},
        {cmdTestSend, l.cmdTestSend},
        {Command1, l.command1},
    };
    for (const auto &[widget, geometry] : places)
        widget->setGeometry(toRect(geometry));
}

void MergePreviewWindow::showRow(int row)
{
    // A table without data rows still shows row 1, empty, as the plain preview always did.
    if (row < 1 || row > qMax(1, m_table.lastRow()) || row == m_row)
        return;
    m_row = row;
    setWindowTitle(QString::number(row) + QStringLiteral("件目の差込みを表示中"));
    // The previews' own merge: a row the size limit stops shows the reason instead.
    const QString body = mailInsertPreview(m_table, row, m_body);
    setText(body);
    if (m_inputs.html)
        Html1->setHtml(body);
    txtSubject->setText(oneLineShown(mailInsertPreview(m_table, row, m_inputs.subject)));
    QString address = m_table.hasCell(row, 1) ? trimSpaces(m_table.cell(row, 1)) : QString();
    const CopyColumns copies = copyColumnsOf(m_table);
    for (const auto &[label, columns] :
         {std::pair{QStringLiteral("CC"), &copies.cc}, std::pair{QStringLiteral("BCC"), &copies.bcc},
          std::pair{QStringLiteral("返信先"), &copies.replyTo}}) {
        const QStringList list = rowAddresses(m_table, row, *columns);
        if (!list.isEmpty())
            address += QStringLiteral("　%1：%2").arg(label, list.join(QStringLiteral("、")));
    }
    txtAddress->setText(address);
    txtAttachments->setText(attachmentsText(m_table, row, m_inputs.attachments));
    {
        const QSignalBlocker quiet(txtRow);
        txtRow->setValue(row);
    }
    cmdPrevious->setEnabled(neighbour(-1) > 0);
    cmdNext->setEnabled(neighbour(+1) > 0);
    showNotes();
}

int MergePreviewWindow::neighbour(int direction) const
{
    if (chkProblemsOnly->isChecked()) {
        const auto byRow = [](const PreflightRow &r, int row) { return r.row < row; };
        const auto at = std::lower_bound(m_problemRows.begin(), m_problemRows.end(), m_row, byRow);
        if (direction < 0)
            return at == m_problemRows.begin() ? 0 : std::prev(at)->row;
        const auto after = (at != m_problemRows.end() && at->row == m_row) ? std::next(at) : at;
        return after == m_problemRows.end() ? 0 : after->row;
    }
    const int row = m_row + direction;
    return row >= 1 && row <= m_table.lastRow() ? row : 0;
}

void MergePreviewWindow::showPrevious()
{
    if (const int row = neighbour(-1))
        showRow(row);
}

void MergePreviewWindow::showNext()
{
    if (const int row = neighbour(+1))
        showRow(row);
}

void MergePreviewWindow::checkDone(PreflightReport report)
{
    m_checked = true;
    m_problemRows = std::move(report.problemRows);
    chkProblemsOnly->setEnabled(!m_problemRows.empty());
    cmdPrevious->setEnabled(neighbour(-1) > 0);
    cmdNext->setEnabled(neighbour(+1) > 0);
    showNotes();
}

void MergePreviewWindow::problemsOnlyToggled(bool on)
{
    if (on && !m_problemRows.empty()) {
        // From the row shown to the first row with problems at or after it, else the last one.
        const auto at = std::lower_bound(m_problemRows.begin(), m_problemRows.end(), m_row,
                                         [](const PreflightRow &r, int row) { return r.row < row; });
        showRow(at != m_problemRows.end() ? at->row : m_problemRows.back().row);
    }
    cmdPrevious->setEnabled(neighbour(-1) > 0);
    cmdNext->setEnabled(neighbour(+1) > 0);
}

void MergePreviewWindow::showNotes()
{
    QString text;
    if (!m_checked) {
        text = QStringLiteral("送信前の確認中...");
    } else {
        const auto at = std::lower_bound(m_problemRows.begin(), m_problemRows.end(), m_row,
                                         [](const PreflightRow &r, int row) { return r.row < row; });
        const QString all = m_problemRows.empty()
                                ? QStringLiteral("問題のある行はありません")
                                : QStringLiteral("問題のある行：%1 行").arg(m_problemRows.size());
        text = at != m_problemRows.end() && at->row == m_row
                   ? QStringLiteral("この行：%1（%2）").arg(at->notes.join(QStringLiteral("、")), all)
                   : QStringLiteral("この行に問題はありません（%1）").arg(all);
    }
    lblNotes->setText(text);
    lblNotes->setToolTip(text);
}
