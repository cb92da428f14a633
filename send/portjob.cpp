#include "portjob.h"

#include "commserial.h"
#include "controller.h"
#include "serialplatform.h"
#include "steprunner.h"

namespace {
constexpr int OPEN_RETRY_MS = 100;
constexpr int TRANSFER_TEXT_LIMIT = 64 * 1024;
} // namespace

PortJob::PortJob(const PortJobSettings &settings, Reporter *reporter, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_reporter(reporter)
    , m_comm(new CommSerial)
    , m_controller(new Controller(m_comm))
{
    m_result.port = settings.port;
    connect(m_comm, &CommInterface::sigSucc, this, &PortJob::slotCommSucc);
    connect(m_comm, &CommInterface::sigFailed, this, &PortJob::slotCommFailed);
    m_controller->addObserver(this);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &PortJob::open);
}

PortJob::~PortJob()
{
    // Abort the channel first so that no read in the session waits out its time-out.
    m_comm->quit();
    delete m_runner;
    delete m_controller;
    delete m_comm;
}

void PortJob::start()
{
    m_portDeadline.setRemainingTime(m_settings.waitPortMs);
    open();
}

void PortJob::open()
{
    m_phase = Opening;
    m_comm->open(m_settings.port, m_settings.baud);
}

void PortJob::stop()
{
    switch (m_phase) {
    case Idle:
    case Opening:
        m_retryTimer.stop();
        close(QStringLiteral("cancelled"),
            QStringLiteral("cancelled before %1 was open; %2 was not sent at all.")
                .arg(m_settings.port, m_settings.filePath));
        break;
    case Before:
    case After:
        m_runner->stop();
        m_controller->stopHandle();
        close(QStringLiteral("cancelled"),
            unsentReason(QStringLiteral("cancelled during the steps %1 it")
                             .arg(m_phase == Before ? "before" : "after")));
        break;
    case Transfer:
        m_reporter->note(m_settings.port, QStringLiteral("stopping: sending the cancel sequence."));
        m_controller->stopHandle();
        break;
    case Closing:
    case Done:
        break;
    }
}

void PortJob::slotCommSucc(CommOperType type)
{
    if (type == CommOperOpen && m_phase == Opening) {
        // Steps need the file's values, and a file the engine will refuse is not worth a board's reset.
        if (m_settings.before.isEmpty() || !m_settings.facts.readable || m_settings.facts.size == 0) {
            m_reporter->note(m_settings.port,
                QStringLiteral("%1 is open; waiting for the device to ask for %2 (interrupt to cancel).")
                    .arg(m_settings.port, m_settings.filePath));
            startTransfer();
            return;
        }
        m_reporter->note(m_settings.port,
            QStringLiteral("%1 is open; running the steps before the transfer.").arg(m_settings.port));
        m_controller->startDataRecv();
        runSteps(QStringLiteral("before"), m_settings.before, QByteArray());
    } else if (type == CommOperClose && m_phase == Closing) {
        finish();
    }
}

void PortJob::slotCommFailed(CommOperType type, QString strInfo)
{
    if (type == CommOperOpen && m_phase == Opening) {
        // A port that was missing gets the whole wait: a node that has just appeared may not be ready yet
        // (its permissions still being set).
        m_portSeenMissing = m_portSeenMissing || !portPresent(m_settings.port);
        if (!m_portDeadline.hasExpired() && m_portSeenMissing) {
            if (!m_waitNoted)
                m_reporter->note(m_settings.port,
                    QStringLiteral("waiting up to %1 s for %2 to appear.")
                        .arg(m_settings.waitPortMs / 1000.0)
                        .arg(m_settings.port));
            m_waitNoted = true;
            m_retryTimer.start(OPEN_RETRY_MS);
            return;
        }
        m_result.outcome = QStringLiteral("port-unavailable");
        m_result.reason = QStringLiteral("cannot open %1: %2").arg(m_settings.port, strInfo);
        finish();
    } else if (type == CommOperClose && m_phase == Closing) {
        m_reporter->note(
            m_settings.port, QStringLiteral("closing %1 reported: %2").arg(m_settings.port, strInfo));
        finish();
    } else if (type == CommOperClose && (m_phase == Before || m_phase == After)) {
        // The port was lost while the steps ran; during the transfer the session reports it itself.
        m_runner->stop();
        m_controller->stopHandle();
        close(QStringLiteral("port-lost"), unsentReason(strInfo));
    }
}

