#pragma once

#include "body/MergeTemplate.h"
#include "recipients/RecipientTable.h"

#include <QString>

// The subject and body of one recipient's mail.
struct MergedMail {
    QString subject;
    QString body;
};

// The send run's merge of subject and body, prepared once for the whole run. The table is read at
// each call, so writing status cells between rows is fine; it must outlive the merger.
class MailMerger
{
  public:
    MailMerger(const RecipientTable &table, const QString &subject, const QString &body)
        : m_table(table), m_subject(table, subject), m_body(table, body)
    {
    }

    // Both texts of row `row`, or why that row cannot be sent (a text grew past the size limit).
    // The send run records such a row as failed with the failure's description.
    Result<MergedMail> mail(int row, qsizetype limit = MergeSizeLimit) const
    {
        Result<QString> body = m_body.mergeBounded(m_table, row, limit);
        if (!body)
            return mergeTooLarge(limit, QStringLiteral("本文"));
        Result<QString> subject = m_subject.mergeBounded(m_table, row, limit);
        if (!subject)
            return mergeTooLarge(limit, QStringLiteral("件名"));
        return MergedMail{std::move(subject.value()), std::move(body.value())};
    }

    // One text each; the empty text for a row whose text grew past the size limit.
    QString subject(int row) const { return m_subject.merge(m_table, row); }
    QString body(int row) const { return m_body.merge(m_table, row); }

  private:
    const RecipientTable &m_table;
    MergeTemplate m_subject;
    MergeTemplate m_body;
};
