#include "handlethread.h"

#include "comminterface.h"
#include "log.h"
#include "ymodem.h"

#include <QDebug>
#include <QDir>
#include <QThread>
#include <cstring>

namespace {
constexpr int PACKET_BUFFER_SIZE = YMODEM_PACKET_OVERHEAD + YMODEM_PACKET_1K_SIZE;
const char INFO_PREFIX[] = "[info]";

QString displayName(const QFileInfo &fileInfo)
{
    return QDir::toNativeSeparators(fileInfo.filePath());
}

// Why the file cannot be sent, in the words shown to the operator; empty when it can.
QString fileProblemText(const Ymodem &ymodem, const QFileInfo &fileInfo)
{
    const QString name = displayName(fileInfo);
    switch (ymodem.fileProblem()) {
    case Ymodem::NoProblem:
        return QString();
    case Ymodem::CannotOpen:
        return QStringLiteral("Cannot open the firmware file \"%1\": %2, update not started.")
            .arg(name, ymodem.errorString());
    case Ymodem::EmptyFile:
        return QStringLiteral("The firmware file \"%1\" is empty, update not started.").arg(name);
    case Ymodem::TooLarge:
        return QStringLiteral(
            "The firmware file \"%1\" has %2 bytes, more than the %3 bytes YMODEM can carry, "
            "update not started.")
            .arg(name)
            .arg(fileInfo.size())
            .arg(YMODEM_MAX_FILE_SIZE);
    case Ymodem::NameTooLong:
        return QStringLiteral(
            "The name of the firmware file \"%1\" is too long: name and size must fit in %2 "
            "bytes, update not started.")
            .arg(name)
            .arg(YMODEM_PACKET_SIZE);
    }
    return QString();
}
} // namespace

struct HandleThread::Session
{
    explicit Session(const QFileInfo &fileInfo) : ymodem(fileInfo) { }

    Ymodem ymodem;
    unsigned char packet[PACKET_BUFFER_SIZE] = {};
    int lastLength = 0;
    int resendCount = 0;
    char reply = 0;
    UploadState state = WaitStart;
};

HandleThread::HandleThread(CommInterface *comm, QObject *parent) : QObject(parent), m_comm(comm)
{ }

void HandleThread::setFileName(const QString &path)
{
    m_fileInfo = QFileInfo(path);
}

void HandleThread::noteRequest()
{
    ++m_requestsNoted;
}

void HandleThread::stop()
{
    m_requestsStopped.store(m_requestsNoted.load());
    m_running.store(false);
}

// Sets the run flag for the slot that starts now; false when that request was stopped before it could
// start. Without this, a monitor still queued when the operator asks for a download would start after the
// stop and keep the download waiting behind it for good.
bool HandleThread::beginRequest()
{
    m_running.store(true);
    return ++m_requestsBegun > m_requestsStopped.load();
}

void HandleThread::write(const char *data, int len)
{
    m_comm->writeData(data, len);
}

void HandleThread::slotStartUpload()
{
    qDebug() << "HandleThread::slotStartUpload:" << QThread::currentThreadId();
    if (!beginRequest()) {
        // Stopped before it began: nothing has been sent, so there is nothing to cancel on the line.
        report(1, QStringLiteral("Cancel the update."));
        emit sigUpdateEnd();
        return;
    }

    unsigned char drainBuffer[PACKET_BUFFER_SIZE];
    drainStaleInput(drainBuffer, sizeof drainBuffer);

    Session session(m_fileInfo);
    m_cancelWaiting = false;
    if (lineLost() || refuseFile(session.ymodem)) {
        emit sigUpdateEnd();
        return;
    }
    emit sigMessage(QStringLiteral("[info]Prepare to establish a connection."));

    for (;;) {
        const bool alive = m_comm->readByte(&session.reply, REPLY_TIMEOUT_MS);
        // No cancel sequence can reach a device that is gone.
        if (lineLost())
            break;
        const bool running = m_running.load(std::memory_order_relaxed);
        const bool overLimit = session.resendCount >= RESEND_MAX_TIMES;
        if (!running || overLimit) {
            // The operator's stop wins over the limit; both send the cancel sequence.
            const QString reason = running
                ? QStringLiteral("Resend more than %1 times, Cancel update").arg(session.resendCount)
                : QStringLiteral("Cancel the update.");
            Cancel(session.reply, session.ymodem, reason);
            break;
        }
        if (!alive)
            break;
        if (m_comm->isReadTimeout()) {
            if (session.state != WaitStart)
                reTransmit(session.packet, session.lastLength, session.resendCount,
                    QStringLiteral("No feedback received after timeout, retransmission"));
        } else if (handleReply(session)) {
            break;
        }
        if (m_cancelWaiting) {
            // The receiver's cancel came in while the packet left: the same as a cancel in its place.
            m_cancelWaiting = false;
            session.reply = char(YMODEM_CODE_CAN);
            Cancel(session.reply, session.ymodem, QString());
        }
    }
    emit sigUpdateEnd();
}

