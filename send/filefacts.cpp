#include "filefacts.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <array>

namespace {
constexpr quint32 CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr qint64 READ_CHUNK = 64 * 1024;

std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table {};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ CRC32_POLYNOMIAL : value >> 1;
        table[i] = value;
    }
    return table;
}

QList<QPair<QString, QString>> placeholders(const FileFacts &facts)
{
    return {
        { QStringLiteral("{size_hex}"), QString::number(facts.size, 16) },
        { QStringLiteral("{size}"), QString::number(facts.size) },
        { QStringLiteral("{crc32}"), facts.crc32Text() },
        { QStringLiteral("{name}"), facts.name },
    };
}
} // namespace

quint32 FileFacts::updateCrc32(quint32 crc, const char *data, qint64 length)
{
    static const std::array<quint32, 256> table = makeCrcTable();
    crc = ~crc;
    for (qint64 i = 0; i < length; ++i)
        crc = table[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

FileFacts FileFacts::read(const QString &path)
{
    FileFacts facts;
    facts.name = QFileInfo(path).fileName();
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return facts;
    QByteArray chunk;
    while (!(chunk = file.read(READ_CHUNK)).isEmpty()) {
        facts.crc32 = updateCrc32(facts.crc32, chunk.constData(), chunk.size());
        facts.size += chunk.size();
    }
    facts.readable = file.error() == QFileDevice::NoError;
    return facts;
}

QString FileFacts::crc32Text() const
{
    return QStringLiteral("%1").arg(crc32, 8, 16, QLatin1Char('0'));
}

QString FileFacts::substituted(const QString &text, bool inPattern) const
{
    QString result = text;
    for (const auto &[key, value] : placeholders(*this))
        result.replace(key, inPattern ? QRegularExpression::escape(value) : value);
    return result;
}

QByteArray FileFacts::substituted(const QByteArray &bytes) const
{
    QByteArray result = bytes;
    for (const auto &[key, value] : placeholders(*this))
        result.replace(key.toUtf8(), value.toUtf8());
    return result;
}
