#include "ymodem.h"

#include "log.h"

#include <QtGlobal>
#include <array>
#include <cstring>
#include <limits>

namespace {

constexpr int HEADER_SIZE = 3;

qint64 roundUp(qint64 size, int unit)
{
    return (size + unit - 1) / unit;
}

int32_t countPackets(qint64 size, Ymodem::PacketPlan plan)
{
    qint64 count = 0;
    switch (plan) {
    case Ymodem::Mixed:
        // Every kilobyte but the last goes whole; what is left, up to a kilobyte, in 128-byte packets.
        count = size <= YMODEM_PACKET_1K_SIZE ? roundUp(size, YMODEM_PACKET_SIZE)
                                              : roundUp(size, YMODEM_PACKET_1K_SIZE) - 1
                + roundUp(size - (roundUp(size, YMODEM_PACKET_1K_SIZE) - 1) * YMODEM_PACKET_1K_SIZE,
                    YMODEM_PACKET_SIZE);
        break;
    case Ymodem::AllOneK:
        count = roundUp(size, YMODEM_PACKET_1K_SIZE);
        break;
    case Ymodem::AllShort:
        count = roundUp(size, YMODEM_PACKET_SIZE);
        break;
    }
    return int32_t(qMin<qint64>(count, std::numeric_limits<int32_t>::max()));
}

void putHeader(unsigned char *buf, unsigned char code, int blockNumber)
{
    buf[0] = code;
    buf[1] = static_cast<unsigned char>(blockNumber & 0xFF);
    buf[2] = static_cast<unsigned char>(0xFF - buf[1]);
}

// CRC-16 with the polynomial 0x1021 and no reflection, for every value of the top byte.
constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table {};
    for (int top = 0; top < 256; ++top) {
        uint16_t crc = static_cast<uint16_t>(top << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        table[size_t(top)] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> CrcTable = makeCrcTable();

} // namespace

uint16_t crc16(const unsigned char *data, int len)
{
    // A byte at a time from a table rather than bit by bit: the checksum is computed while the receiver
    // waits for the next packet, so it sits on the path of every block.
    uint16_t crc = 0;
    for (int i = 0; i < len; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ CrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

Ymodem::Ymodem(const QFileInfo &fileInfo, PacketPlan plan)
    : m_fileInfo(fileInfo), m_plan(plan), m_file(fileInfo.absoluteFilePath())
{
    // The caller's description may have cached a size from before the file was rebuilt; block 0 must carry
    // the size of the file as it is now.
    m_fileInfo.refresh();
    // A pipe or a device has no size to announce, and opening a FIFO would wait for a writer for good.
    if (m_fileInfo.exists() && !m_fileInfo.isFile())
        return;
    m_totalPackets = countPackets(m_fileInfo.size(), m_plan);
    // Unbuffered, so that every read asks the file itself and a file cut short is noticed at once rather
    // than after a read-ahead of stale bytes.
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        m_errorString = m_file.errorString();
        LOG_SOURCE(1, "Error occurred when open file, error info: %s", m_errorString.toUtf8().constData());
    }
}

Ymodem::~Ymodem()
{
    m_file.close();
}

QByteArray Ymodem::nameBytes() const
{
    return m_fileInfo.fileName().toLocal8Bit();
}

QByteArray Ymodem::sizeText() const
{
    return QByteArray::number(m_fileInfo.size(), 10);
}

Ymodem::FileProblem Ymodem::fileProblem() const
{
    if (m_fileInfo.exists() && !m_fileInfo.isFile())
        return NotRegularFile;
    if (!m_file.isOpen())
        return CannotOpen;
    if (m_fileInfo.size() == 0)
        return EmptyFile;
    if (m_fileInfo.size() > YMODEM_MAX_FILE_SIZE)
        return TooLarge;
    if (nameBytes().size() + 1 + sizeText().size() + 1 > YMODEM_PACKET_SIZE)
        return NameTooLong;
    return NoProblem;
}

int Ymodem::buildFileInfoPacket(unsigned char *buf, int buflen)
{
    Q_ASSERT(buflen >= YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_SIZE);
    if (m_file.isOpen())
        m_file.seek(0);
    memset(buf, 0, size_t(buflen));
    putHeader(buf, YMODEM_CODE_SOH, 0);

    const QByteArray size = sizeText();
    // The size and both NULs keep their room; an over-long name loses its tail rather than overflow.
    const QByteArray name = nameBytes().left(YMODEM_PACKET_SIZE - size.size() - 2);
    unsigned char *payload = buf + HEADER_SIZE;
    memcpy(payload, name.constData(), size_t(name.size()));
    memcpy(payload + name.size() + 1, size.constData(), size_t(size.size()));

    return finishPacket(buf, YMODEM_PACKET_SIZE);
}

int Ymodem::buildDataPacket(unsigned char *buf, int buflen)
{
    Q_ASSERT(buflen >= YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_1K_SIZE);
    // Beyond the maximum the byte count would overflow.
    if (!m_file.isOpen() || m_fileInfo.size() > YMODEM_MAX_FILE_SIZE)
        return 0;

    const qint64 remaining = m_fileInfo.size() - m_bytesRead;
    const int payloadLen = payloadLength(remaining);
    // Reading no further than the size announced in block 0 keeps a file that grows from
    // pushing progress past 100.
    const qint64 wanted = qMin<qint64>(payloadLen, remaining);
    const qint64 got = wanted > 0 ? m_file.read(reinterpret_cast<char *>(buf + HEADER_SIZE), wanted) : 0;
    if (got < 0) {
        m_errorString = m_file.errorString();
        return 0;
    }
    // A regular file delivers all that was asked for unless it has become shorter than its size.
    if (got < wanted) {
        m_errorString = QStringLiteral("File ended after %1 of its %2 bytes")
                            .arg(m_bytesRead + got)
                            .arg(m_fileInfo.size());
        return 0;
    }

    ++m_packetNumber;
    putHeader(buf, payloadLen == YMODEM_PACKET_1K_SIZE ? YMODEM_CODE_STX : YMODEM_CODE_SOH, m_packetNumber);
    m_bytesRead += int32_t(got);
    memset(buf + HEADER_SIZE + got, YMODEM_CODE_CPMEOF, size_t(payloadLen - got));
    return finishPacket(buf, payloadLen);
}

int Ymodem::payloadLength(qint64 remaining) const
{
    switch (m_plan) {
    case AllOneK:
        return YMODEM_PACKET_1K_SIZE;
    case AllShort:
        return YMODEM_PACKET_SIZE;
    case Mixed:
        break;
    }
    return remaining > YMODEM_PACKET_1K_SIZE ? YMODEM_PACKET_1K_SIZE : YMODEM_PACKET_SIZE;
}

int Ymodem::buildEotPacket(unsigned char *buf, int buflen)
{
    Q_ASSERT(buflen > 1);
    buf[0] = YMODEM_CODE_EOT;
    return 1;
}

int Ymodem::buildEndPacket(unsigned char *buf, int buflen)
{
    Q_ASSERT(buflen >= YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_SIZE);
    putHeader(buf, YMODEM_CODE_SOH, 0);
    memset(buf + HEADER_SIZE, 0, YMODEM_PACKET_SIZE);
    return finishPacket(buf, YMODEM_PACKET_SIZE);
}

// Appends the CRC, or the checksum, behind the payload; returns the packet's length.
int Ymodem::finishPacket(unsigned char *buf, int payloadLen) const
{
    unsigned char *trailer = buf + HEADER_SIZE + payloadLen;
    if (m_checksum) {
        unsigned char sum = 0;
        for (int i = 0; i < payloadLen; ++i)
            sum = static_cast<unsigned char>(sum + buf[HEADER_SIZE + i]);
        trailer[0] = sum;
        return HEADER_SIZE + payloadLen + 1;
    }
    const uint16_t crc = crc16(buf + HEADER_SIZE, payloadLen);
    trailer[0] = static_cast<unsigned char>(crc >> 8);
    trailer[1] = static_cast<unsigned char>(crc & 0xFF);
    return HEADER_SIZE + payloadLen + 2;
}

int Ymodem::buildCancelPacket(unsigned char *buf, int buflen)
{
    Q_ASSERT(buflen >= YMODEM_CODE_CAN_NUMBER);
    memset(buf, YMODEM_CODE_CAN, YMODEM_CODE_CAN_NUMBER);
    return YMODEM_CODE_CAN_NUMBER;
}

int Ymodem::progress() const
{
    // Nothing is left to read from an empty file.
    if (m_fileInfo.size() == 0)
        return 100;
    return int(qint64(m_bytesRead) * 100 / m_fileInfo.size());
}
