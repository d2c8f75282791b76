#pragma once

#include <QString>

// Sends one message and waits for the outcome. Returns the empty text when the server accepted
// the message (or the outbox stored it), otherwise a Japanese text for the operator, with the
// server's reply code and text where the server gave one.
//
//   server       "host", "host:port", "smtp://[user[:password]@]host[:port]" (STARTTLS required),
//                "smtps://[user[:password]@]host[:port]", or "file:///folder" (outbox)
//   recipients   TAB-separated: optionally ">Content-Type: text/plain;" or ">Content-Type: text/html;",
//                and exactly one "<address>"
//   sender       "display name <address>"; every "||" is removed
//   subject      header text; line breaks are refused
//   body         text, any line breaks
//   attachments  TAB-separated file paths, or empty
//
// Consecutive calls with the same server text share one SMTP session (a MailSession); attachment
// files are read and encoded again only when they changed. Callable from any thread; calls are
// served one at a time.
QString SendMail(const QString &server, const QString &recipients, const QString &sender,
                 const QString &subject, const QString &body, const QString &attachments);

// Ends the kept SMTP session (QUIT). Also done at process exit; a later SendMail opens a new one.
void SendMailShutdown();

// Transport settings, for SendMail and every MailSession. The defaults suit operators; tests shorten
// the time-outs and trust their own certificate authority. A change takes effect at the next mail,
// on a new connection.
struct SendMailOptions {
    int connectTimeoutSeconds = 15;
    int responseTimeoutSeconds = 30; // also the longest stall allowed while the message is sent
    QString caFile;                  // PEM file of trusted authorities; empty: the system store
    bool reuseConnection = true;     // false: a new SMTP session for every message
    // Longer than any pause inside a send run (the interval is at most 60 s and counts from the
    // start of the previous mail), shorter than the time after which servers and firewalls
    // commonly drop a quiet session without telling.
    int idleLimitSeconds = 60;
    int quitTimeoutMilliseconds = 2000; // QUIT at the end of a session, also at program exit
    qint64 (*clock)() = nullptr;        // monotonic milliseconds for the idle limit; null: the system's
};

SendMailOptions sendMailOptions();
void setSendMailOptions(const SendMailOptions &options);
