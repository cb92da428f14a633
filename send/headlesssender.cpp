#include "headlesssender.h"

#include "commserial.h"
#include "controller.h"

namespace {
constexpr int BAR_WIDTH = 40;

void writeText(FILE *stream, const QString &text)
{
    fputs(text.toLocal8Bit().constData(), stream);
    fflush(stream);
}
} // namespace

HeadlessSender::HeadlessSender(FILE *out, FILE *err, bool progressBar, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_err(err)
    , m_progressBar(progressBar)
    , m_comm(new CommSerial)
    , m_controller(new Controller(m_comm))
{
    connect(m_comm, &CommInterface::sigSucc, this, &HeadlessSender::slotCommSucc);
    connect(m_comm, &CommInterface::sigFailed, this, &HeadlessSender::slotCommFailed);
    m_controller->addObserver(this);
}

HeadlessSender::~HeadlessSender()
{
    // Abort the channel first so that no read in the session waits out its time-out.
    m_comm->quit();
    delete m_controller;
    delete m_comm;
}

QStringList HeadlessSender::availablePorts() const
{
    return m_comm->availablePorts();
}

void HeadlessSender::start(const QString &portName, int baud, const QString &filePath)
{
    m_portName = portName;
    m_filePath = filePath;
    m_phase = Opening;
    m_comm->open(portName, baud);
}

void HeadlessSender::stop()
{
    ++m_stopRequests;
    if (m_phase == Opening) {
        note(QStringLiteral("stopped before %1 was open.").arg(m_portName));
        finish(1);
    } else if (m_phase == Sending && m_stopRequests == 1) {
        note(QStringLiteral("stopping: sending the cancel sequence."));
        m_controller->stopHandle();
    } else if (m_phase == Sending) {
        m_comm->quit();
    }
}

void HeadlessSender::onMessage(const QString &msg)
{
    if (m_barShown)
        fputs("\r\033[K", m_out);
    writeText(m_out, msg + QLatin1Char('\n'));
    if (m_barShown)
        drawProgress();
}

void HeadlessSender::onDeviceText(const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    fflush(m_out);
}

void HeadlessSender::onProgress(const TransferProgress &progress)
{
    const int value = progress.percent;
    if (value == m_progress)
        return;
    m_progress = value;
    if (m_progressBar) {
        drawProgress();
        m_barShown = true;
    } else {
        writeText(m_out, QStringLiteral("Progress: %1%\n").arg(value));
    }
}

void HeadlessSender::onUpdateEnd(const TransferOutcome &outcome)
{
    if (m_phase != Sending)
        return;
    endProgressLine();
    m_exitCode = outcome.completed() ? 0 : 1;
    if (!outcome.completed())
        note(QStringLiteral("%1 was not sent completely.").arg(m_filePath));
    // Closing through the worker lets what is still queued for the port (a cancel sequence) go out first.
    m_phase = Closing;
    m_comm->close();
}

void HeadlessSender::slotCommSucc(CommOperType type)
{
    if (type == CommOperOpen && m_phase == Opening) {
        m_phase = Sending;
        note(QStringLiteral("%1 is open; waiting for the device to ask for %2 (interrupt to cancel).")
                 .arg(m_portName, m_filePath));
        UploadRequest request;
        request.filePath = m_filePath;
        m_controller->startUpload(request);
    } else if (type == CommOperClose && m_phase == Closing) {
        finish(m_exitCode);
    }
}

void HeadlessSender::slotCommFailed(CommOperType type, QString strInfo)
{
    if (type == CommOperOpen && m_phase == Opening) {
        note(QStringLiteral("cannot open %1: %2").arg(m_portName, strInfo));
        finish(1);
    } else if (type == CommOperClose && m_phase == Closing) {
        note(QStringLiteral("closing %1 reported: %2").arg(m_portName, strInfo));
        finish(m_exitCode);
    }
}

void HeadlessSender::finish(int exitCode)
{
    m_phase = Done;
    emit sigFinished(exitCode);
}

void HeadlessSender::note(const QString &text)
{
    writeText(m_err, QStringLiteral("kelpo-send: ") + text + QLatin1Char('\n'));
}

void HeadlessSender::drawProgress()
{
    const int filled = m_progress * BAR_WIDTH / 100;
    const QString bar = QString(filled, QLatin1Char('#')) + QString(BAR_WIDTH - filled, QLatin1Char('-'));
    writeText(m_out, QStringLiteral("\r[%1] %2%").arg(bar).arg(m_progress, 3));
}

void HeadlessSender::endProgressLine()
{
    if (m_barShown)
        writeText(m_out, QStringLiteral("\n"));
    m_barShown = false;
}
