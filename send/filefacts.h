// What the steps and the reports say about the firmware file: its name, size and CRC-32.
#pragma once

#include <QByteArray>
#include <QString>

struct FileFacts
{
    QString name;
    qint64 size = 0;
    quint32 crc32 = 0;
    // False when the file could not be read through; the engine then refuses it with its own words.
    bool readable = false;

    static FileFacts read(const QString &path);
    // The zlib (IEEE 802.3) CRC-32 of data, continuing from crc (0 to begin).
    static quint32 updateCrc32(quint32 crc, const char *data, qint64 length);

    QString crc32Text() const;
    // Replaces {size}, {size_hex}, {crc32} and {name}; in a pattern the values match literally.
    QString substituted(const QString &text, bool inPattern) const;
    QByteArray substituted(const QByteArray &bytes) const;
};
