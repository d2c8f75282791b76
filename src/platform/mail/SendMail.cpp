#include "SendMail.h"

#include "MailArguments.h"
#include "MailServer.h"
#include "MimeComposer.h"
#include "Outbox.h"
#include "SmtpConnection.h"

#include <curl/curl.h>

#include <csignal>
#include <ctime>
#include <memory>
#include <mutex>

#include <pthread.h>

namespace
{

// Writing to a socket the server closed raises SIGPIPE, whose default action ends the process.
// The signal is blocked in this thread for the duration of the call and a pending one is
// consumed before unblocking, so other threads and the process's own handlers are unaffected.
class SigpipeBlock
{
  public:
    SigpipeBlock()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &m_previous);
        // While unblocked, a SIGPIPE of this thread cannot have been pending.
        m_blocked = sigismember(&m_previous, SIGPIPE) != 1;
    }
    ~SigpipeBlock()
    {
        if (!m_blocked)
            return;
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            sigtimedwait(&pipe, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

  private:
    sigset_t m_previous;
    bool m_blocked = false;
};

// The one kept destination, shared by all threads. Its destructor runs at process exit and ends
// the SMTP session; it is constructed after curl_global_init, so it is destroyed before the TLS
// library's own exit handlers run.
struct SendMailState {
    SendMailState()
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        initMimeLibrary();
    }
    ~SendMailState();
    void close()
    {
        smtp.reset();
        outbox.reset();
        serverText.clear();
    }

    std::mutex mutex;
    SendMailOptions options;
    std::unique_ptr<MimeComposer> composer = std::make_unique<MimeComposer>();
    QString serverText; // the server text the kept destination belongs to
    std::unique_ptr<SmtpConnection> smtp;
    std::unique_ptr<Outbox> outbox;
};

SendMailState::~SendMailState()
{
    SigpipeBlock sigpipe;
    std::lock_guard lock(mutex);
    close();
}

SendMailState &state()
{
    static SendMailState s;
    return s;
}

SmtpSettings smtpSettings(const SendMailOptions &o)
{
    return {o.connectTimeoutSeconds, o.responseTimeoutSeconds,  o.caFile, o.reuseConnection,
            o.idleLimitSeconds,      o.quitTimeoutMilliseconds, o.clock};
}

} // namespace

QString SendMail(const QString &server, const QString &recipients, const QString &sender,
                 const QString &subject, const QString &body, const QString &attachments)
{
    SendMailState &s = state();

    const MailServerParse destination = parseMailServer(server);
    if (!destination.error.isEmpty())
        return destination.error;
    const MailRecipient recipient = parseRecipients(recipients);
    if (!recipient.error.isEmpty())
        return recipient.error;
    const MailSender from = parseSender(sender);
    if (!from.error.isEmpty())
        return from.error;
    if (QString e = checkSubject(subject); !e.isEmpty())
        return e;

    SigpipeBlock sigpipe;
    std::lock_guard lock(s.mutex);

    const MessageFields fields{from.name,
                               from.address,
                               recipient.address,
                               subject,
                               body,
                               recipient.html,
                               splitAttachments(attachments)};
    const BuiltMessage message = s.composer->compose(fields);
    if (!message.error.isEmpty())
        return message.error;

    if (server != s.serverText)
        s.close();
    s.serverText = server;

    if (destination.server.kind == MailServer::Kind::Outbox) {
        if (!s.outbox)
            s.outbox = std::make_unique<Outbox>(destination.server.folder);
        return s.outbox->write(message.bytes);
    }
    const SmtpSettings settings = smtpSettings(s.options);
    if (!s.smtp || !(s.smtp->settings() == settings))
        s.smtp = std::make_unique<SmtpConnection>(destination.server, settings);
    return s.smtp->send(from.address, recipient.address, message.bytes);
}

void SendMailShutdown()
{
    SendMailState &s = state();
    SigpipeBlock sigpipe;
    std::lock_guard lock(s.mutex);
    s.close();
}

SendMailOptions sendMailOptions()
{
    SendMailState &s = state();
    std::lock_guard lock(s.mutex);
    return s.options;
}

void setSendMailOptions(const SendMailOptions &options)
{
    SendMailState &s = state();
    std::lock_guard lock(s.mutex);
    s.options = options;
}