void HandleThread::drainStaleInput(unsigned char *buf, int buflen)
{
    while (m_comm->readData(buf, buflen, DRAIN_WAIT_MS) != 0) { }
}

bool HandleThread::lineLost()
{
    const QString error = m_comm->lineError();
    if (error.isEmpty())
        return false;
    report(1, error + QStringLiteral(", Cancel update"));
    return true;
}

bool HandleThread::refuseFile(const Ymodem &ymodem)
{
    const QString problem = fileProblemText(ymodem, m_fileInfo);
    if (problem.isEmpty())
        return false;
    report(1, problem);
    return true;
}

// Acts on one reply byte; returns true when the session is over.
bool HandleThread::handleReply(Session &session)
{
    const auto reply = static_cast<unsigned char>(session.reply);
    Ymodem &ymodem = session.ymodem;

    switch (session.state) {
    case WaitStart:
        // CRC mode only: anything but C is line noise or boot text.
        if (reply == YMODEM_CODE_C) {
            sendPacket(session, ymodem.buildFileInfoPacket(session.packet, PACKET_BUFFER_SIZE));
            emit sigMessage(QStringLiteral("[info]During the process of establishing a connection..."));
            session.state = WaitInfoAck;
        }
        return false;
    case WaitInfoAck:
        if (reply == YMODEM_CODE_ACK) {
            session.state = WaitDataStart;
            return false;
        }
        if (reply == YMODEM_CODE_NAK) {
            reTransmit(session.packet, session.lastLength, session.resendCount,
                QStringLiteral("Resend file information package."));
            return false;
        }
        break;
    case WaitDataStart:
        if (reply == YMODEM_CODE_C) {
            if (!sendDataPacket(session))
                return true;
            emit sigMessage(QStringLiteral("[info]Handshake successful! Start transmitting data."));
            emit sigProgress(ymodem.progress());
            session.state = WaitDataAck;
            return false;
        }
        break;
    case WaitDataAck:
        if (reply == YMODEM_CODE_ACK) {
            if (ymodem.progress() < 100) {
                if (!sendDataPacket(session))
                    return true;
                emit sigProgress(ymodem.progress());
            } else {
                sendPacket(session, ymodem.buildEotPacket(session.packet, PACKET_BUFFER_SIZE));
                emit sigMessage(QStringLiteral("[info]Data transmission completed."));
                session.state = WaitEotReply;
            }
            return false;
        }
        if (reply == YMODEM_CODE_NAK) {
            reTransmit(session.packet, session.lastLength, session.resendCount,
                QStringLiteral("Resend data packet, packet number is:%1").arg(ymodem.packetNumber())
                    + QStringLiteral("，Total number of packages:%1").arg(ymodem.totalPackets()));
            return false;
        }
        break;
    case WaitEotReply:
        if (reply == YMODEM_CODE_NAK) {
            sendPacket(session, ymodem.buildEotPacket(session.packet, PACKET_BUFFER_SIZE));
            emit sigMessage(QStringLiteral("[info]Sending data completed EOT."));
            session.state = WaitSecondEotAck;
            return false;
        }
        if (reply == YMODEM_CODE_ACK) {
            session.state = WaitEndStart;
            return false;
        }
        break;
    case WaitSecondEotAck:
        if (reply == YMODEM_CODE_ACK) {
            session.state = WaitEndStart;
            return false;
        }
        if (reply == YMODEM_CODE_NAK) {
            reTransmit(session.packet, session.lastLength, session.resendCount,
                QStringLiteral("Resend the second EOT"));
            return false;
        }
        break;
    case WaitEndStart:
        if (reply == YMODEM_CODE_C) {
            sendPacket(session, ymodem.buildEndPacket(session.packet, PACKET_BUFFER_SIZE));
            session.state = WaitEndAck;
            return false;
        }
        // Many bootloaders acknowledge the EOT twice before asking for the end packet.
        if (reply == YMODEM_CODE_ACK)
            return false;
        break;
    case WaitEndAck:
        if (reply == YMODEM_CODE_ACK) {
            emit sigMessage(QStringLiteral("[info]Update process completed."));
            return true;
        }
        if (reply == YMODEM_CODE_NAK) {
            reTransmit(session.packet, session.lastLength, session.resendCount,
                QStringLiteral("Resend End Package(All Zero)."));
            return false;
        }
        break;
    }
    // An unexpected reply: the next wake-up takes the cancel path and sends the sequence again.
    Cancel(session.reply, ymodem, QString());
    return false;
}

