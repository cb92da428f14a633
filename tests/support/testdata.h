// What the tests feed the program and read back from it: reproducible content, the checksums a device
// computes, files and the program's log.
#pragma once

#include <QByteArray>
#include <QString>

// The same seed gives the same bytes.
QByteArray randomBytes(int size, quint32 seed);
// CRC-32 of zlib and U-Boot's `crc32` command, to compare a file with what a device reports.
quint32 crc32Ieee(const QByteArray &bytes);
// CRC-16/XMODEM written out again, so that no receiver trusts the sender's own routine.
quint16 referenceCrc(const QByteArray &bytes);

// Writes content to path and returns path; a test that cannot write its input stops at once.
QString writeFile(const QString &path, const QByteArray &content);
// The file's bytes, or a line saying it could not be read.
QByteArray readFile(const QString &path);
// A text file as the program wrote it, its line ends as "\n" on every system.
QByteArray readText(const QString &path);
// Everything in the log files of folder/log.
QString logText(const QString &folder);
