#include "app/Form1.h"

#include "app/FormAbout.h"
#include "app/HelpWindow.h"
#include "app/MergePreviewWindow.h"
#include "app/TestSender.h"
#include "body/BodyFile.h"
#include "body/MergeCheck.h"
#include "body/MergeEngine.h"
#include "platform/Clock.h"
#include "platform/OffThread.h"
#include "platform/SettingsStore.h"
#include "platform/Text.h"
#include "platform/Twips.h"
#include "platform/UserDialogs.h"
#include "platform/formats/AddressBook.h"
#include "platform/formats/TextFile.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/OAuthSignIn.h"
#include "recipients/AddressCheck.h"
#include "recipients/Importers.h"
#include "recipients/ui/AddressListModel.h"
#include "recipients/ui/frmODBC.h"
#include "results/ui/Form2.h"
#include "send/Preflight.h"
#include "send/SendChecks.h"
#include "send/SendRun.h"
#include "send/SendTimer.h"
#include "send/ui/frmLimits.h"
#include "send/ui/frmMailbox.h"
#include "send/ui/frmOAuth.h"
#include "send/ui/frmOptions.h"
#include "send/ui/frmPassword.h"
#include "send/ui/frmSchedule.h"
#include "send/ui/frmScheduled.h"
#include "windowkit/Form3.h"
#include "windowkit/LayoutRules.h"
#include "windowkit/WindowPlacement.h"

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStatusBar>
#include <QTimer>

namespace
{
const QString BodyFilter =
    QStringLiteral("テキストファイル (*.txt)|*.txt|HTMLファイル (*.htm;*.html)|*.htm;*.html");
const QString RecipientFilter =
    QStringLiteral("EXCEL ファイル (*.xls)|*.xls|CSV ファイル (*.csv)|*.csv|vCard ファイル (*.vcf)|*.vcf|"
                   "EXCEL ファイル (*.xlsx)|*.xlsx|OpenDocument 表計算 (*.ods)|*.ods");
} // namespace

Form1::Form1(SettingsStore &settings, UserDialogs &dialogs, const QString &strCommandLine, QWidget *parent)
    : Form1(settings, dialogs, nullptr, strCommandLine, parent)
{
}

Form1::Form1(SettingsStore &settings, UserDialogs &dialogs, SecretStore &secrets,
             const QString &strCommandLine, QWidget *parent)
    : Form1(settings, dialogs, &secrets, strCommandLine, parent)
{
}

Form1::Form1(SettingsStore &settings, UserDialogs &dialogs, SecretStore *secrets,
             const QString &strCommandLine, QWidget *parent)
    : QMainWindow(parent), m_settings(settings), m_dialogs(dialogs), m_mailing(*this)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velmora"));
    if (secrets)
        m_mailing.logins().setSecretStore(*secrets);
    createControls();
    createMenus();
    setAccessibility();
    // F1 anywhere opens the help page of the window in use.
    new HelpKey(m_dialogs, this);
    Form_Load(strCommandLine);
    Form_Resize();
}

Form1::~Form1()
{
    Form_Unload();
    // The check reads its own copy of the table, but reports to this window.
    if (m_check)
        m_check->wait();
}

void Form1::setClock(Clock &clock)
{
    m_mailing.setClock(clock);
}

