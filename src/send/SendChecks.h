#pragma once

#include "platform/UserDialogs.h"

#include <QString>

#include <optional>

// What the send run reads from the main window when it starts.
struct SendInputs {
    bool haveAddresses = false; // the address list holds items
    QString server;             // as typed
    QString sender;
    QString subject;
    QString body;
    QString attachments; // comma-separated paths as typed
    bool html = false;
};

// The outcome of the checks made before anything is disabled or sent.
struct SendCheck {
    // Set when the run must not start: the box to show.
    std::optional<UserDialogs::Message> refusal;
    // The attachment box is to be emptied (its list named a missing file).
    bool clearAttachments = false;
    // The TAB-separated attachment list for every row.
    QString attachmentList;
};

// The checks in their order: recipients, server, sender, attachments. fileExists is the test
// each attachment path must pass unchanged.
SendCheck checkSendInputs(const SendInputs &inputs, bool (*fileExists)(const QString &));

// The address element for the sending library: the trimmed cell, wrapped in "<" ">" unless it
// already is.
QString addressElement(const QString &trimmedAddress);
