#pragma once

#include "platform/Failure.h"
#include "send/SendChecks.h"

#include <QString>

// A mailing saved to be sent later, by the window or by velmora-send: where its recipients come
// from, the inputs of the main window (the server without its password), and the send options.
// Nothing secret is ever in it; passwords and sign-ins come from the keyring when it is sent.
struct MailingJob {
    // The recipient source as the load was given it (a file path, OUTLOOK or ODBC), and for ODBC
    // the data source and the table or query.
    QString source;
    QString odbcConnection;
    QString odbcStatement;
    SendInputs inputs; // haveAddresses is not kept
    qint16 sendInterval = 0;
    bool bccSelf = false;
    bool iso2022jp = false;

    bool operator==(const MailingJob &) const = default;
};

// The file's name ending, and its filter for the file dialogs.
inline const QString MailingJobSuffix = QStringLiteral(".velmorajob");
inline const QString MailingJobFilter = QStringLiteral("Velmora の送信設定 (*.velmorajob)|*.velmorajob");

// Written whole or not at all (readable by its owner only); the server's password is left out.
std::optional<Failure> writeMailingJob(const QString &path, const MailingJob &job);
// A file written by writeMailingJob(); anything else is refused with why.
Result<MailingJob> readMailingJob(const QString &path);
