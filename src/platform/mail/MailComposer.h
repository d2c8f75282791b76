#pragma once

#include "platform/mail/MimeComposer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Composes the mails of one sender with one attachment list, as a send run makes them. What stays
// the same is made once with GMime: the From header, and the attachments, read and encoded. Each
// mail then costs its own headers and the encoding of its body; GMime still folds the headers whose
// folding is not plain (the Subject, unusual addresses). The bytes are exactly those MimeComposer
// writes for the same fields. Not thread-safe; one per session.
class MailComposer
{
  public:
    // Null, with `error` set to the operator's text, when an attachment cannot be read.
    static std::unique_ptr<MailComposer> create(const QString &senderName, const QString &senderAddress,
                                                const QStringList &attachments, QString *error);
    ~MailComposer();
    MailComposer(const MailComposer &) = delete;
    MailComposer &operator=(const MailComposer &) = delete;

    // `recipient` as the address check gave it; `subject` free of line breaks.
    BuiltMessage compose(const QString &recipient, const QString &subject, const QString &body, bool html,
                         const MessageStamp *stamp = nullptr);

  private:
    MailComposer() = default;
    QByteArray headerLine(const char *name); // "Name:" and the raw value GMime gave it, CR LF ends

    QString m_senderAddress;
    QByteArray m_from;                     // the whole From header
    std::vector<QByteArray> m_attachments; // each part's headers, empty line and encoded content
    qsizetype m_attachmentBytes = 0;
    GMimeMessage *m_headers = nullptr; // formats the Subject and unusual To headers
    QString m_subject;
    QByteArray m_subjectHeader;
    bool m_haveSubject = false;
    qint64 m_dateSecond = -1;
    QByteArray m_dateHeader;
    QByteArray m_encoded; // scratch for the body's transfer encoding
};
