// What the progress bar says: how far a download is, how fast it goes and how long it has left, and in a
// word or two how it ended.
#pragma once

#include "transferoutcome.h"
#include "transferprogress.h"

#include <QString>

// "42 % · 11.2 KiB/s · 0:17 left"; the percentage alone until the first figures are in.
QString progressText(const TransferProgress &progress);
// "Done", or "Failed: " and the session's short reason.
QString outcomeText(const TransferOutcome &outcome);
