// One upload: waits for the receiver's request, sends the file and follows the receiver's replies until
// it confirms the end, gives up, cancels, or the operator stops it.
#pragma once

#include "replyreader.h"
#include "transferoutcome.h"
#include "transferprogress.h"
#include "uploadrequest.h"
#include "ymodem.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <atomic>

class CommInterface;

class UploadSession : public QObject
{
    Q_OBJECT

public:
    // A 'C' this soon after a packet left, with nothing between, may be the tail of the answer that made
    // it leave (see isPairTail()).
    static constexpr int PAIR_WINDOW_MS = 50;
    // A 'C' or NAK is a request only when the line stays quiet behind it this long; in text more follows.
    static constexpr int REQUEST_QUIET_MS = 20;
    // The device's text while it has not asked yet goes on in pieces no older than this.
    static constexpr int TEXT_PIECE_MS = 20;
    // After block 0's ACK, how long to wait for the 'C' some receivers never send.
    static constexpr int DATA_START_WAIT_MS = 1000;
    // A request the monitor saw this recently, with nothing after it, still waits for its answer.
    static constexpr int RECENT_REQUEST_MS = 3000;
    // Printable bytes after the EOT's ACK that make the device's silence read as a receiver that has
    // finished (an XMODEM one) rather than a lost request; a byte or two may be line noise.
    static constexpr int TEXT_AFTER_EOT = 4;
    // How long the cancel sequence may take to reach the port before the session reports it anyway.
    static constexpr int CANCEL_HANDOVER_MS = 1000;

    UploadSession(CommInterface *comm, const UploadRequest &request, const std::atomic<bool> &running,
        const LastReceived &lastReceived);

    TransferOutcome run();

signals:
    void sigMessage(QString msg);
    void sigDeviceText(QByteArray bytes);
    void sigProgress(TransferProgress progress);

private:
    enum State { WaitInfoAck, WaitDataStart, WaitDataAck, WaitEotAck, WaitEndStart, WaitEndAck, Done };
    using Reply = ReplyReader::Reply;

    bool awaitRequest();
    void onByte(const Reply &reply);
    void onTimeout();
    bool isPairTail(const Reply &reply) const;
    bool countCancel(unsigned char byte);
    void sendBlockZero(const Reply &trigger);
    void sendNextData(const Reply &trigger);
    void sendEot(const Reply &trigger);
    void sendEnd(const Reply &trigger);
    void sendPacket(int len, const Reply &trigger, State next, int waitMs);
    void resend(const QString &text, const Reply &trigger);
    void acknowledged();
    void reportProgress();

    void endOnLine(const Reply &reply);
    void finish(TransferOutcome::Result result, const QString &reason, const QString &line);
    void cancel(TransferOutcome::Result result, const QString &reason, const QString &line);
    void takeText(const QByteArray &bytes);
    void flushText();
    void report(int logLevel, const QString &text);
    bool isYModem() const;
    qint64 deadlineAfter(int waitMs) const;

    CommInterface *m_comm;
    UploadRequest m_request;
    LastReceived m_lastReceived;
    ReplyReader m_reader;
    Ymodem m_ymodem;
    TransferOutcome m_outcome;
    QElapsedTimer m_clock;

    State m_state = WaitInfoAck;
    unsigned char m_packet[YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_1K_SIZE] = {};
    int m_packetLength = 0;
    qint64 m_deadlineMs = 0;
    // What made the packet on the line go out, when it left, and whether anything has come since.
    unsigned char m_triggerByte = 0;
    qint64 m_sentAtMs = -1;
    bool m_heardSinceSend = false;
    int m_resends = 0;
    int m_eotNaks = 0;
    int m_cancelRun = 0;
    // Printable bytes that came where the request for the end packet was due.
    int m_textAfterEot = 0;
    qint64 m_bytesBeforePacket = 0;
    QByteArray m_pendingText;
    qint64 m_pendingSinceMs = 0;
};
