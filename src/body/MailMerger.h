#pragma once

#include "MergeTemplate.h"
#include "RecipientTable.h"

#include <QString>

// The send run's merge of subject and body, prepared once for the whole run. The table is read at
// each call, so writing status cells between rows is fine; it must outlive the merger.
class MailMerger
{
  public:
    MailMerger(const RecipientTable &table, const QString &subject, const QString &body)
        : m_table(table), m_subject(table, subject), m_body(table, body)
    {
    }

    QString subject(int row) const { return m_subject.merge(m_table, row); }
    QString body(int row) const { return m_body.merge(m_table, row); }

  private:
    const RecipientTable &m_table;
    MergeTemplate m_subject;
    MergeTemplate m_body;
};