void Form1::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    auto label = [client](const char *name, const QString &caption, QRect r) {
        auto *l = new QLabel(caption, client);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(r);
        return l;
    };
    auto lineEdit = [client](const char *name, const QString &text, QRect r) {
        auto *e = new QLineEdit(text, client);
        e->setObjectName(QString::fromLatin1(name));
        e->setGeometry(r);
        return e;
    };
    auto button = [client](const char *name, const QString &caption, QRect r) {
        auto *b = new QPushButton(caption, client);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(r);
        return b;
    };

    // Created in tab order.
    Text1 = lineEdit("Text1", QString(), twipsRect(1680, 120, 5415, 375));
    Label1 = label("Label1", QStringLiteral("メールサーバ名"), twipsRect(120, 120, 1335, 375));
    Label2 = label("Label2", QStringLiteral("メール送信者名"), twipsRect(120, 600, 1335, 375));
    Text2 = lineEdit("Text2", QString(), twipsRect(1680, 600, 5415, 375));
    Label3 = label("Label3", QStringLiteral("件名"), twipsRect(120, 1800, 495, 375));
    Text3 = lineEdit("Text3", QStringLiteral("件名"), twipsRect(720, 1800, 6375, 375));
    Text4 = new QPlainTextEdit(QStringLiteral("本文"), client);
    Text4->setObjectName(QStringLiteral("Text4"));
    Text4->setGeometry(twipsRect(120, 2760, 6975, 2295));
    Text4->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text4->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text4->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Command1 = button("Command1", QStringLiteral("送信"), twipsRect(4400, 5880, 1215, 375));
    Command2 = button("Command2", QStringLiteral("宛先読込..."), twipsRect(120, 1080, 1455, 375));
    Combo1 = new QComboBox(client);
    Combo1->setObjectName(QStringLiteral("Combo1"));
    Combo1->setGeometry(twipsRect(1680, 1080, 3855, 300));
    // Its items are the loaded table's addresses, made as the drop-down shows them.
    m_addressModel = new AddressListModel(Combo1);
    Combo1->setModel(m_addressModel);
    Combo1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    if (auto *list = qobject_cast<QListView *>(Combo1->view()))
        list->setUniformItemSizes(true);
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->lineEdit()->setReadOnly(true);
    Combo1->setEditText(QStringLiteral("読み込まれたメールアドレス"));
    Command3 = button("Command3", QStringLiteral("終了"), twipsRect(5880, 5880, 1215, 375));
    // The design text is an instruction, not an attachment: it shows as the box's grey placeholder
    // and the box itself starts empty.
    Text5 = new QPlainTextEdit(client);
    Text5->setPlaceholderText(
        QStringLiteral("添付ファイル名(指定不要)　複数ファイル指定はスペース無しのカンマで区切る"));
    Text5->setObjectName(QStringLiteral("Text5"));
    Text5->setGeometry(twipsRect(1320, 5160, 5775, 615));
    Text5->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text5->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Command4 = button("Command4", QStringLiteral("添付指定..."), twipsRect(120, 5160, 1095, 375));
    Command6 = button("Command6", QStringLiteral("本文読込..."), twipsRect(120, 2280, 1575, 375));
    Command5 = button("Command5", QStringLiteral("宛先の一覧..."), twipsRect(5640, 1080, 1455, 375));
    Command7 = button("Command7", QStringLiteral("差込の確認..."), twipsRect(1920, 2280, 1575, 375));
    cmdTextFont = button("cmdTextFont", QStringLiteral("本文フォント..."), twipsRect(5520, 2280, 1575, 375));
    CheckHTML = new QCheckBox(QStringLiteral("HTML"), client);
    CheckHTML->setObjectName(QStringLiteral("CheckHTML"));
    CheckHTML->setGeometry(twipsRect(3720, 2280, 1575, 375));
    Command8 = button("Command8", QStringLiteral("Command8"), twipsRect(120, 5880, 4095, 375));
    Command8->hide();

    Line1 = new QFrame(client);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    Line1->setGeometry(twipsRect(120, 1545, 7080 - 120, 30));

    // Tab inside the body and the attachment box moves on, like every other field.
    Text4->setTabChangesFocus(true);
    Text5->setTabChangesFocus(true);
    QWidget *previous = nullptr;
    for (QWidget *w : std::initializer_list<QWidget *>{Text1, Text2, Text3, Text4, Command1, Command2, Combo1,
                                                       Command3, Text5, Command4, Command6, Command5,
                                                       Command7, cmdTextFont, CheckHTML, Command8}) {
        if (previous)
            setTabOrder(previous, w);
        previous = w;
    }
    Label1->setBuddy(Text1);
    Label2->setBuddy(Text2);
    Label3->setBuddy(Text3);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    setStatusBar(StatusBar1);
    StatusText = new QLabel(QStringLiteral("ステータス行"), StatusBar1);
    StatusText->setObjectName(QStringLiteral("StatusText"));
    StatusBar1->addWidget(StatusText, 1);
    ProgressBar1 = new QProgressBar(StatusBar1);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setAccessibleName(QStringLiteral("送信の進み具合"));
    ProgressBar1->setFormat(QStringLiteral("%v / %m"));
    ProgressBar1->setMaximumWidth(twipsToPixels(2400));
    StatusBar1->addPermanentWidget(ProgressBar1);
    ProgressBar1->hide();
    m_statusFlush = new QTimer(this);
    m_statusFlush->setSingleShot(true);
    connect(m_statusFlush, &QTimer::timeout, this, &Form1::flushRunStatus);

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    connect(cmdTextFont, &QPushButton::clicked, this, &Form1::cmdTextFont_Click);
    connect(Command3, &QPushButton::clicked, this, &QWidget::close);
    connect(Command8, &QPushButton::clicked, this, &Form1::Command8_Click);
}

