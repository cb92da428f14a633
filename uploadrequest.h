// What one upload needs, carried with the request into the transfer thread so that nothing there reads
// state the front end may change meanwhile.
#pragma once

#include <QMetaType>
#include <QString>

struct TransferOptions
{
    enum Protocol { YModem, XModem, XModem1K };
    // YMODEM's data packets: 1K with the last kilobyte in 128-byte packets, or 1K throughout.
    enum Packets { Mixed, OneK };

    Protocol protocol = YModem;
    Packets packets = Mixed;
    // Wait for the answer to a data packet, the EOT or the end packet before sending it again.
    int replyTimeoutMs = 10000;
    // Wait for the answer to block 0: many receivers erase their flash before they acknowledge it.
    int firstReplyTimeoutMs = 60000;
    // Wait for the receiver's first request; 0 waits without limit.
    int startTimeoutMs = 0;
    // Times one packet may be sent again in a row before the session gives up.
    int retries = 10;
};

struct UploadRequest
{
    QString filePath;
    TransferOptions options;
};
Q_DECLARE_METATYPE(UploadRequest)
