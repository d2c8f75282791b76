#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Asks for the ODBC data source and the table name or SQL statement of one import. OK stores the
// choice in the owner's strODBCconn / strODBCrec (the connection empty for "(なし)"); ｷｬﾝｾﾙ, Escape
// and the close box store empty texts in both. Every opening starts with "(なし)" and no text.
class frmODBC : public QDialog
{
    Q_OBJECT
  public:
    frmODBC(QString &strODBCconn, QString &strODBCrec, QWidget *owner);

    void cmdOK_Click();
    void cmdCancel_Click();

    QLabel *Label1 = nullptr;
    QComboBox *cboDSNList = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdCancel = nullptr;

  public slots:
    void reject() override;

  private:
    void Form_Load();
    void GetDSNsAndDrivers();

    QString &m_strODBCconn;
    QString &m_strODBCrec;
};
