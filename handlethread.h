// The worker that talks to the device: one YMODEM upload session, or the receive monitor between uploads.
#pragma once

#include <QFileInfo>
#include <QObject>
#include <QString>
#include <atomic>

class CommInterface;
class Ymodem;

class HandleThread : public QObject
{
    Q_OBJECT

public:
    static constexpr int RESEND_MAX_TIMES = 100;
    static constexpr int REPLY_TIMEOUT_MS = 10000;
    static constexpr int DRAIN_WAIT_MS = 10;
    static constexpr int MONITOR_BUFFER_SIZE = 20000;
    static constexpr int MONITOR_WAIT_MS = 500;

    enum UploadState {
        WaitStart,
        WaitInfoAck,
        WaitDataStart,
        WaitDataAck,
        WaitEotReply,
        WaitSecondEotAck,
        WaitEndStart,
        WaitEndAck,
    };

    explicit HandleThread(CommInterface *comm, QObject *parent = nullptr);

    void setFileName(const QString &path);
    // Counts a request queued for one of the slots, so that a later stop() also ends it if it has not
    // started yet. Called before the request is queued.
    void noteRequest();
    // Ends the slot that runs now and every request noted before.
    void stop();
    void write(const char *data, int len);

signals:
    void sigMessage(QString msg);
    void sigProgress(int value);
    void sigUpdateEnd();

public slots:
    void slotStartUpload();
    void slotStartDataRecv();

private:
    struct Session;

    bool beginRequest();
    void drainStaleInput(unsigned char *buf, int buflen);
    bool lineLost();
    bool refuseFile(const Ymodem &ymodem);
    bool handleReply(Session &session);
    bool sendDataPacket(Session &session);
    void sendPacket(Session &session, int len);
    void sendAnswerable(const unsigned char *packet, int len);
    void reTransmit(const unsigned char *packet, int len, int &resendCount, const QString &text);
    void Cancel(char reply, Ymodem &ymodem, const QString &reason);
    void report(int logLevel, const QString &text);

    CommInterface *m_comm;
    QFileInfo m_fileInfo;
    std::atomic<bool> m_running { false };
    // Set when a cancel from the receiver was among the bytes dropped before a packet left.
    bool m_cancelWaiting = false;
    std::atomic<quint64> m_requestsNoted { 0 };
    std::atomic<quint64> m_requestsStopped { 0 };
    quint64 m_requestsBegun = 0;
};
