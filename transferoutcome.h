// How an upload session ended, with its figures. Front ends decide on this value, never on console text.
#pragma once

#include <QMetaType>
#include <QString>

struct TransferOutcome
{
    enum Result { Completed, Refused, Cancelled, DeviceCancelled, GaveUp, PortLost };

    Result result = Cancelled;
    // File bytes the receiver has acknowledged.
    qint64 bytes = 0;
    // From block 0 leaving until the end; 0 when nothing was sent.
    double seconds = 0;
    int retransmissions = 0;
    // A few words for a status line or a summary, such as "the device cancelled".
    QString reason;
    // The whole sentence the session showed about the end, such as why a file was refused; may be empty.
    QString detail;

    bool completed() const { return result == Completed; }
};
Q_DECLARE_METATYPE(TransferOutcome)

// Names that scripts may rely on: "completed", "refused", "cancelled", "device-cancelled", "gave-up",
// "port-lost".
const char *outcomeName(TransferOutcome::Result result);
