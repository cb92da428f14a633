#include "uploadsession.h"

#include "comminterface.h"
#include "fileproblemtext.h"
#include "log.h"
#include "transfersettings.h"

namespace {
const char INFO_PREFIX[] = "[info]";
constexpr qint64 FOREVER = ReplyReader::FOREVER;

qint64 earliest(qint64 a, qint64 b)
{
    return a == FOREVER ? b : b == FOREVER ? a : qMin(a, b);
}

bool isRequest(unsigned char byte)
{
    return byte == YMODEM_CODE_C || byte == YMODEM_CODE_NAK;
}

} // namespace

UploadSession::UploadSession(CommInterface *comm, const UploadRequest &request,
    const std::atomic<bool> &running, const LastReceived &lastReceived)
    : m_comm(comm)
    , m_request(request)
    , m_lastReceived(lastReceived)
    , m_reader(comm, running)
    , m_ymodem(QFileInfo(request.filePath), TransferSettings::packetPlan(request.options))
{ }

TransferOutcome UploadSession::run()
{
    if (!m_comm->lineError().isEmpty()) {
        endOnLine({ Reply::Lost, 0, steadyMs() });
        return m_outcome;
    }
    const QString problem = fileProblemText(m_ymodem, m_request.filePath);
    if (!problem.isEmpty()) {
        finish(TransferOutcome::Refused, QStringLiteral("file refused"), problem);
        return m_outcome;
    }
    emit sigMessage(QStringLiteral("[info]Prepare to establish a connection."));
    if (!awaitRequest())
        return m_outcome;

    for (;;) {
        const Reply reply = m_reader.read(m_deadlineMs);
        switch (reply.kind) {
        case Reply::Byte:
            onByte(reply);
            break;
        case Reply::TimedOut:
            onTimeout();
            break;
        case Reply::Stopped:
        case Reply::Aborted:
        case Reply::Lost:
            endOnLine(reply);
            break;
        }
        if (m_state == Done)
            break;
    }
    m_outcome.seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0;
    return m_outcome;
}

// Waits for the receiver's first 'C' (CRC) or NAK (checksum). Everything else the device prints meanwhile is
// text for the console, passed on in pieces at most TEXT_PIECE_MS old. A request byte counts only once the
// line has stayed quiet behind it, so the 'C' in a banner's "(C) COPYRIGHT" does not start the session; a
// 'C' followed at once by a backspace counts at once: a receiver that rubs out its own request on the
// operator's screen (ST's SBSFU prints "\b." behind every 'C') is asking, whatever it prints after. A
// receiver that asked shortly before the session began, and has been quiet since, is answered at once.
bool UploadSession::awaitRequest()
{
    takeText(m_reader.drain(&m_lastReceived));
    Reply candidate { Reply::TimedOut, 0, -1 };
    if (isRequest(m_lastReceived.byte) && m_lastReceived.atMs >= 0
        && steadyMs() - m_lastReceived.atMs <= RECENT_REQUEST_MS)
        candidate = { Reply::Byte, m_lastReceived.byte, m_lastReceived.atMs };

    const int startLimit = m_request.options.startTimeoutMs;
    const qint64 startDeadline = startLimit > 0 ? steadyMs() + startLimit : FOREVER;
    while (candidate.kind != Reply::Byte || steadyMs() - candidate.atMs < REQUEST_QUIET_MS) {
        const qint64 quietEnd = candidate.kind == Reply::Byte ? candidate.atMs + REQUEST_QUIET_MS : FOREVER;
        const qint64 textDue = m_pendingText.isEmpty() ? FOREVER : m_pendingSinceMs + TEXT_PIECE_MS;
        const Reply reply = m_reader.read(earliest(earliest(quietEnd, startDeadline), textDue));
        if (reply.kind == Reply::Byte) {
            takeText(QByteArray(1, char(reply.byte)));
            if (countCancel(reply.byte))
                return false;
            if (candidate.kind == Reply::Byte && candidate.byte == YMODEM_CODE_C && reply.byte == '\b')
                break;
            candidate = isRequest(reply.byte) ? reply : Reply { Reply::TimedOut, 0, -1 };
            continue;
        }
        if (reply.kind == Reply::TimedOut) {
            flushText();
            const bool late = startDeadline != FOREVER && reply.atMs >= startDeadline;
            if (candidate.kind == Reply::Byte && (late || reply.atMs >= quietEnd))
                break;
            if (!late)
                continue;
            finish(TransferOutcome::GaveUp, QStringLiteral("the device never asked for the file"),
                QStringLiteral("The device never asked for the file within %1 s: check that its receiver is "
                               "started and that the baud rate is right, then try again.")
                    .arg(startLimit / 1000.0));
            return false;
        }
        flushText();
        endOnLine(reply);
        return false;
    }
    flushText();
    if (candidate.byte == YMODEM_CODE_NAK) {
        m_ymodem.setChecksumMode(true);
        emit sigMessage(QStringLiteral("[info]The device asked for checksum mode (NAK): packets carry a "
                                       "checksum instead of a CRC."));
    }
    m_clock.start();
    if (m_request.options.protocol == TransferOptions::YModem) {
        sendBlockZero(candidate);
    } else {
        // XMODEM has no block 0: the first data packet answers the request, and may meet a device that
        // prepares its flash before it answers.
        m_state = WaitDataStart;
        sendNextData(candidate);
    }
    return true;
}

