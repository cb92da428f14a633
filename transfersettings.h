// The transfer options as people write them, in config.ini's section TRANSFER and on kelpo-send's command
// line: one reading of each, with the accepted range in the words of the error.
#pragma once

#include "uploadrequest.h"
#include "ymodem.h"

#include <QString>

class LocalSetting;

class TransferSettings
{
public:
    enum Setting { Protocol, Packets, ReplyTimeout, FirstReplyTimeout, StartTimeout, Retries, SettingCount };

    // The key in config.ini, e.g. "reply_timeout".
    static const char *key(Setting setting);
    // What may be written, e.g. "seconds from 0.1 to 3600".
    static QString accepted(Setting setting);
    // The bounds of a number setting: seconds for the waits, a count for the retries.
    static double minimum(Setting setting);
    static double maximum(Setting setting);
    // Sets the one option from text; false (and options unchanged) when the text is not accepted.
    static bool apply(Setting setting, const QString &text, TransferOptions *options);
    // The option as config.ini writes it, e.g. "xmodem-1k" or "2.5"; apply() reads it back.
    static QString text(Setting setting, const TransferOptions &options);

    // The packets the file goes out in.
    static Ymodem::PacketPlan packetPlan(const TransferOptions &options);
    // The protocol and its packets, e.g. "XMODEM: 128-byte packets".
    static QString describe(const TransferOptions &options);

    // The section TRANSFER of the settings; a value that cannot be read keeps its default and is logged.
    static TransferOptions fromSettings(const LocalSetting &settings);
};
