// The CRC-32 of zlib, Ethernet and U-Boot's `crc32` command (IEEE polynomial, reflected, inverted), to
// compare a file with what a device reports for the bytes it received.
#pragma once

#include <QByteArray>

quint32 crc32Ieee(const QByteArray &bytes);
