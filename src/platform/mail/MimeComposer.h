#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What goes into one message. Header texts must already be free of line breaks.
struct MessageFields {
    QString senderName;
    QString senderAddress;
    QString recipientAddress;
    QString subject;
    QString body;
    bool html = false;
    QStringList attachments{}; // file paths
    QStringList cc{};          // addresses, as the address check gave them
    QStringList replyTo{};
    QString plainText{};    // of an HTML body; empty: made from the HTML
    bool iso2022jp = false; // ISO-2022-JP for a plain text that fits it
    QString imageFolder{};  // where relative <img src> paths of an HTML body are
};

// What differs between two messages of the same fields: fixed only to compare composers.
struct MessageStamp {
    qint64 second = 0;    // the Date, seconds since 1970, written in the local zone
    QByteArray messageId; // without the angle brackets
    QByteArray boundary;  // of a message with attachments; nested ones are made from it
};

struct BuiltMessage {
    QByteArray bytes; // RFC 5322 message, CR LF line ends, 7-bit clean
    QString error;    // empty on success
};

// Initialises GMime once per process; safe to call from any thread.
void initMimeLibrary();

typedef struct _GMimeMessage GMimeMessage;
typedef struct _GMimeTextPart GMimeTextPart;
typedef struct _GMimeStream GMimeStream;

// Composes messages with GMime. The message object, its text part and the output stream are kept
// from one message to the next, and only what changed is set again: a merge run sends thousands
// of messages that differ in recipient, subject and body only. Not thread-safe; one per caller.
class MimeComposer
{
  public:
    MimeComposer();
    ~MimeComposer();
    MimeComposer(const MimeComposer &) = delete;
    MimeComposer &operator=(const MimeComposer &) = delete;

    // `stamp` null: the time now, a new Message-ID and a new boundary.
    BuiltMessage compose(const MessageFields &fields, const MessageStamp *stamp = nullptr);

  private:
    BuiltMessage composeKept(const MessageFields &fields, const MessageStamp *stamp);
    void startOver(); // a new, empty message

    GMimeMessage *m_message = nullptr;
    GMimeTextPart *m_text = nullptr;
    GMimeStream *m_sink = nullptr;
    bool m_fresh = true; // no message composed yet
    QString m_senderName;
    QString m_senderAddress;
    bool m_senderJis = false;
    QString m_recipient;
    QString m_subject;
    bool m_subjectJis = false;
    QStringList m_cc;
    QStringList m_replyTo;
    qint64 m_dateSecond = -1; // the Date header has a resolution of one second
};

// One message with a composer of its own.
BuiltMessage buildMimeMessage(const MessageFields &fields);
