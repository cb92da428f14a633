// YMODEM batch packets (one file, with a CRC or, for receivers that ask for it, a checksum) built from a
// firmware file; knows nothing of the link or the replies.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstdint>

constexpr int YMODEM_PACKET_OVERHEAD = 5;
constexpr int YMODEM_PACKET_SIZE = 128;
constexpr int YMODEM_PACKET_1K_SIZE = 1024;
constexpr int YMODEM_CODE_CAN_NUMBER = 5;

constexpr unsigned char YMODEM_CODE_SOH = 0x01;
constexpr unsigned char YMODEM_CODE_STX = 0x02;
constexpr unsigned char YMODEM_CODE_EOT = 0x04;
constexpr unsigned char YMODEM_CODE_ACK = 0x06;
constexpr unsigned char YMODEM_CODE_NAK = 0x15;
constexpr unsigned char YMODEM_CODE_CAN = 0x18;
constexpr unsigned char YMODEM_CODE_C = 0x43;
constexpr unsigned char YMODEM_CODE_CPMEOF = 0x1A;

// The byte counts are signed 32-bit, so no larger file can be sent.
constexpr qint64 YMODEM_MAX_FILE_SIZE = 2147483647;

uint16_t crc16(const unsigned char *data, int len);

class Ymodem
{
public:
    // How data packets are cut: 1K with the last kilobyte in 128-byte packets (YMODEM's and XMODEM-1K's
    // custom), 1K throughout, or 128 bytes throughout (XMODEM).
    enum PacketPlan { Mixed, AllOneK, AllShort };

    // Why a file cannot be sent; checked by the session before anything goes to the device.
    enum FileProblem { NoProblem, NotRegularFile, CannotOpen, EmptyFile, TooLarge, NameTooLong };

    explicit Ymodem(const QFileInfo &fileInfo, PacketPlan plan = Mixed);
    ~Ymodem();
    Ymodem(const Ymodem &) = delete;
    Ymodem &operator=(const Ymodem &) = delete;

    // A receiver that starts with NAK wants a one-byte sum of the data in place of the CRC, in every packet.
    void setChecksumMode(bool checksum) { m_checksum = checksum; }
    bool checksumMode() const { return m_checksum; }

    // An over-long name is cut so that the size still fits; fileProblem() tells the session beforehand.
    int buildFileInfoPacket(unsigned char *buf, int buflen);
    // Returns 0 when the file is not open or too large, could not be read, or ended before its size was
    // reached.
    int buildDataPacket(unsigned char *buf, int buflen);
    int buildEotPacket(unsigned char *buf, int buflen);
    int buildEndPacket(unsigned char *buf, int buflen);
    int buildCancelPacket(unsigned char *buf, int buflen);

    int packetNumber() const { return m_packetNumber; }
    int progress() const;
    int totalPackets() const { return m_totalPackets; }
    // File bytes put into data packets so far, of the file's size.
    qint64 bytesRead() const { return m_bytesRead; }
    qint64 fileSize() const { return m_fileInfo.size(); }

    FileProblem fileProblem() const;
    // The system's text for the last open or read failure, or what is known of a file that ended early.
    QString errorString() const { return m_errorString; }

private:
    QByteArray nameBytes() const;
    QByteArray sizeText() const;
    int finishPacket(unsigned char *buf, int payloadLen) const;

    int payloadLength(qint64 remaining) const;

    QFileInfo m_fileInfo;
    PacketPlan m_plan;
    int32_t m_totalPackets = 0;
    QFile m_file;
    int32_t m_packetNumber = 0;
    int32_t m_bytesRead = 0;
    QString m_errorString;
    bool m_checksum = false;
};
