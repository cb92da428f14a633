#include "scriptedreceiver.h"

#include "testdata.h"
#include "scriptedchannel.h"

namespace {
constexpr char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
} // namespace

ScriptedReceiver::ScriptedReceiver(ScriptedChannel &channel) : m_channel(channel)
{
    m_channel.setWriteHook([this](const QByteArray &block) { onWrite(block); });
}

void ScriptedReceiver::start()
{
    m_channel.pushTimeout();
    m_channel.pushBytes(QByteArray(1, C));
}

bool ScriptedReceiver::acceptPacket(const QByteArray &block, int *blockNumber, QByteArray *payload)
{
    const int size = block.at(0) == STX ? 1024 : 128;
    if (block.size() != size + 5 || quint8(block.at(1)) != quint8(~quint8(block.at(2)))) {
        ++m_badBlocks;
        return false;
    }
    *payload = block.mid(3, size);
    const quint16 crc = quint16(quint8(block.at(3 + size)) << 8 | quint8(block.at(4 + size)));
    if (crc != referenceCrc(*payload)) {
        ++m_badBlocks;
        return false;
    }
    *blockNumber = quint8(block.at(1));
    return true;
}

void ScriptedReceiver::onWrite(const QByteArray &block)
{
    if (block.isEmpty())
        return;
    Frame frame = Frame::Other;
    int blockNumber = -1;
    QByteArray payload;
    const char head = block.at(0);
    if (head == CAN) {
        frame = Frame::Cancel;
        m_cancelBytes += block.count(CAN);
    } else if (head == EOT && block.size() == 1) {
        frame = Frame::Eot;
        m_dataDone = true;
    } else if ((head == SOH || head == STX) && acceptPacket(block, &blockNumber, &payload)) {
        if (blockNumber == 0 && m_expectedBlock == 1 && !m_dataDone) {
            frame = Frame::FileInfo;
            const int nameEnd = payload.indexOf('\0');
            m_fileName = QString::fromLocal8Bit(payload.left(nameEnd));
            m_fileSize
                = payload.mid(nameEnd + 1, payload.indexOf('\0', nameEnd + 1) - nameEnd - 1).toLongLong();
        } else if (blockNumber == 0 && m_dataDone) {
            frame = Frame::End;
        } else {
            frame = Frame::Data;
            if (blockNumber == m_expectedBlock % 256) {
                m_data += payload;
                ++m_expectedBlock;
            } else if (blockNumber != (m_expectedBlock - 1) % 256) {
                ++m_badBlocks;
            }
        }
    }
    const Arrival arrival { frame, ++m_counts[int(frame)], blockNumber };
    if (m_hook && m_hook(arrival, m_channel))
        return;
    answer(arrival);
}

void ScriptedReceiver::answer(const Arrival &arrival)
{
    switch (arrival.frame) {
    case Frame::FileInfo:
        m_channel.pushBytes(QByteArray(1, ACK) + C);
        break;
    case Frame::Data:
        m_channel.pushBytes(QByteArray(1, ACK));
        break;
    case Frame::Eot:
        if (m_nakFirstEot && arrival.ordinal == 1)
            m_channel.pushBytes(QByteArray(1, NAK));
        else
            m_channel.pushBytes(QByteArray(1, ACK) + C);
        break;
    case Frame::End:
        m_completed = true;
        m_channel.pushBytes(QByteArray(1, ACK));
        break;
    case Frame::Cancel:
    case Frame::Other:
        break;
    }
}
