// The worker that talks to the device: one upload session, or the receive monitor between uploads.
#pragma once

#include "transferoutcome.h"
#include "transferprogress.h"
#include "uploadrequest.h"
#include "uploadsession.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>

class CommInterface;

class HandleThread : public QObject
{
    Q_OBJECT

public:
    static constexpr int MONITOR_BUFFER_SIZE = 20000;
    static constexpr int MONITOR_WAIT_MS = 500;
    // The longest the monitor holds the device's text before passing it on.
    static constexpr int MONITOR_PIECE_MS = 20;

    explicit HandleThread(CommInterface *comm, QObject *parent = nullptr);

    // Counts a request queued for one of the slots, so that a later stop() also ends it if it has not
    // started yet. Called before the request is queued.
    void noteRequest();
    // Ends the slot that runs now, at once, and every request noted before.
    void stop();

signals:
    void sigMessage(QString msg);
    void sigDeviceText(QByteArray bytes);
    void sigProgress(TransferProgress progress);
    void sigUpdateEnd(TransferOutcome outcome);

public slots:
    void slotStartUpload(UploadRequest request);
    void slotStartDataRecv();

private:
    bool beginRequest();

    CommInterface *m_comm;
    std::atomic<bool> m_running { false };
    std::atomic<quint64> m_requestsNoted { 0 };
    std::atomic<quint64> m_requestsStopped { 0 };
    quint64 m_requestsBegun = 0;
    // What the monitor saw last, so that a session can answer a receiver that is already waiting.
    LastReceived m_lastReceived;
};