void Form1::setAccessibility()
{
    // Fields are named by their label's caption, buttons by their own; screen readers and
    // UI-automation tools find every control by these names.
    const std::pair<QWidget *, QString> names[] = {
        {Text1, Label1->text()},
        {Text2, Label2->text()},
        {Text3, Label3->text()},
        {Text4, QStringLiteral("本文")},
        {Text5, QStringLiteral("添付ファイル名")},
        {Combo1, QStringLiteral("読み込まれたメールアドレス")},
        {Line1, QStringLiteral("区切り線")},
    };
    for (const auto &[widget, name] : names)
        widget->setAccessibleName(name);
    for (QPushButton *b : {Command1, Command2, Command3, Command4, Command5, Command6, Command7, cmdTextFont})
        b->setAccessibleName(b->text());
    CheckHTML->setAccessibleName(CheckHTML->text());
    // The status line and Command8 change their text with what goes on; a fixed name would hide it,
    // so both are read by their own text (a label's and a button's name is its text).
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    Form_Resize();
}

void Form1::Form_Resize()
{
    const QSize frameExtra = frameGeometry().size() - geometry().size();
    const QSize outer = size() + frameExtra;
    const MainWindowLayout l = mainWindowLayout(pixelsToTwips(outer.width()), pixelsToTwips(outer.height()));
    auto place = [](QWidget *w, const TwipsGeometry &g) {
        w->setGeometry(twipsRect(g.left, g.top, g.width, g.height));
    };
    place(Text1, l.text1);
    place(Text2, l.text2);
    place(Text3, l.text3);
    place(Text4, l.text4);
    place(Text5, l.text5);
    Line1->setGeometry(twipsRect(120, 1545, l.line1Right - 120, 30));
    place(Combo1, l.combo1);
    place(Command5, l.command5);
    place(Command1, l.command1);
    place(Command3, l.command3);
    place(Command4, l.command4);
}

