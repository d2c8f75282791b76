#include "recipients/ui/frmODBC.h"

#include "platform/formats/odbc/OdbcSource.h"
#include "windowkit/DialogParts.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace
{
const QString None = QStringLiteral("(なし)");
} // namespace

frmODBC::frmODBC(QString &strODBCconn, QString &strODBCrec, QWidget *owner)
    : QDialog(owner), m_strODBCconn(strODBCconn), m_strODBCrec(strODBCrec)
{
    setObjectName(QStringLiteral("frmODBC"));
    setWindowTitle(QStringLiteral("ODBCｵﾌﾟｼｮﾝ"));
    setModal(true);

    auto label = [this](const char *name, const QString &caption) {
        return windowLabel(this, name, caption);
    };
    auto button = [this](const char *name, const QString &caption) {
        return dialogButton(this, name, caption);
    };

    Label1 = label("Label1", QStringLiteral("データソース名(DSN)"));
    cboDSNList = new QComboBox(this);
    cboDSNList->setObjectName(QStringLiteral("cboDSNList"));
    cboDSNList->setMinimumContentsLength(24);
    captionField(Label1, cboDSNList);

    Label2 = label("Label2", QStringLiteral("テーブル名または問い合せに使うSQL文"));
    Text2 = new QLineEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    captionField(Label2, Text2);

    Label3 = label("Label3", QStringLiteral("1列目にメールアドレスの入った列を持つテーブルまたは"
                                            "問い合せ文を指定してください。"));
    Label3->setWordWrap(true);
    // The import runs queries only and undoes whatever a query changed.
    Label4 = label("Label4", QStringLiteral("データソースは読み取るだけで、変更しません。"
                                            "指定できるのはテーブル名か問い合せ文（SELECT）だけです。"));
    Label4->setWordWrap(true);

    cmdOK = button("cmdOK", QStringLiteral("OK"));
    cmdOK->setDefault(true);
    cmdCancel = button("cmdCancel", QStringLiteral("ｷｬﾝｾﾙ"));
    connect(cmdOK, &QPushButton::clicked, this, &frmODBC::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmODBC::cmdCancel_Click);

    auto *grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(cboDSNList, 1, 0);
    grid->addWidget(Label2, 2, 0);
    grid->addWidget(Text2, 3, 0);
    grid->addWidget(Label3, 4, 0);
    grid->addWidget(Label4, 5, 0);
    auto *buttons = new QVBoxLayout;
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    grid->addLayout(buttons, 0, 1, 6, 1);
    grid->setColumnMinimumWidth(0, 360);

    Form_Load();
}

void frmODBC::Form_Load()
{
    cboDSNList->addItem(None);
    GetDSNsAndDrivers();
    cboDSNList->setCurrentIndex(0);
    Text2->clear();

    adjustSize();
    const QScreen *s = parentWidget() ? parentWidget()->screen() : screen();
    const QRect area = s->geometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
}

void frmODBC::GetDSNsAndDrivers()
{
    for (const QString &name : odbcDataSourceNames())
        cboDSNList->addItem(name);
}

void frmODBC::cmdOK_Click()
{
    const QString dsn = cboDSNList->currentText();
    m_strODBCconn = dsn == None ? QString() : dsn;
    m_strODBCrec = Text2->text();
    done(QDialog::Accepted);
}

void frmODBC::cmdCancel_Click()
{
    m_strODBCconn.clear();
    m_strODBCrec.clear();
    done(QDialog::Rejected);
}

void frmODBC::reject()
{
    cmdCancel_Click();
}