// Sends the next data packet; when the file cannot be read the session is cancelled instead, since filler in
// place of file data would flash a corrupt image.
bool HandleThread::sendDataPacket(Session &session)
{
    const int len = session.ymodem.buildDataPacket(session.packet, PACKET_BUFFER_SIZE);
    if (len > 0) {
        sendPacket(session, len);
        return true;
    }
    Cancel(session.reply, session.ymodem,
        QStringLiteral("Cannot read the firmware file \"%1\" to its end (%2), Cancel update")
            .arg(displayName(m_fileInfo), session.ymodem.errorString()));
    return false;
}

void HandleThread::sendPacket(Session &session, int len)
{
    session.lastLength = len;
    sendAnswerable(session.packet, len);
}

// Whatever is waiting when a packet leaves came before it and cannot be its answer: a doubled ACK taken
// for the next packet's would put the session a packet ahead of the receiver, which may then end the file
// without that packet and still acknowledge everything. A cancel among those bytes still stands.
void HandleThread::sendAnswerable(const unsigned char *packet, int len)
{
    unsigned char waiting[PACKET_BUFFER_SIZE];
    int n = 0;
    do {
        n = m_comm->readWaiting(waiting, sizeof waiting);
        if (std::memchr(waiting, YMODEM_CODE_CAN, size_t(n)))
            m_cancelWaiting = true;
    } while (n == int(sizeof waiting));
    m_comm->writeData(reinterpret_cast<const char *>(packet), len);
}

void HandleThread::reTransmit(const unsigned char *packet, int len, int &resendCount, const QString &text)
{
    emit sigMessage(INFO_PREFIX + text);
    LOG_SOURCE(2, "%s", text.toUtf8().constData());
    sendAnswerable(packet, len);
    ++resendCount;
}

void HandleThread::Cancel(char reply, Ymodem &ymodem, const QString &reason)
{
    const QString text = reason.isEmpty()
        ? QString::asprintf(
            "Received incorrect instruction(0x%02X), stop updating. ", static_cast<unsigned char>(reply))
        : reason;
    report(1, text);
    unsigned char cancel[YMODEM_CODE_CAN_NUMBER];
    const int len = ymodem.buildCancelPacket(cancel, sizeof cancel);
    m_comm->writeData(reinterpret_cast<const char *>(cancel), len);
    m_running.store(false, std::memory_order_relaxed);
}

// One console line and the same text in the log.
void HandleThread::report(int logLevel, const QString &text)
{
    emit sigMessage(INFO_PREFIX + text);
    LOG_SOURCE(logLevel, "%s", text.toUtf8().constData());
}

void HandleThread::slotStartDataRecv()
{
    qDebug() << "HandleThread::slotStartDataRecv:" << QThread::currentThreadId();
    if (!beginRequest())
        return;

    QByteArray collected(MONITOR_BUFFER_SIZE, Qt::Uninitialized);
    auto *buffer = reinterpret_cast<unsigned char *>(collected.data());
    int filled = 0;
    for (;;) {
        const int n = m_comm->readData(buffer + filled, MONITOR_BUFFER_SIZE - filled, MONITOR_WAIT_MS);
        if (n != 0) {
            filled += n;
            if (filled == MONITOR_BUFFER_SIZE) {
                emit sigMessage(QString::fromLocal8Bit(collected.constData(), filled));
                filled = 0;
            }
        } else if (m_comm->isReadTimeout()) {
            if (filled > 0) {
                emit sigMessage(QString::fromLocal8Bit(collected.constData(), filled));
                filled = 0;
            }
        } else {
            // The channel was aborted for good: nothing will ever arrive again.
            return;
        }
        if (!m_running.load(std::memory_order_relaxed))
            return;
    }
}
