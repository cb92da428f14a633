#include "crc32ieee.h"

quint32 crc32Ieee(const QByteArray &bytes)
{
    // Bit by bit: the tests check kilobytes, so a table would only add lines.
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
