#pragma once

#include "send/SendCommandLine.h"

// Runs velmora-send in the application's event loop (a QCoreApplication must exist) and returns its
// exit code.
int runSendCommand(const SendCommandOptions &options);
