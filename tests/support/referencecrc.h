// CRC-16/XMODEM written out again for the tests, so that no receiver trusts the sender's own routine.
#pragma once

#include <QByteArray>

inline quint16 referenceCrc(const QByteArray &bytes)
{
    quint16 crc = 0;
    for (const char ch : bytes) {
        crc ^= quint16(quint8(ch)) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}
