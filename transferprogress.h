// Where a running upload stands, as the session reports it after each acknowledged packet.
#pragma once

#include <QMetaType>

struct TransferProgress
{
    int percent = 0;
    // File bytes acknowledged so far, of the file's size.
    qint64 bytes = 0;
    qint64 total = 0;
    // Since block 0 left.
    double seconds = 0;
};
Q_DECLARE_METATYPE(TransferProgress)
