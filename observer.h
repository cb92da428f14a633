// How the transfer controller reaches the window (or any other front end).
#pragma once

#include "transferoutcome.h"
#include "transferprogress.h"

#include <QByteArray>
#include <QString>

class Observer
{
public:
    // A line of the session's own, such as "[info]Update process completed.".
    virtual void onMessage(const QString &msg) = 0;
    // Bytes the device printed, as they came: a line may continue in the next call, and a character may be
    // split between two calls.
    virtual void onDeviceText(const QByteArray &bytes) = 0;
    virtual void onProgress(const TransferProgress &progress) = 0;
    virtual void onUpdateEnd(const TransferOutcome &outcome) = 0;

protected:
    ~Observer() = default;
};
