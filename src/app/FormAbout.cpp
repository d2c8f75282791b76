#include "app/FormAbout.h"

#include "app/VelmoraVersion.h"
#include "platform/UserDialogs.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

QString versionText()
{
    return QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
        .arg(VelmoraVersionMajor)
        .arg(VelmoraVersionMinor)
        .arg(VelmoraVersionRevision);
}

FormAbout::FormAbout(UserDialogs &dialogs, QWidget *owner) : QDialog(owner), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("FormAbout"));
    setModal(true);
    setFixedSize(382, 253);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(16, 16, 48, 48);
    picIcon->setPixmap(QIcon(QStringLiteral(":/velmora/velmora.svg")).pixmap(48, 48));
    picIcon->setAccessibleName(QStringLiteral("Velmora のアイコン"));

    lblTitle = new QLabel(this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setGeometry(84, 16, 282, 32);
    QFont titleFont = lblTitle->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.8);
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);

    lblVersion = new QLabel(this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setGeometry(84, 54, 282, 22);

    lblDescription = new QLabel(this);
    lblDescription->setObjectName(QStringLiteral("lblDescription"));
    lblDescription->setGeometry(84, 84, 282, 80);
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Two lines, dark over light, make one engraved separator.
    Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setGeometry(8, 172, 366, 1);
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Plain);
    Line1->setForegroundRole(QPalette::Dark);
    Line2 = new QFrame(this);
    Line2->setObjectName(QStringLiteral("Line2"));
    Line2->setGeometry(8, 173, 366, 1);
    Line2->setFrameShape(QFrame::HLine);
    Line2->setFrameShadow(QFrame::Plain);
    Line2->setForegroundRole(QPalette::Light);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setAccessibleName(QStringLiteral("OK"));
    cmdOK->setGeometry(256, 184, 110, 27);
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("ｼｽﾃﾑ情報(&S)..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    cmdSysInfo->setAccessibleName(QStringLiteral("ｼｽﾃﾑ情報(S)..."));
    cmdSysInfo->setGeometry(256, 217, 110, 27);
    cmdSysInfo->setAutoDefault(false);

    // OK is also the cancel button: Esc closes the window through QDialog::reject.
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdSysInfo, &QPushButton::clicked, this, &FormAbout::StartSysInfo);

    Form_Load();
}

void FormAbout::Form_Load()
{
    const QString title = applicationTitle();
    setWindowTitle(title + QStringLiteral("のﾊﾞｰｼﾞｮﾝ情報"));
    lblVersion->setText(versionText());
    lblTitle->setText(title);
    lblDescription->setText(QStringLiteral(" "));
}

QList<FormAbout::SysInfoTool> FormAbout::sysInfoTools()
{
    return {
        {QStringLiteral("kinfocenter"), {}},
        {QStringLiteral("hardinfo2"), {}},
        {QStringLiteral("hardinfo"), {}},
        {QStringLiteral("xfce4-about"), {}},
        {QStringLiteral("gnome-control-center"), {QStringLiteral("info-overview")}},
    };
}

void FormAbout::StartSysInfo()
{
    for (const SysInfoTool &tool : sysInfoTools()) {
        const QString path = QStandardPaths::findExecutable(tool.program);
        if (!path.isEmpty() && QProcess::startDetached(path, tool.arguments))
            return;
    }
    m_dialogs.messageBox(this, {QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"), QString(),
                                UserDialogs::Icon::None, UserDialogs::Buttons::Ok});
}
