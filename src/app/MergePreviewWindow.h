#pragma once

#include "platform/SettingsKeys.h"

#include "recipients/RecipientTable.h"
#include "send/Preflight.h"
#include "send/SendChecks.h"
#include "windowkit/Form3.h"
#include "windowkit/LayoutRules.h"

#include <QPointer>

#include <functional>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTextBrowser;
class QThread;

// The merge preview's controls for its outer width and height; below the design size they keep
// the design geometry, beyond it the fields and the body follow the excess.
struct MergePreviewLayout {
    TwipsGeometry cmdPrevious, cmdNext, lblRow, txtRow, lblRowCount, chkProblemsOnly;
    TwipsGeometry lblAddress, txtAddress, lblSubject, txtSubject, lblAttachments, txtAttachments;
    TwipsGeometry text1; // the body, as text or as HTML
    TwipsGeometry lblNotes, cmdTestSend, command1;
};
MergePreviewLayout mergePreviewLayout(int outerWidth, int outerHeight);

constexpr int MergePreviewBaseWidth = int(Settings::MergePreview.width.defaultNumber);
constexpr int MergePreviewBaseHeight = int(Settings::MergePreview.height.defaultNumber);

// The text viewer as the merge preview ("差込の確認"): any row's mail as the run would make it
// (address, subject, body, attachments), moved through row by row, by number, or only through the
// rows the check before sending lists; that check runs on a thread of its own while the window is
// open. Text1 holds the merged body, as in the plain viewer. The placement is kept in the section
// "Form3Preview".
class MergePreviewWindow : public Form3
{
    Q_OBJECT
  public:
    // The table and the inputs are the preview's own copies: it shows them as they were when opened.
    MergePreviewWindow(SettingsStore &settings, QWidget *owner, const RecipientTable &table,
                       const SendInputs &inputs, int row = 1, const PreflightOptions &options = {});
    // Waits for the check if it is still running.
    ~MergePreviewWindow() override;

    int row() const { return m_row; }
    void showRow(int row);
    // The previous or next row, or only among the rows with problems while that box is ticked.
    void showPrevious();
    void showNext();
    // True once the check has listed the rows with problems.
    bool checked() const { return m_checked; }

    // What テスト送信... does with the row shown; without it the button stays hidden.
    void setTestSend(std::function<void(int row)> testSend);
    void setTestSendBusy(bool busy);

    QPushButton *cmdPrevious = nullptr;
    QPushButton *cmdNext = nullptr;
    QLabel *lblRow = nullptr;
    QSpinBox *txtRow = nullptr;
    QLabel *lblRowCount = nullptr;
    QCheckBox *chkProblemsOnly = nullptr;
    QLabel *lblAddress = nullptr;
    QLineEdit *txtAddress = nullptr;
    QLabel *lblSubject = nullptr;
    QLineEdit *txtSubject = nullptr;
    QLabel *lblAttachments = nullptr;
    QLineEdit *txtAttachments = nullptr;
    QTextBrowser *Html1 = nullptr;
    QLabel *lblNotes = nullptr;
    QPushButton *cmdTestSend = nullptr;

  protected:
    void resizeEvent(QResizeEvent *event) override;

  private:
    void placeControls();
    void checkDone(PreflightReport report);
    void problemsOnlyToggled(bool on);
    // The row showPrevious() (-1) or showNext() (+1) goes to; 0 when there is none.
    int neighbour(int direction) const;
    void showNotes();

    RecipientTable m_table;
    SendInputs m_inputs;
    PreflightOptions m_options;
    QString m_body; // CR LF line ends, as the run merges it
    int m_row = 0;
    bool m_checked = false;
    std::vector<PreflightRow> m_problemRows;
    QPointer<QThread> m_check;
    std::function<void(int)> m_testSend;
};
