// A YMODEM receiver played on a ScriptedChannel: it decodes every block the sender writes, answers as a
// receiver would (or as a test tells it to) and reassembles the file.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class ScriptedChannel;

class ScriptedReceiver
{
public:
    enum class Frame { FileInfo, Data, Eot, End, Cancel, Other };

    // What arrived, for the answer hook. ordinal counts frames of the same kind from 1 (retransmissions
    // included); for Data, blockNumber is the packet's block number.
    struct Arrival
    {
        Frame frame;
        int ordinal;
        int blockNumber;
    };
    // Return true when the hook has answered (or chosen silence) itself; false for the normal answer.
    using AnswerHook = std::function<bool(const Arrival &arrival, ScriptedChannel &channel)>;

    explicit ScriptedReceiver(ScriptedChannel &channel);

    // The receiver's first request, preceded by the time-out that ends the sender's stale-input drain.
    void start();
    void setAnswerHook(AnswerHook hook) { m_hook = std::move(hook); }
    void setNakFirstEot(bool nak) { m_nakFirstEot = nak; }

    QString fileName() const { return m_fileName; }
    qint64 fileSize() const { return m_fileSize; }
    // The payload of the accepted data packets, cut to the size announced in block 0.
    QByteArray file() const { return m_data.left(int(m_fileSize)); }
    bool completed() const { return m_completed; }
    int cancelBytes() const { return m_cancelBytes; }
    // Blocks that failed the receiver's own checks (header, complement, CRC, sequence).
    int badBlocks() const { return m_badBlocks; }

private:
    void onWrite(const QByteArray &block);
    void answer(const Arrival &arrival);
    bool acceptPacket(const QByteArray &block, int *blockNumber, QByteArray *payload);

    ScriptedChannel &m_channel;
    AnswerHook m_hook;
    bool m_nakFirstEot = false;
    int m_counts[6] = {};
    bool m_dataDone = false;
    bool m_completed = false;
    int m_expectedBlock = 1;
    QString m_fileName;
    qint64 m_fileSize = 0;
    QByteArray m_data;
    int m_cancelBytes = 0;
    int m_badBlocks = 0;
};
