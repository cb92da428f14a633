#include "testdata.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Bit by bit: the tests check kilobytes, so tables would only add lines.
quint32 crc32Ieee(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

quint16 referenceCrc(const QByteArray &bytes)
{
    quint16 crc = 0;
    for (const char ch : bytes) {
        crc ^= quint16(quint8(ch)) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

static QByteArray read(const QString &path, QIODevice::OpenMode mode)
{
    QFile file(path);
    return file.open(mode) ? file.readAll() : QByteArray("cannot read " + path.toUtf8());
}

QByteArray readFile(const QString &path)
{
    return read(path, QIODevice::ReadOnly);
}

QByteArray readText(const QString &path)
{
    return read(path, QIODevice::ReadOnly | QIODevice::Text);
}

QString logText(const QString &folder)
{
    QString text;
    const QDir logDir(QDir(folder).filePath(QStringLiteral("log")));
    for (const QString &name : logDir.entryList(QDir::Files))
        text += QString::fromUtf8(readText(logDir.filePath(name)));
    return text;
}