void Form1::createMenus()
{
    auto menu = [this](const char *name, const QString &caption) {
        QMenu *m = menuBar()->addMenu(caption);
        m->setObjectName(QString::fromLatin1(name));
        return m;
    };
    auto item = [](QMenu *m, const char *name, const QString &caption, QKeySequence shortcut = {}) {
        QAction *a = m->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        if (!shortcut.isEmpty()) {
            a->setShortcut(shortcut);
            a->setShortcutContext(Qt::WindowShortcut);
        }
        return a;
    };
    auto separator = [](QMenu *m, const char *name) {
        m->addSeparator()->setObjectName(QString::fromLatin1(name));
    };

    mnuFile = menu("mnuFile", QStringLiteral("ﾌｧｲﾙ(&F)"));
    mnuFileAddressRead = item(mnuFile, "mnuFileAddressRead", QStringLiteral("ﾒｰﾙの宛先(送信先)を読込(&A)..."),
                              QKeySequence(Qt::CTRL | Qt::Key_A));
    mnuFileAddressReadOutlook = item(mnuFile, "mnuFileAddressReadOutlook",
                                     QStringLiteral("ﾒｰﾙの宛先(送信先)をOutlookアドレス帳から読込(&O)"));
    mnuFileAddressReadODBC = item(mnuFile, "mnuFileAddressReadODBC",
                                  QStringLiteral("ﾒｰﾙの宛先（送信先）をODBCデータベースから読込(&D)..."));
    separator(mnuFile, "mnuSP0");
    mnuFileTextRead = item(mnuFile, "mnuFileTextRead", QStringLiteral("ﾒｰﾙの本文を読込(&T)..."),
                           QKeySequence(Qt::CTRL | Qt::Key_T));
    mnuFileIncSet = item(mnuFile, "mnuFileIncSet", QStringLiteral("ﾒｰﾙの添付ﾌｧｲﾙを指定(&I)..."),
                         QKeySequence(Qt::CTRL | Qt::Key_I));
    mnuFileJobSave = item(mnuFile, "mnuFileJobSave", QStringLiteral("送信の設定を保存(&J)..."));
    separator(mnuFile, "mnuSP1");
    mnuExit = item(mnuFile, "mnuExit", QStringLiteral("終了(&E)"));

    mnuEdit = menu("mnuEdit", QStringLiteral("編集(&E)"));
    mnuEditCut =
        item(mnuEdit, "mnuEditCut", QStringLiteral("本文を全クリア(&T)"), QKeySequence(Qt::CTRL | Qt::Key_X));
    mnuEditCopy =
        item(mnuEdit, "mnuEditCopy", QStringLiteral("コピー(&C)"), QKeySequence(Qt::CTRL | Qt::Key_C));
    mnuEditPast =
        item(mnuEdit, "mnuEditPast", QStringLiteral("貼り付け(&P)"), QKeySequence(Qt::CTRL | Qt::Key_V));
    mnuEditDelete =
        item(mnuEdit, "mnuEditDelete", QStringLiteral("削除(&D)"), QKeySequence(Qt::CTRL | Qt::Key_D));

    mnuView = menu("mnuView", QStringLiteral("表示(&V)"));
    mnuViewAddressCheck = item(mnuView, "mnuViewAddressCheck", QStringLiteral("読み込んだ宛先の一覧(&C)..."));
    mnuViewInsertCheck = item(mnuView, "mnuViewInsertCheck", QStringLiteral("本文への差込状況の確認(&H)..."));
    separator(mnuView, "mnuViewDummy1");
    mnuViewFont = item(mnuView, "mnuViewFont", QStringLiteral("本文フォント(&F)..."));

    mnuMailSend = menu("mnuMailSend", QStringLiteral("送信(&R)"));
    mnuMailSendStart = item(mnuMailSend, "mnuMailSendStart", QStringLiteral("ﾒｰﾙの送信開始(&S)"));
    mnuMailSendCheck = item(mnuMailSend, "mnuMailSendCheck", QStringLiteral("送信前の確認(&K)..."));
    mnuMailSendTest = item(mnuMailSend, "mnuMailSendTest", QStringLiteral("テスト送信(&E)..."));
    separator(mnuMailSend, "mnuMailSendDummy1");
    mnuMailSendTimer = item(mnuMailSend, "mnuMailSendTimer", QStringLiteral("ﾒｰﾙのﾀｲﾏｰ送信(&T)"));
    mnuMailSendAt = item(mnuMailSend, "mnuMailSendAt", QStringLiteral("日時を指定して送信(&D)..."));
    mnuMailSendScheduled = item(mnuMailSend, "mnuMailSendScheduled", QStringLiteral("予約した送信(&Y)..."));
    mnuMailSendBounces = item(mnuMailSend, "mnuMailSendBounces", QStringLiteral("不達を確認(&B)..."));
    separator(mnuMailSend, "mnuMailSendDummy2");
    mnuMailSendOption = item(mnuMailSend, "mnuMailSendOption", QStringLiteral("送信ｵﾌﾟｼｮﾝ(&O)..."));
    mnuMailSendLimits = item(mnuMailSend, "mnuMailSendLimits", QStringLiteral("送信制限(&L)..."));
    mnuMailSendSignIn = item(mnuMailSend, "mnuMailSendSignIn", QStringLiteral("サインインの設定(&G)..."));
    mnuMailSendMailbox = item(mnuMailSend, "mnuMailSendMailbox", QStringLiteral("受信箱の設定(&M)..."));

    mnuHelp = menu("mnuHelp", QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    mnuHelpMokuji = item(mnuHelp, "mnuHelpMokuji", QStringLiteral("目次(&C)..."));
    separator(mnuHelp, "mnuHelpSP1");
    mnuHelpVersion = item(mnuHelp, "mnuHelpVersion", QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(&A)..."));

    // Text fields claim Ctrl+A, Ctrl+C, Ctrl+V, Ctrl+X for themselves; the window's menu shortcuts
    // win over them, so the Edit commands act on the body whichever field has the focus.
    for (QWidget *w : std::initializer_list<QWidget *>{Text1, Text2, Text3, Text4, Text5, Combo1->lineEdit()})
        w->installEventFilter(this);

    connect(mnuFileAddressRead, &QAction::triggered, this, &Form1::Command2_Click);
    connect(mnuFileAddressReadOutlook, &QAction::triggered, this,
            [this] { AddressRead(QStringLiteral("OUTLOOK")); });
    connect(mnuFileAddressReadODBC, &QAction::triggered, this,
            [this] { AddressRead(QStringLiteral("ODBC")); });
    connect(mnuFileTextRead, &QAction::triggered, this, &Form1::Command6_Click);
    connect(mnuFileIncSet, &QAction::triggered, this, &Form1::Command4_Click);
    connect(mnuFileJobSave, &QAction::triggered, this, &Form1::mnuFileJobSave_Click);
    connect(mnuExit, &QAction::triggered, this, &QWidget::close);
    connect(mnuEditCut, &QAction::triggered, this, &Form1::mnuEditCut_Click);
    connect(mnuEditCopy, &QAction::triggered, this, &Form1::mnuEditCopy_Click);
    connect(mnuEditPast, &QAction::triggered, this, &Form1::mnuEditPast_Click);
    connect(mnuEditDelete, &QAction::triggered, this, &Form1::mnuEditDelete_Click);
    connect(mnuViewAddressCheck, &QAction::triggered, this, &Form1::Command5_Click);
    connect(mnuViewInsertCheck, &QAction::triggered, this, &Form1::Command7_Click);
    connect(mnuViewFont, &QAction::triggered, this, &Form1::cmdTextFont_Click);
    connect(mnuMailSendStart, &QAction::triggered, this, &Form1::mnuMailSendStart_Click);
    connect(mnuMailSendTimer, &QAction::triggered, this, &Form1::mnuMailSendTimer_Click);
    connect(mnuMailSendAt, &QAction::triggered, this, &Form1::mnuMailSendAt_Click);
    connect(mnuMailSendScheduled, &QAction::triggered, this, &Form1::mnuMailSendScheduled_Click);
    connect(mnuMailSendOption, &QAction::triggered, this, &Form1::mnuMailSendOption_Click);
    connect(mnuMailSendLimits, &QAction::triggered, this, &Form1::mnuMailSendLimits_Click);
    connect(mnuMailSendSignIn, &QAction::triggered, this, &Form1::mnuMailSendSignIn_Click);
    connect(mnuMailSendMailbox, &QAction::triggered, this, &Form1::mnuMailSendMailbox_Click);
    connect(mnuMailSendBounces, &QAction::triggered, this, [this] { m_mailing.checkMailbox(); });
    connect(mnuMailSendCheck, &QAction::triggered, this, &Form1::mnuMailSendCheck_Click);
    connect(mnuMailSendTest, &QAction::triggered, this, &Form1::mnuMailSendTest_Click);
    m_testSender = new TestSender(m_dialogs, this);
    m_testSender->setLogin(
        [this](const MailServerParse &server) { return m_mailing.logins().loginFor(server); });
    connect(m_testSender, &TestSender::status, this, [this](const QString &text) { setStatusText(text); });
    connect(m_testSender, &TestSender::busyChanged, mnuMailSendTest,
            [this](bool busy) { mnuMailSendTest->setEnabled(!busy); });
    connect(mnuHelpMokuji, &QAction::triggered, this, &Form1::mnuHelpMokuji_Click);
    connect(mnuHelpVersion, &QAction::triggered, this, &Form1::mnuHelpVersion_Click);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeySequence pressed(key->keyCombination());
        for (const QMenu *m : {mnuFile, mnuEdit, mnuView, mnuMailSend, mnuHelp}) {
            for (const QAction *a : m->actions()) {
                if (!a->shortcut().isEmpty() && a->shortcut() == pressed) {
                    event->ignore();
                    return true;
                }
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::Form_Load(const QString &strCommandLine)
{
    Text1->setText(m_settings.text(Settings::ServerName));
    Text2->setText(m_settings.text(Settings::SenderName));
    m_placement = new KeptPlacement(*this, m_settings, Settings::MainWindow);

    QFont font(m_settings.text(Settings::BodyFontName));
    font.setBold(m_settings.flag(Settings::BodyFontBold));
    font.setItalic(m_settings.flag(Settings::BodyFontItalic));
    font.setPointSizeF(m_settings.number(Settings::BodyFontSize));
    Text4->setFont(font);

    m_mailing.useSettings(m_settings);

    setStatusText(QString());
    if (!strCommandLine.isEmpty() && fileExists(strCommandLine))
        AddressRead(strCommandLine);
    // Runs that a crash, a power loss or a stop left unfinished may be continued. Their journals
    // are read once the window is up: fifty journals of large runs take seconds to read, and the
    // window paints and answers meanwhile.
    QTimer::singleShot(0, this, [this] {
        m_mailing.offerUnfinishedRuns();
        m_mailing.tellLostScheduledRuns();
    });
}

QString Form1::statusText() const
{
    return StatusText->text();
}

void Form1::setStatusText(const QString &text)
{
    StatusText->setText(text);
    // Loading does not return to the event loop until it is done; show progress now.
    StatusBar1->repaint();
}

void Form1::showFailure(const Failure &failure)
{
    ask({failure.description, QString::number(failure.number), UserDialogs::Icon::Critical,
         UserDialogs::Buttons::Ok});
}

void Form1::Command2_Click()
{
    setStatusText(QString());
    UserDialogs::FileRequest request;
    request.filter = RecipientFilter;
    request.filterIndex = 1;
    const QString name = m_dialogs.openFileName(this, request);
    if (!name.isEmpty())
        AddressRead(name);
}

void Form1::Command8_Click()
{
    m_mailing.stop();
}

void Form1::mnuMailSendStart_Click()
{
    Command1_Click();
}

void Form1::ctlEnabled(bool enabled)
{
    for (QWidget *w : std::initializer_list<QWidget *>{Text1, Text2, Text3, Text4, Text5, Combo1, CheckHTML,
                                                       Command1, Command2, Command3, Command4, Command5,
                                                       Command6, Command7, cmdTextFont})
        w->setEnabled(enabled);
    for (QMenu *m : {mnuFile, mnuEdit, mnuView, mnuMailSend, mnuHelp})
        m->menuAction()->setEnabled(enabled);
}

// --- send run (Command1, mnuMailSendTimer, mnuMailSendOption, Command4) ---

void Form1::Command1_Click()
{
    m_mailing.startRun();
}

SendInputs Form1::sendInputs() const
{
    return {Combo1->count() > 0,  Text1->text(),          Text2->text(), Text3->text(), Text4->toPlainText(),
            Text5->toPlainText(), CheckHTML->isChecked(), m_textVersion, m_bodyFolder};
}

void Form1::showStatus(const QString &text, bool paintNow)
{
    StatusText->setText(text);
    // Loading does not return to the event loop until it is done; show progress now.
    if (paintNow)
        StatusBar1->repaint();
}

void Form1::showRunProgress(const QString &text, int row, int rows)
{
    m_pendingStatus = text;
    m_progressRow = row;
    m_progressRows = rows;
    if (m_statusFlush->isActive())
        return;
    const qint64 since = m_mailing.clock().monotonicMs() - m_lastFlushMs;
    constexpr qint64 FlushMs = 200;
    if (since >= FlushMs)
        flushRunStatus();
    else
        m_statusFlush->start(int(FlushMs - since));
}

void Form1::flushRunStatus()
{
    m_statusFlush->stop();
    if (m_activity != Activity::Sending)
        return;
    m_lastFlushMs = m_mailing.clock().monotonicMs();
    if (StatusText->text() != m_pendingStatus)
        setStatusText(m_pendingStatus);
    ProgressBar1->setMaximum(qMax(1, m_progressRows));
    ProgressBar1->setValue(m_progressRow);
    // The title tells the progress also while the window is minimised.
    setWindowTitle(QStringLiteral("Velmora - 送信中 %1/%2").arg(m_progressRow).arg(m_progressRows));
}

void Form1::showActivity(Activity activity)
{
    if (activity == Activity::Idle) {
        flushRunStatus();
        m_statusFlush->stop();
        ProgressBar1->hide();
        setWindowTitle(QStringLiteral("Velmora"));
        Command8->hide();
    } else {
        // The stop button's caption names what it stops.
        Command8->setText(activity == Activity::Sending     ? QStringLiteral("送信を中止する")
                          : activity == Activity::Importing ? QStringLiteral("読込を中止する")
                                                            : QStringLiteral("送信タイマーを停止する"));
        Command8->show();
        if (activity == Activity::Sending) {
            m_progressRow = 0;
            ProgressBar1->setRange(0, 1);
            ProgressBar1->setValue(0);
            ProgressBar1->show();
        }
    }
    m_activity = activity;
    ctlEnabled(activity == Activity::Idle);
}

void Form1::showAddresses(const RecipientAddresses &addresses)
{
    m_addressModel->setAddresses(addresses);
    if (!addresses.isEmpty())
        Combo1->setEditText(addresses.at(0));
}

UserDialogs::Answer Form1::ask(const UserDialogs::Message &message)
{
    // A question during a run comes after the status it follows.
    flushRunStatus();
    return m_dialogs.messageBox(this, message);
}

void Form1::showText(const QString &caption, const QString &text)
{
    Form3::showText(m_settings, this, caption, text);
}

void Form1::chooseOdbcSource(QString &connection, QString &tableOrStatement)
{
    frmODBC dialog(connection, tableOrStatement, this);
    dialog.exec();
}

void Form1::clearAttachments()
{
    Text5->setPlainText(QString());
}

void Form1::restoreInputs(const SendInputs &inputs)
{
    Text1->setText(inputs.server);
    Text2->setText(inputs.sender);
    Text3->setText(inputs.subject);
    Text4->setPlainText(inputs.body);
    Text5->setPlainText(inputs.attachments);
    CheckHTML->setChecked(inputs.html);
    m_textVersion = inputs.plainText;
    m_bodyFolder = inputs.bodyFolder;
}

std::optional<PasswordAnswer> Form1::askPassword(const PasswordRequest &request)
{
    flushRunStatus();
    frmPassword dialog(request, this);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.answer();
}

TokenReply Form1::signIn(const OAuthClient &client, const QString &user)
{
    flushRunStatus();
    // The system browser takes the operator to the provider; the dialog waits, and its cancel
    // button ends the sign-in if the browser never comes back.
    OAuthSignIn flow(client, user, [](const QUrl &url) { return QDesktopServices::openUrl(url); });
    frmSignIn dialog(user, this);
    connect(&flow, &OAuthSignIn::finished, &dialog, &QDialog::accept);
    connect(&dialog, &QDialog::rejected, &flow, &OAuthSignIn::cancel);
    flow.start();
    dialog.setAddress(flow.authorizationUrl().toString(QUrl::FullyEncoded));
    if (!flow.isFinished())
        dialog.exec();
    flow.cancel();
    return flow.result();
}

void Form1::Command4_Click()
{
    setStatusText(QString());
    UserDialogs::FileRequest request;
    request.filter = QStringLiteral("すべてのファイル (*.*)|*.*");
    request.filterIndex = 1;
    const QString name = m_dialogs.openFileName(this, request);
    if (name.isEmpty())
        return;
    const QString current = Text5->toPlainText();
    Text5->setPlainText(trimSpaces(current).isEmpty() ? name : current + u',' + name);
}

void Form1::mnuFileJobSave_Click()
{
    const QString path =
        m_dialogs.saveFileName(this, {QStringLiteral("送信の設定を保存"), MailingJobFilter, 1, QString()});
    if (!path.isEmpty())
        m_mailing.saveJob(path);
}

void Form1::mnuMailSendTimer_Click()
{
    m_mailing.startTimer();
}

void Form1::mnuMailSendAt_Click()
{
    frmSchedule dialog(m_mailing.clock(), m_dialogs, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (dialog.handOff())
        m_mailing.handOff(dialog.at(), dialog.askWhenLate());
    else
        m_mailing.startTimerAt(dialog.at(), dialog.askWhenLate());
}

void Form1::mnuMailSendScheduled_Click()
{
    frmScheduled dialog(m_dialogs, this);
    dialog.exec();
}

void Form1::mnuMailSendOption_Click()
{
    // The dialog sets both values when it is accepted and neither when it is cancelled.
    qint16 interval = m_mailing.sendInterval(), hours = m_mailing.timerHours();
    bool bccSelf = m_mailing.bccSelf(), iso2022jp = m_mailing.iso2022jp();
    frmOptions dialog(interval, hours, m_dialogs, this);
    dialog.setMailOptions(bccSelf, iso2022jp);
    dialog.exec();
    m_mailing.setSendInterval(interval);
    m_mailing.setTimerHours(hours);
    m_mailing.setBccSelf(bccSelf);
    m_mailing.setIso2022jp(iso2022jp);
}

void Form1::mnuMailSendLimits_Click()
{
    SendLimits limits = m_mailing.sendLimits();
    frmLimits dialog(limits, m_dialogs, this);
    dialog.exec();
    m_mailing.setSendLimits(limits);
}

void Form1::mnuMailSendMailbox_Click()
{
    MailboxSettings settings = m_mailing.mailbox().settings();
    frmMailbox dialog(settings, Text1->text(), m_dialogs, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_mailing.mailbox().setSettings(settings);
    writeMailboxSettings(m_settings, settings);
    m_settings.sync();
}

void Form1::mnuMailSendSignIn_Click()
{
    frmOAuth dialog(m_mailing, m_dialogs, this);
    dialog.exec();
}

// --- recipient list window ---

void Form1::Command5_Click()
{
    // The table made at start always ends here.
    const RecipientTable &table = m_mailing.table();
    const bool noAddressName = !table.hasCell(0, 1) || table.cellView(0, 1).isEmpty();
    if (noAddressName && table.lastRow() <= 1) {
        m_dialogs.messageBox(this, {QStringLiteral("先に宛先の読み込みをおこなってください"), QString(),
                                    UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return;
    }
    Form2 list(m_settings, m_dialogs, table, bodyText(), this);
    list.exec();
}

// --- body loading, editing, font and merge preview ---

QString Form1::bodyText() const
{
    QString text = Text4->toPlainText();
    text.replace(u'\n', QStringLiteral("\r\n"));
    return text;
}

QString Form1::bodySelection() const
{
    QString text = Text4->textCursor().selectedText();
    text.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    text.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return text;
}

void Form1::Command6_Click()
{
    setStatusText(QString());
    UserDialogs::FileRequest request;
    request.filter = BodyFilter;
    request.filterIndex = CheckHTML->isChecked() ? 2 : 1;
    const QString name = m_dialogs.openFileName(this, request);
    if (name.isEmpty())
        return;
    // The body is replaced only by a file read whole; anything else leaves it as it was.
    Result<QString> body = readBodyFile(name);
    if (!body) {
        showFailure(body.failure());
        return;
    }
    Text4->setPlainText(body.value());
    // The folder the body's relative image paths start in; an HTML body's text version is the
    // file of the same name ending in .txt beside it, when there is one.
    m_bodyFolder = QFileInfo(name).absolutePath();
    m_textVersion.clear();
    const QString textVersion = textVersionOf(name);
    if (!textVersion.isEmpty()) {
        if (Result<QString> text = readBodyFile(textVersion)) {
            m_textVersion = text.value();
            setStatusText(QStringLiteral("本文を読み込みました（テキスト版：%1）")
                              .arg(QFileInfo(textVersion).fileName()));
            return;
        }
    }
    setStatusText(QStringLiteral("本文を読み込みました"));
}

void Form1::Command7_Click()
{
    const QString body = bodyText();
    if (!mergeCheckReady(m_mailing.table(), body)) {
        m_dialogs.messageBox(this,
                             {QStringLiteral("先に宛先、本文の読み込みをおこなってください"),
                              applicationTitle(), UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return;
    }
    MergePreviewWindow preview(m_settings, this, m_mailing.table(), sendInputs(), 1,
                               m_mailing.preflightOptions());
    preview.setTestSend(
        [this, &preview](int row) { m_testSender->start(&preview, m_mailing.table(), sendInputs(), row); });
    preview.setTestSendBusy(m_testSender->busy());
    connect(m_testSender, &TestSender::busyChanged, &preview, &MergePreviewWindow::setTestSendBusy);
    preview.exec();
}

// --- check before sending and test send ---

void Form1::mnuMailSendCheck_Click()
{
    if (m_check)
        return;
    if (Combo1->count() == 0) {
        m_dialogs.messageBox(this, {QStringLiteral("先に宛先の読み込みをおこなってください"), QString(),
                                    UserDialogs::Icon::Warning, UserDialogs::Buttons::Ok});
        return;
    }
    // The table is copied (its cells are shared until one side changes), so the window goes on
    // answering, and may even load another table, while every row is merged and checked.
    mnuMailSendCheck->setEnabled(false);
    setStatusText(QStringLiteral("送信前の確認中..."));
    m_check = runOffThread<PreflightReport>(
        this,
        [table = m_mailing.table(), inputs = sendInputs(), options = m_mailing.preflightOptions()] {
            return checkBeforeSending(table, inputs, options);
        },
        [this](PreflightReport report) {
            m_check.clear();
            mnuMailSendCheck->setEnabled(true);
            setStatusText(report.clean() ? QStringLiteral("送信前の確認：問題は見つかりませんでした")
                                         : QStringLiteral("送信前の確認：問題 %1 件").arg(report.problems));
            Form3::showText(m_settings, this, QStringLiteral("送信前の確認"), report.text);
        });
}

void Form1::mnuMailSendTest_Click()
{
    m_testSender->start(this, m_mailing.table(), sendInputs(), 1);
}

void Form1::cmdTextFont_Click()
{
    const QFont current = Text4->font();
    UserDialogs::FontChoice choice{current.family(), current.bold(), current.italic(),
                                   float(current.pointSizeF())};
    if (!m_dialogs.chooseFont(this, choice))
        return;
    // Only these four values change; underline, strikeout and colour stay as they are.
    QFont font = current;
    font.setFamily(choice.name);
    font.setBold(choice.bold);
    font.setItalic(choice.italic);
    if (choice.size > 0)
        font.setPointSizeF(choice.size);
    Text4->setFont(font);
}

void Form1::mnuEditCut_Click()
{
    const UserDialogs::Answer a = m_dialogs.messageBox(
        this, {QStringLiteral("本文をクリアして良いですか？クリアすると本文はクリップボードに保存されます"),
               QStringLiteral("本文のクリア"), UserDialogs::Icon::Question, UserDialogs::Buttons::OkCancel});
    if (a != UserDialogs::Answer::Ok)
        return;
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(bodyText());
    Text4->clear();
}

void Form1::mnuEditCopy_Click()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(bodySelection());
}

void Form1::mnuEditPast_Click()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasText()) {
        m_dialogs.messageBox(this, {QStringLiteral("本文に貼り付けできない形式のデータです"),
                                    QStringLiteral("本文の貼り付け"), UserDialogs::Icon::Warning,
                                    UserDialogs::Buttons::Ok});
        return;
    }
    Text4->insertPlainText(data->text());
}

void Form1::mnuEditDelete_Click()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(bodySelection());
    Text4->textCursor().removeSelectedText();
}

// --- help and version ---

void Form1::mnuHelpMokuji_Click()
{
    HelpWindow::open(m_dialogs, this, helpContentsPage());
}

void Form1::mnuHelpVersion_Click()
{
    FormAbout about(m_dialogs, this);
    about.exec();
}

bool Form1::Form_QueryUnload()
{
    return m_mailing.requestClose();
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (!Form_QueryUnload()) {
        event->ignore();
        return;
    }
    Form_Unload();
    event->accept();
}

void Form1::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // A password typed into the server box lasts for this session only.
    m_settings.setText(Settings::ServerName, mailServerWithoutPassword(Text1->text()));
    m_settings.setText(Settings::SenderName, Text2->text());
    m_placement->save();
    const QFont font = Text4->font();
    m_settings.setText(Settings::BodyFontName, font.family());
    m_settings.setFlag(Settings::BodyFontBold, font.bold());
    m_settings.setFlag(Settings::BodyFontItalic, font.italic());
    m_settings.setNumber(Settings::BodyFontSize, font.pointSizeF());
    m_settings.setNumber(Settings::SendInterval, m_mailing.sendInterval());
    m_settings.setFlag(Settings::BccSelf, m_mailing.bccSelf());
    m_settings.setFlag(Settings::Iso2022jp, m_mailing.iso2022jp());
    writeSendLimits(m_settings, m_mailing.sendLimits());
    writeOAuthSettings(m_settings, m_mailing.oauthSettings());
    m_settings.sync();
}
