#include "cli/TerminalView.h"

#include "platform/Failure.h"

#include <QMetaObject>
#include <QTimer>

#include <string_view>

#include <termios.h>
#include <unistd.h>

namespace
{
using Answer = UserDialogs::Answer;

// A terminal's bar is drawn a few times a second at most; plain lines come every few seconds.
constexpr qint64 BarEveryMs = 100;
constexpr qint64 LineEveryMs = 5000;
constexpr int BarWidth = 30;

QString oneLine(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).trimmed();
}

QString answerText(Answer answer)
{
    switch (answer) {
    case Answer::Yes: return QStringLiteral("はい");
    case Answer::No: return QStringLiteral("いいえ");
    case Answer::Cancel: return QStringLiteral("キャンセル");
    case Answer::Ok: break;
    }
    return QStringLiteral("OK");
}

bool is(const UserDialogs::Message &message, const char *topic)
{
    return message.topic && std::string_view(message.topic) == topic;
}

// A line typed on the terminal without showing it.
std::optional<QString> readHidden()
{
    termios old{};
    const bool hide = tcgetattr(STDIN_FILENO, &old) == 0;
    if (hide) {
        termios quiet = old;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    char c = 0;
    bool ended = false;
    while (read(STDIN_FILENO, &c, 1) == 1) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line.push_back(c);
    }
    if (hide)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    if (!ended && line.empty())
        return std::nullopt;
    return QString::fromStdString(line);
}
} // namespace

TerminalView::TerminalView(const SendInputs &inputs, const SendCommandOptions &options, std::FILE *out)
    : m_inputs(inputs), m_options(options), m_out(out), m_terminal(isatty(fileno(out)) == 1)
{
}

void TerminalView::print(const QString &text)
{
    endProgress();
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    std::fflush(m_out);
}

void TerminalView::endProgress()
{
    if (!m_barShown)
        return;
    m_barShown = false;
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

SendInputs TerminalView::sendInputs() const
{
    SendInputs inputs = m_inputs;
    inputs.haveAddresses = m_haveAddresses;
    return inputs;
}

void TerminalView::showStatus(const QString &text, bool paintNow)
{
    // An import tells its count thousands of times; a log wants the texts that stand.
    if (text.isEmpty() || text == m_lastStatus || !paintNow)
        return;
    m_lastStatus = text;
    print(text);
}

void TerminalView::showRunProgress(const QString &text, int row, int rows)
{
    const bool last = rows > 0 && row >= rows;
    if (m_sinceDrawn.isValid() && !last && m_sinceDrawn.elapsed() < (m_terminal ? BarEveryMs : LineEveryMs))
        return;
    m_sinceDrawn.start();
    const QString count = QStringLiteral("%1/%2").arg(row).arg(rows);
    if (!m_terminal) {
        if (!text.isEmpty())
            print(count + QStringLiteral("  ") + oneLine(text));
        return;
    }
    const int filled = rows > 0 ? int(qint64(BarWidth) * row / rows) : 0;
    const int percent = rows > 0 ? int(qint64(100) * row / rows) : 0;
    QString line = QStringLiteral("\r[") + QString(filled, u'#') + QString(BarWidth - filled, u'.') +
                   QStringLiteral("] %1% ").arg(percent, 3) + count + QStringLiteral("  ") +
                   oneLine(text).left(40) + QStringLiteral("\x1b[K");
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    std::fflush(m_out);
    m_barShown = true;
}

void TerminalView::showAddresses(const RecipientAddresses &addresses)
{
    m_haveAddresses = !addresses.isEmpty();
}

void TerminalView::showActivity(Activity activity)
{
    if (activity == Activity::Idle && m_idle)
        QTimer::singleShot(0, [idle = m_idle] { idle(); });
}

UserDialogs::Answer TerminalView::ask(const UserDialogs::Message &message)
{
    const QString title = message.title.isEmpty() ? applicationTitle() : message.title;
    if (message.buttons == UserDialogs::Buttons::Ok) {
        print(QStringLiteral("[%1] %2").arg(title, oneLine(message.text)));
        return Answer::Ok;
    }
    Answer answer = enterAnswer(message);
    QString why;
    if (is(message, MailingTopic::ContinueRun)) {
        answer = m_options.resume ? Answer::Yes : Answer::No;
        why = SendOption::Resume;
    } else if (is(message, MailingTopic::ResendUnknown)) {
        answer = m_options.resendUnknown ? Answer::Yes : Answer::No;
        why = SendOption::ResendUnknown;
    } else if (is(message, MailingTopic::CheckProblems)) {
        answer = m_options.ignoreCheck ? Answer::No : Answer::Yes;
        why = SendOption::IgnoreCheck;
    } else if (is(message, MailingTopic::OnePerAddress)) {
        answer = m_options.everyRow ? Answer::No : Answer::Yes;
        why = SendOption::EveryRow;
    } else if (is(message, MailingTopic::WaitForLimit)) {
        // Nobody waits a day for a command: the run stops, and --resume goes on later.
        answer = Answer::No;
    }
    QString line = QStringLiteral("[%1] %2\n→ %3").arg(title, oneLine(message.text), answerText(answer));
    if (!why.isEmpty())
        line += QStringLiteral("（--%1 で変えられます）").arg(why);
    print(line);
    return answer;
}

void TerminalView::showText(const QString &caption, const QString &text)
{
    print(QStringLiteral("[%1]\n%2").arg(caption, oneLine(text)));
}

void TerminalView::chooseOdbcSource(QString &, QString &)
{
    // The job names its data source and table or query; the loader was given them.
}

void TerminalView::clearAttachments()
{
    m_inputs.attachments.clear();
}

void TerminalView::restoreInputs(const SendInputs &inputs)
{
    m_inputs = inputs;
}

std::optional<PasswordAnswer> TerminalView::askPassword(const PasswordRequest &request)
{
    const QString account = request.user + u' ' + request.endpoint;
    if (isatty(STDIN_FILENO) != 1 || !m_terminal) {
        const Failure failure = Failure::passwordNeedsWindow(account);
        ask({failure.description, QString::number(failure.number)});
        return std::nullopt;
    }
    if (!request.refusal.isEmpty())
        print(oneLine(request.refusal));
    endProgress();
    const QByteArray prompt = QStringLiteral("パスワード（%1）: ").arg(account).toUtf8();
    std::fwrite(prompt.constData(), 1, size_t(prompt.size()), m_out);
    std::fflush(m_out);
    const std::optional<QString> typed = readHidden();
    std::fputc('\n', m_out);
    if (!typed || typed->isEmpty())
        return std::nullopt;
    // Kept for this command only: the keyring is the window's to fill.
    return PasswordAnswer{*typed, false};
}

TokenReply TerminalView::signIn(const OAuthClient &, const QString &user)
{
    TokenReply reply;
    reply.status = TokenReply::Status::GrantRefused;
    reply.failure = Failure::signInNeedsWindow(user);
    return reply;
}

void TerminalView::showRunEnded(const SendSummary &summary)
{
    m_summary = summary;
}