// A receiver that answers with ACK and 'C' (or asks with two 'C's) may deliver the 'C' in a read of its
// own, after the packet it made us send has left (a USB device does). That 'C' is no request to send the
// packet again: the receiver cannot have taken it in yet, and a duplicate is refused for good by some
// receivers (they answer it with NAK and stay one packet behind from then on). So a 'C' is the tail of the
// answer we acted on when it is the first byte since the packet left, comes within PAIR_WINDOW_MS of it,
// and what made the packet leave was an ACK or a 'C'. Any other 'C' or NAK asks for the packet again.
// Taking a real request for a tail costs only a wait: the receiver asks again after its own time-out,
// which is shorter than our reply wait, or the reply wait sends the packet again.
bool UploadSession::isPairTail(const Reply &reply) const
{
    return reply.byte == YMODEM_CODE_C && !m_heardSinceSend && reply.atMs - m_sentAtMs <= PAIR_WINDOW_MS
        && (m_triggerByte == YMODEM_CODE_ACK || m_triggerByte == YMODEM_CODE_C);
}

// Two CANs in a row are the receiver's cancel; a single one is line noise. True when the session is over.
bool UploadSession::countCancel(unsigned char byte)
{
    m_cancelRun = byte == YMODEM_CODE_CAN ? m_cancelRun + 1 : 0;
    if (m_cancelRun < 2)
        return false;
    flushText();
    if (m_state == WaitInfoAck && m_clock.isValid())
        finish(TransferOutcome::DeviceCancelled, QStringLiteral("the device refused the file"),
            QStringLiteral(
                "The device refused the file: it may be larger than the device can hold, or the "
                "device could not erase its flash. Check the file, then start the receiver again."));
    else
        finish(TransferOutcome::DeviceCancelled, QStringLiteral("the device cancelled"),
            QStringLiteral("The device cancelled the update. Start its receiver again, then send the file "
                           "again."));
    return true;
}

void UploadSession::onByte(const Reply &reply)
{
    const bool tail = isPairTail(reply);
    m_heardSinceSend = true;
    if (countCancel(reply.byte))
        return;
    const unsigned char byte = reply.byte;
    if (tail) {
        LOG_SOURCE(3, "'C' right behind the answer to the previous packet, taken as part of it");
        return;
    }
    switch (m_state) {
    case WaitInfoAck:
        if (byte == YMODEM_CODE_ACK) {
            acknowledged();
            m_state = WaitDataStart;
            m_deadlineMs = deadlineAfter(DATA_START_WAIT_MS);
        } else if (isRequest(byte)) {
            resend(QStringLiteral("Resend file information package."), reply);
        }
        break;
    case WaitDataStart:
        if (isRequest(byte))
            sendNextData(reply);
        break;
    case WaitDataAck:
        if (byte == YMODEM_CODE_ACK) {
            acknowledged();
            if (m_ymodem.bytesRead() < m_ymodem.fileSize())
                sendNextData(reply);
            else
                sendEot(reply);
        } else if (isRequest(byte)) {
            resend(QStringLiteral("Resend data packet, packet number is:%1").arg(m_ymodem.packetNumber())
                    + QStringLiteral("，Total number of packages:%1").arg(m_ymodem.totalPackets()),
                reply);
        }
        break;
    case WaitEotAck:
        if (byte == YMODEM_CODE_ACK && !isYModem()) {
            // XMODEM ends here: there is no batch to close.
            finish(TransferOutcome::Completed, QStringLiteral("done"),
                QStringLiteral("Update process completed."));
        } else if (byte == YMODEM_CODE_ACK) {
            acknowledged();
            m_state = WaitEndStart;
            m_deadlineMs = deadlineAfter(m_request.options.replyTimeoutMs);
        } else if (byte == YMODEM_CODE_NAK && m_eotNaks++ == 0) {
            // Many receivers refuse the first EOT to be sure of it: the second is no retransmission.
            sendEot(reply);
            emit sigMessage(QStringLiteral("[info]Sending data completed EOT."));
        } else if (isRequest(byte)) {
            resend(QStringLiteral("Resend the second EOT"), reply);
        }
        break;
    case WaitEndStart:
        if (isRequest(byte))
            sendEnd(reply);
        else if ((byte >= 0x20 && byte < 0x7F) || byte == '\r' || byte == '\n')
            ++m_textAfterEot;
        break;
    case WaitEndAck:
        if (byte == YMODEM_CODE_ACK)
            finish(TransferOutcome::Completed, QStringLiteral("done"),
                QStringLiteral("Update process completed."));
        else if (isRequest(byte))
            resend(QStringLiteral("Resend End Package(All Zero)."), reply);
        break;
    case Done:
        break;
    }
    if (m_state != Done && byte != YMODEM_CODE_ACK && !isRequest(byte) && byte != YMODEM_CODE_CAN)
        LOG_SOURCE(2, "Ignored byte 0x%02X from the device", byte);
}

