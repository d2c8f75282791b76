#pragma once

#include "body/MergeTemplate.h"
#include "recipients/CopyColumns.h"
#include "recipients/RecipientTable.h"

#include <QString>
#include <QStringList>

#include <vector>

// One recipient's mail as the row makes it.
struct MergedMail {
    QString subject;
    QString body;
    // The addresses of the row's CC, BCC and Reply-To columns.
    QStringList cc, bcc, replyTo;
    // The row's own attachments: the attachment box's names that hold merge tags, merged.
    QStringList attachments;
};

// The send run's merge of subject, body and per-row attachment names, prepared once for the whole
// run. The table is read at each call, so writing status cells between rows is fine; it must
// outlive the merger.
class MailMerger
{
  public:
    MailMerger(const RecipientTable &table, const QString &subject, const QString &body,
               const QStringList &attachmentTemplates = {})
        : m_table(table), m_subject(table, subject), m_body(table, body), m_copies(copyColumnsOf(table))
    {
        for (const QString &name : attachmentTemplates)
            m_attachments.emplace_back(table, name);
    }

    // The row's mail, or why that row cannot be sent (a text grew past the size limit). The send
    // run records such a row as failed with the failure's description.
    Result<MergedMail> mail(int row, qsizetype limit = MergeSizeLimit) const
    {
        Result<QString> body = m_body.mergeBounded(m_table, row, limit);
        if (!body)
            return mergeTooLarge(limit, QStringLiteral("本文"));
        Result<QString> subject = m_subject.mergeBounded(m_table, row, limit);
        if (!subject)
            return mergeTooLarge(limit, QStringLiteral("件名"));
        MergedMail mail{std::move(subject.value()), std::move(body.value()), {}, {}, {}, {}};
        for (const MergeTemplate &name : m_attachments) {
            Result<QString> file = name.mergeBounded(m_table, row, limit);
            if (!file)
                return mergeTooLarge(limit, QStringLiteral("添付ファイル名"));
            mail.attachments.append(std::move(file.value()));
        }
        if (!m_copies.empty()) {
            mail.cc = rowAddresses(m_table, row, m_copies.cc);
            mail.bcc = rowAddresses(m_table, row, m_copies.bcc);
            mail.replyTo = rowAddresses(m_table, row, m_copies.replyTo);
        }
        return mail;
    }

    // One text each; the empty text for a row whose text grew past the size limit.
    QString subject(int row) const { return m_subject.merge(m_table, row); }
    QString body(int row) const { return m_body.merge(m_table, row); }

    const CopyColumns &copyColumns() const { return m_copies; }

  private:
    const RecipientTable &m_table;
    MergeTemplate m_subject;
    MergeTemplate m_body;
    CopyColumns m_copies;
    std::vector<MergeTemplate> m_attachments;
};
