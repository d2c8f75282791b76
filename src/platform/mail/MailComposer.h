#pragma once

#include "platform/mail/MimeComposer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct MailContent;

// What the target says about the texts of its mails.
struct MailTextOptions {
    bool iso2022jp = false; // ISO-2022-JP for a plain-text mail whose texts fit it
    QString imageFolder;    // where relative <img src> paths of an HTML body are
};

// Composes the mails of one sender with one attachment list, as a send run makes them. What stays
// the same is made once with GMime: the From header, and the attachments, read and encoded. Each
// mail then costs its own headers and the encoding of its body; GMime still folds the headers whose
// folding is not plain (the Subject, unusual addresses, copies), and builds an HTML body and the
// mail's own attachments. The bytes are exactly those MimeComposer writes for the same fields.
// Not thread-safe; one per session.
class MailComposer
{
  public:
    // Null, with `error` set to the operator's text, when an attachment cannot be read.
    static std::unique_ptr<MailComposer> create(const QString &senderName, const QString &senderAddress,
                                                const QStringList &attachments, QString *error);
    ~MailComposer();
    MailComposer(const MailComposer &) = delete;
    MailComposer &operator=(const MailComposer &) = delete;

    // `recipient` as the address check gave it; the mail's subject free of line breaks. Its Cc and
    // Reply-To addresses are checked as the recipient is; its Bcc goes into no header.
    BuiltMessage compose(const MailContent &mail, const QString &recipient,
                         const MailTextOptions &options = {}, const MessageStamp *stamp = nullptr);
    // The fields MimeComposer would be given for the same mail; `error` set when an address of
    // the copies or replies cannot be used.
    MessageFields fieldsOf(const MailContent &mail, const QString &recipient, const MailTextOptions &options,
                           QString *error) const;

  private:
    MailComposer() = default;
    QByteArray headerLine(const char *name); // "Name:" and the raw value GMime gave it, CR LF ends

    QString m_senderName;
    QString m_senderAddress;
    QStringList m_attachmentPaths;
    QByteArray m_from;                     // the whole From header
    QByteArray m_fromJis;                  // the same with the name in ISO-2022-JP
    std::vector<QByteArray> m_attachments; // each part's headers, empty line and encoded content
    qsizetype m_attachmentBytes = 0;
    GMimeMessage *m_headers = nullptr; // formats the Subject and unusual To headers
    QString m_subject;
    bool m_subjectJis = false;
    QByteArray m_subjectHeader;
    bool m_haveSubject = false;
    qint64 m_dateSecond = -1;
    QByteArray m_dateHeader;
    QByteArray m_encoded; // scratch for the body's transfer encoding
};
