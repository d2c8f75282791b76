#pragma once

#include <QDialog>
#include <QString>

class KeptPlacement;
class QPushButton;
class QTableView;
class RecipientGridModel;
class RecipientTable;
class SettingsStore;
class UserDialogs;

// The recipient list window: the table as a grid coloured by each row's outcome, the merge check
// of the current line, and the export of the sent or the failed lines. The grid is a copy of the
// table made at loading; nothing done here changes the table.
class Form2 : public QDialog
{
    Q_OBJECT
  public:
    // Loads the window (placement from the section "Form2"), fills the grid and colours it; the
    // caller shows it modally. body is the main window's body text, for the merge check.
    Form2(SettingsStore &settings, UserDialogs &dialogs, const RecipientTable &table, const QString &body,
          QWidget *owner);
    ~Form2() override;

    // Colours every line by its status: the sent ones green, the failed ones red.
    void status_check();
    // The grid line of the current cell (the table row it shows), 0 when there is none.
    int currentLine() const;
    RecipientGridModel *gridModel() const { return m_model; }

    void Command1_Click(); // 戻る
    void Command2_Click(); // merge check of the current line
    void Command4_Click(); // export the sent lines
    void Command5_Click(); // export the failed lines

    QTableView *MSFlexGrid1 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command5 = nullptr;

  protected:
    void resizeEvent(QResizeEvent *event) override;

  private:
    void Form_Resize();
    void Form_Unload();
    void exportLines(const QString &strStatus);

    SettingsStore &m_settings;
    UserDialogs &m_dialogs;
    QString m_body;
    RecipientGridModel *m_model = nullptr;
    KeptPlacement *m_placement = nullptr;
    bool m_unloaded = false;
};