void UploadSession::onTimeout()
{
    const Reply none { Reply::TimedOut, 0, steadyMs() };
    if (m_state == WaitDataStart) {
        // Some receivers acknowledge block 0 and wait for data without asking for it.
        sendNextData(none);
    } else if (m_state == WaitEndStart && m_textAfterEot >= TEXT_AFTER_EOT) {
        finish(TransferOutcome::GaveUp, QStringLiteral("no end of batch"),
            QStringLiteral(
                "The device took the whole file, then printed text instead of asking for the end of "
                "the batch: it may be an XMODEM receiver. Check the file on the device."));
    } else {
        resend(QStringLiteral("No feedback received after timeout, retransmission"), none);
    }
}

void UploadSession::sendBlockZero(const Reply &trigger)
{
    const int len = m_ymodem.buildFileInfoPacket(m_packet, sizeof m_packet);
    // A receiver erases its flash before it answers block 0: a resend meanwhile would be lost in part and
    // garble what follows.
    sendPacket(len, trigger, WaitInfoAck, m_request.options.firstReplyTimeoutMs);
    emit sigMessage(QStringLiteral("[info]During the process of establishing a connection..."));
}

// Filler in place of file data would flash a corrupt image, so a file that cannot be read ends the session.
void UploadSession::sendNextData(const Reply &trigger)
{
    const bool first = m_state == WaitDataStart;
    m_bytesBeforePacket = m_ymodem.bytesRead();
    const int len = m_ymodem.buildDataPacket(m_packet, sizeof m_packet);
    if (len == 0) {
        cancel(TransferOutcome::GaveUp, QStringLiteral("file read failed"),
            QStringLiteral("Cannot read the firmware file \"%1\" to its end (%2), Cancel update")
                .arg(displayName(m_request.filePath), m_ymodem.errorString()));
        return;
    }
    sendPacket(len, trigger, WaitDataAck,
        first && !isYModem() ? m_request.options.firstReplyTimeoutMs : m_request.options.replyTimeoutMs);
    if (first)
        emit sigMessage(QStringLiteral("[info]Handshake successful! Start transmitting data."));
}

void UploadSession::sendEot(const Reply &trigger)
{
    const bool first = m_state != WaitEotAck;
    sendPacket(m_ymodem.buildEotPacket(m_packet, sizeof m_packet), trigger, WaitEotAck,
        m_request.options.replyTimeoutMs);
    if (first)
        emit sigMessage(QStringLiteral("[info]Data transmission completed."));
}

void UploadSession::sendEnd(const Reply &trigger)
{
    sendPacket(m_ymodem.buildEndPacket(m_packet, sizeof m_packet), trigger, WaitEndAck,
        m_request.options.replyTimeoutMs);
}

