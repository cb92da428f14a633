#include "headlesssender.h"

#include "commserial.h"
#include "controller.h"

namespace {
const char COMPLETED_LINE[] = "[info]Update process completed.";
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
        m_controller->stopHandle();
        note(QStringLiteral("stopping: the cancel sequence goes out at the device's next byte or within 10 s "
                            "(stop again to end at once)."));
    } else if (m_phase == Sending) {
        m_comm->quit();
    }
}

void HeadlessSender::onMessage(const QString &msg)
{
    if (msg == QLatin1String(COMPLETED_LINE))
        m_completed = true;
    if (m_barShown)
        fputs("\r\033[K", m_out);
    writeText(m_out, msg + QLatin1Char('\n'));
    if (m_barShown)
        drawProgress();
}

void HeadlessSender::onProgress(int value)
{
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

void HeadlessSender::onUpdateEnd()
{
    if (m_phase != Sending)
        return;
    endProgressLine();
    m_exitCode = m_completed ? 0 : 1;
    if (!m_completed)
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
        m_controller->setFileName(m_filePath);
        m_controller->startUpload();
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
