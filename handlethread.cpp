#include "handlethread.h"

#include "comminterface.h"
#include "log.h"

#include <QDebug>
#include <QThread>

HandleThread::HandleThread(CommInterface *comm, QObject *parent) : QObject(parent), m_comm(comm)
{ }

void HandleThread::noteRequest()
{
    ++m_requestsNoted;
}

void HandleThread::stop()
{
    m_requestsStopped.store(m_requestsNoted.load());
    m_running.store(false);
    m_comm->wakeReader();
}

// Sets the run flag for the slot that starts now; false when that request was stopped before it could
// start. Without this, a monitor still queued when the operator asks for a download would start after the
// stop and keep the download waiting behind it for good.
bool HandleThread::beginRequest()
{
    m_running.store(true);
    return ++m_requestsBegun > m_requestsStopped.load();
}

void HandleThread::slotStartUpload(UploadRequest request)
{
    qDebug() << "HandleThread::slotStartUpload:" << QThread::currentThreadId();
    if (!beginRequest()) {
        // Stopped before it began: nothing has been sent, so there is nothing to cancel on the line.
        const QString text = QStringLiteral("Cancel the update.");
        emit sigMessage(QStringLiteral("[info]") + text);
        LOG_SOURCE(1, "%s", text.toUtf8().constData());
        TransferOutcome outcome;
        outcome.reason = QStringLiteral("cancelled");
        emit sigUpdateEnd(outcome);
        return;
    }
    UploadSession session(m_comm, request, m_running, m_lastReceived);
    connect(&session, &UploadSession::sigMessage, this, &HandleThread::sigMessage);
    connect(&session, &UploadSession::sigDeviceText, this, &HandleThread::sigDeviceText);
    connect(&session, &UploadSession::sigProgress, this, &HandleThread::sigProgress);
    const TransferOutcome outcome = session.run();
    m_lastReceived = LastReceived();
    emit sigUpdateEnd(outcome);
}

void HandleThread::slotStartDataRecv()
{
    qDebug() << "HandleThread::slotStartDataRecv:" << QThread::currentThreadId();
    if (!beginRequest())
        return;

    QByteArray collected(MONITOR_BUFFER_SIZE, Qt::Uninitialized);
    auto *buffer = reinterpret_cast<unsigned char *>(collected.data());
    int filled = 0;
    // When the oldest byte held came: no byte is held longer than MONITOR_PIECE_MS, while a busy line
    // still goes on in few, large pieces.
    qint64 heldSinceMs = 0;
    auto show = [&] {
        if (filled > 0)
            emit sigDeviceText(QByteArray(collected.constData(), filled));
        filled = 0;
    };
    for (;;) {
        const int waitMs = filled == 0 ? MONITOR_WAIT_MS
                                       : int(qMax<qint64>(1, heldSinceMs + MONITOR_PIECE_MS - steadyMs()));
        const int n = m_comm->readData(buffer + filled, MONITOR_BUFFER_SIZE - filled, waitMs);
        if (n != 0) {
            if (filled == 0)
                heldSinceMs = steadyMs();
            filled += n;
            m_lastReceived = { buffer[filled - 1], steadyMs() };
            if (filled == MONITOR_BUFFER_SIZE || steadyMs() - heldSinceMs >= MONITOR_PIECE_MS)
                show();
        } else if (m_comm->isReadTimeout()) {
            show();
        } else {
            // The channel was aborted for good: nothing will ever arrive again; what is held still belongs
            // in the console.
            show();
            return;
        }
        if (!m_running.load(std::memory_order_relaxed)) {
            show();
            return;
        }
    }
}
