#include "platform/mail/SendMail.h"

#include "platform/mail/MailArguments.h"
#include "platform/mail/MailServer.h"
#include "platform/mail/MailSession.h"
#include "platform/mail/SigpipeBlock.h"

#include <QFile>

#include <memory>
#include <mutex>

#include <sys/stat.h>

namespace
{

// What a file was when its content was read: a file written over or replaced since gives
// another stamp, and its mail is made from the file as it is now.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{}, changed{};
    bool operator==(const FileStamp &o) const
    {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

QList<FileStamp> stampsOf(const QStringList &paths)
{
    QList<FileStamp> stamps;
    for (const QString &path : paths) {
        FileStamp f;
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) == 0)
            f = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
        stamps += f;
    }
    return stamps;
}

// The one kept session, shared by all threads. Its destructor runs at process exit and ends the
// SMTP session; it is constructed after libcurl's initialisation, so it is destroyed before the
// TLS library's own exit handlers run.
struct SendMailState {
    SendMailState() { initMailLibraries(); }
    ~SendMailState();
    void close()
    {
        session.reset();
        serverText.clear();
    }

    std::mutex mutex;
    QString serverText; // the server text the kept session belongs to
    QString senderText;
    QStringList attachments;
    QList<FileStamp> stamps;
    std::unique_ptr<MailSession> session;
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

// Kept apart from the session's lock: a session reads them at every mail.
std::mutex optionsMutex;
SendMailOptions options;

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
    const QStringList files = splitAttachments(attachments);
    QList<FileStamp> stamps = stampsOf(files);
    if (server != s.serverText)
        s.close();
    if (!s.session) {
        MailTarget target;
        target.serverText = server;
        target.destination = destination;
        target.senderText = sender;
        target.sender = from;
        target.attachments = files;
        Result<std::unique_ptr<MailSession>> opened = MailSession::open(target);
        if (!opened)
            return opened.failure().description;
        s.session = std::move(opened.value());
        s.serverText = server;
    } else if (sender != s.senderText || files != s.attachments || stamps != s.stamps) {
        if (std::optional<Failure> failure = s.session->change(from, files))
            return failure->description;
    }
    s.senderText = sender;
    s.attachments = files;
    s.stamps = std::move(stamps);
    return s.session->send({bracketedAddress(recipient.address), subject, body, recipient.html}).description;
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
    std::lock_guard lock(optionsMutex);
    return options;
}

void setSendMailOptions(const SendMailOptions &o)
{
    std::lock_guard lock(optionsMutex);
    options = o;
}
