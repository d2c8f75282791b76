#pragma once

#include "platform/UserDialogs.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the send run reads from the main window when it starts.
struct SendInputs {
    bool haveAddresses = false; // the address list holds items
    QString server;             // as typed
    QString sender;
    QString subject;
    QString body;
    QString attachments; // comma-separated paths as typed; a path may hold merge tags
    bool html = false;
    // With html: the text part as the operator wrote it (the body file's text version), empty when
    // it is to be made from the HTML; and the folder relative image paths of the HTML start in.
    QString plainText{};
    QString bodyFolder{};

    bool operator==(const SendInputs &) const = default;
};

// The outcome of the checks made before anything is disabled or sent.
struct SendCheck {
    // Set when the run must not start: the box to show.
    std::optional<UserDialogs::Message> refusal;
    // The attachment box is to be emptied (its list named a missing file).
    bool clearAttachments = false;
    // The TAB-separated attachment list for every row.
    QString attachmentList;
    // The attachment box's names with merge tags, as typed: each row's own files.
    QStringList attachmentTemplates;
};

// The checks in their order: recipients, server, sender, attachments. fileExists is the test
// each attachment path must pass unchanged.
SendCheck checkSendInputs(const SendInputs &inputs, bool (*fileExists)(const QString &));

// The address element for the sending library: the trimmed cell, wrapped in "<" ">" unless it
// already is.
QString addressElement(const QString &trimmedAddress);

// Why a row's own attachment cannot go out (not there, not a file, not readable), as the operator
// reads it; the empty text when it can.
QString rowAttachmentProblem(const QString &path);
QString unreadableAttachmentText(const QString &path);