// Whatever is waiting when a packet leaves came before it and cannot be its answer: a doubled ACK taken
// for the next packet's would put the session a packet ahead of the receiver, which may then end the file
// without that packet and still acknowledge everything. A cancel among those bytes still stands.
void UploadSession::sendPacket(int len, const Reply &trigger, State next, int waitMs)
{
    unsigned char waiting[YMODEM_PACKET_1K_SIZE];
    int n = 0;
    while ((n = m_comm->readWaiting(waiting, sizeof waiting)) > 0) {
        for (int i = 0; i < n; ++i) {
            if (countCancel(waiting[i]))
                return;
        }
    }
    m_packetLength = len;
    m_triggerByte = trigger.kind == Reply::Byte ? trigger.byte : 0;
    m_heardSinceSend = false;
    m_state = next;
    m_deadlineMs = deadlineAfter(waitMs);
    if (!m_comm->writeData(reinterpret_cast<const char *>(m_packet), len)) {
        if (!m_comm->lineError().isEmpty())
            endOnLine({ Reply::Lost, 0, steadyMs() });
        else
            finish(TransferOutcome::GaveUp, QStringLiteral("the port took nothing"),
                QStringLiteral("The serial port took nothing of the packet for a while: check the cable and "
                               "the device, then try again. Cancel update"));
        return;
    }
    m_sentAtMs = steadyMs();
}

void UploadSession::resend(const QString &text, const Reply &trigger)
{
    if (m_resends >= m_request.options.retries) {
        cancel(TransferOutcome::GaveUp, QStringLiteral("too many retries"),
            QStringLiteral("Resend more than %1 times, Cancel update").arg(m_request.options.retries));
        return;
    }
    ++m_resends;
    ++m_outcome.retransmissions;
    report(2, text);
    const int waitMs
        = m_state == WaitInfoAck ? m_request.options.firstReplyTimeoutMs : m_request.options.replyTimeoutMs;
    sendPacket(m_packetLength, trigger, m_state, waitMs);
}

// The receiver has the packet on the line: the next one starts with a fresh count of retries.
void UploadSession::acknowledged()
{
    m_resends = 0;
    if (m_state == WaitDataAck) {
        m_outcome.bytes = qMin(m_ymodem.bytesRead(), m_ymodem.fileSize());
        reportProgress();
    }
}

void UploadSession::reportProgress()
{
    TransferProgress progress;
    progress.percent = m_ymodem.progress();
    progress.bytes = m_outcome.bytes;
    progress.total = m_ymodem.fileSize();
    progress.seconds = m_clock.isValid() ? m_clock.elapsed() / 1000.0 : 0;
    emit sigProgress(progress);
}

// The endings that come from outside the protocol: the operator's stop, which the device is told of, an
// aborted channel, over which nothing more can go, and a lost port.
void UploadSession::endOnLine(const Reply &reply)
{
    if (reply.kind == Reply::Stopped)
        cancel(TransferOutcome::Cancelled, QStringLiteral("cancelled"), QStringLiteral("Cancel the update."));
    else if (reply.kind == Reply::Lost)
        finish(TransferOutcome::PortLost, QStringLiteral("port lost"),
            m_comm->lineError() + QStringLiteral(", Cancel update"));
    else
        finish(TransferOutcome::Cancelled, QStringLiteral("cancelled"), QString());
}

void UploadSession::finish(TransferOutcome::Result result, const QString &reason, const QString &line)
{
    m_outcome.result = result;
    m_outcome.reason = reason;
    m_outcome.detail = line;
    m_state = Done;
    if (!line.isEmpty())
        report(result == TransferOutcome::Completed ? 2 : 1, line);
}

// The cancel sequence goes out behind the packet being written, never inside it, and the line saying so
// is shown once the sequence has been handed to the port.
void UploadSession::cancel(TransferOutcome::Result result, const QString &reason, const QString &line)
{
    unsigned char sequence[YMODEM_CODE_CAN_NUMBER];
    const int len = m_ymodem.buildCancelPacket(sequence, sizeof sequence);
    m_comm->writeData(reinterpret_cast<const char *>(sequence), len);
    m_comm->waitWritten(CANCEL_HANDOVER_MS);
    finish(result, reason, line);
}

void UploadSession::takeText(const QByteArray &bytes)
{
    if (m_pendingText.isEmpty())
        m_pendingSinceMs = steadyMs();
    m_pendingText += bytes;
}

void UploadSession::flushText()
{
    if (m_pendingText.isEmpty())
        return;
    emit sigDeviceText(m_pendingText);
    m_pendingText.clear();
}

// One console line and the same text in the log.
void UploadSession::report(int logLevel, const QString &text)
{
    emit sigMessage(INFO_PREFIX + text);
    LOG_SOURCE(logLevel, "%s", text.toUtf8().constData());
}

bool UploadSession::isYModem() const
{
    return m_request.options.protocol == TransferOptions::YModem;
}

qint64 UploadSession::deadlineAfter(int waitMs) const
{
    return steadyMs() + waitMs;
}
