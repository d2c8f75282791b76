#pragma once

#include "platform/UserDialogs.h"
#include "recipients/RecipientTable.h"
#include "send/SendChecks.h"

#include <QString>
#include <QStringList>

#include <vector>

// One row the check found something wrong with, and what, in short notes for the preview.
struct PreflightRow {
    int row = 0;
    QStringList notes;
};

// What the check before sending found. Nothing in the table or the inputs is changed by it.
struct PreflightReport {
    int rows = 0;     // data rows checked
    int problems = 0; // every finding the report lists counts once
    // The report for the text viewer: one line when nothing was found, else the findings grouped,
    // with row numbers.
    QString text;
    // The rows with a finding of their own, in ascending order.
    std::vector<PreflightRow> problemRows;
    // Every row except the later rows of an address that an earlier row already has, ascending:
    // the rows of a run that sends one mail per address. Rows whose address cannot be used stay in
    // (the run reports them as it always does).
    std::vector<int> onePerAddress;
    int repeatedRows = 0;      // rows onePerAddress leaves out
    int repeatedAddresses = 0; // addresses that more than one row has

    bool clean() const { return problems == 0; }
    // The row numbers of problemRows.
    std::vector<int> problemRowNumbers() const;
    // The question at the start of a run whose check found problems: Yes goes back (the report is
    // shown and nothing is sent), No sends anyway.
    UserDialogs::Message question() const;
    // For a run that goes ahead while rows repeat an address: Yes sends onePerAddress, No every row.
    UserDialogs::Message repeatQuestion() const;
};

// What beside the window's inputs shapes the mails a run sends.
struct PreflightOptions {
    int recipientsPerMessage = 0; // the provider's most recipients of one mail; 0: no limit known
    bool bccSelf = false;         // every mail also goes to the sender as a blind copy
    bool iso2022jp = false;       // Japanese plain-text mails go as ISO-2022-JP when they fit
};

// The check before sending: merges every row in memory with the merge the send run uses and lists
// tags that name no column, "<%" or "%>" left in a merged text, empty cells of the columns the tags
// use, addresses the mail library refuses (and empty ones), addresses that repeat (compared as a
// server would), attachments that are missing, unreadable or large (a row's own files too, and a
// row's own file that another row has as well), CC, BCC and Reply-To addresses the library refuses,
// rows with more recipients than the provider takes in one mail, and merged subjects the library
// refuses (a line break from a multi-line cell). Takes no locks and touches nothing but its
// arguments: a copy of the table may be checked on another thread.
PreflightReport checkBeforeSending(const RecipientTable &table, const SendInputs &inputs,
                                   const PreflightOptions &options = {});

// Attachments over this many bytes in all are reported as large: every mail carries them, and
// encoding grows them by a third.
constexpr qint64 PreflightLargeAttachments = qint64(10) * 1024 * 1024;

// A group of the report lists this many rows (or entries), then how many more there are.
constexpr int PreflightListed = 100;