void PortJob::runSteps(const QString &phase, const QList<Step> &steps, const QByteArray &seen)
{
    QList<Step> resolved;
    for (const Step &step : steps)
        resolved << step.resolved(m_settings.facts);
    delete m_runner;
    m_runner = new StepRunner(m_comm, phase, resolved, m_settings.expectTimeoutMs);
    connect(m_runner, &StepRunner::sigStepDone, this,
        [this](const StepReport &report) { m_reporter->step(m_settings.port, report); });
    connect(m_runner, &StepRunner::sigFinished, this, &PortJob::slotStepsFinished);
    m_phase = phase == QLatin1String("before") ? Before : After;
    m_runner->start(seen);
}

void PortJob::slotStepsFinished(bool ok, QString failure)
{
    if (m_phase == Before && ok) {
        startTransfer();
        return;
    }
    m_controller->stopHandle();
    if (ok)
        close(QStringLiteral("completed"), QString());
    else if (m_phase == Before)
        close(QStringLiteral("step-failed"), failure + QStringLiteral("; nothing was sent."));
    else
        close(QStringLiteral("step-failed"),
            failure + QStringLiteral("; %1 was sent, but its check failed.").arg(m_settings.filePath));
}

void PortJob::startTransfer()
{
    // Ends the receive monitor of the steps, if it runs; the upload starts after it.
    if (m_phase == Before)
        m_controller->stopHandle();
    m_phase = Transfer;
    m_transferText.clear();
    m_controller->startUpload({ m_settings.filePath, m_settings.transfer });
}

void PortJob::onMessage(const QString &msg)
{
    m_reporter->message(m_settings.port, msg);
}

void PortJob::onDeviceText(const QByteArray &bytes)
{
    m_reporter->device(m_settings.port, bytes);
    if (m_phase == Transfer) {
        m_transferText += bytes;
        if (m_transferText.size() > TRANSFER_TEXT_LIMIT)
            m_transferText.remove(0, m_transferText.size() - TRANSFER_TEXT_LIMIT);
    } else if (m_runner && (m_phase == Before || m_phase == After)) {
        m_runner->takeDeviceText(bytes);
    }
}

void PortJob::onProgress(const TransferProgress &progress)
{
    if (progress.percent == m_percent)
        return;
    m_percent = progress.percent;
    m_reporter->progress(m_settings.port, progress.percent);
}

void PortJob::onUpdateEnd(const TransferOutcome &outcome)
{
    if (m_phase != Transfer)
        return;
    m_result.bytes = outcome.bytes;
    m_result.seconds = outcome.seconds;
    m_result.retransmissions = outcome.retransmissions;
    if (outcome.completed() && !m_settings.after.isEmpty()) {
        m_controller->startDataRecv();
        runSteps(QStringLiteral("after"), m_settings.after, m_transferText);
        return;
    }
    QString reason;
    if (outcome.result == TransferOutcome::Refused)
        reason = QStringLiteral("refused: ") + outcome.detail;
    else if (!outcome.completed())
        reason = unsentReason(outcome.reason);
    close(QString::fromLatin1(outcomeName(outcome.result)), reason);
}

// "not sent at all" or "sent only in part", with why.
QString PortJob::unsentReason(const QString &why) const
{
    if (m_result.bytes == 0)
        return QStringLiteral("%1 was not sent at all: %2.").arg(m_settings.filePath, why);
    if (m_result.bytes >= m_settings.facts.size && m_settings.facts.readable)
        return QStringLiteral("%1 was sent whole, then: %2.").arg(m_settings.filePath, why);
    return QStringLiteral("%1 was sent only in part (%2 of %3 bytes): %4.")
        .arg(m_settings.filePath)
        .arg(m_result.bytes)
        .arg(m_settings.facts.size)
        .arg(why);
}

void PortJob::close(const QString &outcome, const QString &reason)
{
    m_result.outcome = outcome;
    m_result.reason = reason;
    // Closing through the worker lets what is still queued for the port (a cancel sequence) go out first.
    m_phase = Closing;
    m_comm->close();
}

void PortJob::finish()
{
    m_phase = Done;
    m_reporter->end(m_result);
    emit sigFinished();
}
