#include "steprunner.h"

#include <QRegularExpression>

namespace {
// Enough for any prompt or banner a step waits for; older text is dropped.
constexpr int SEEN_LIMIT = 64 * 1024;

void keepLast(QByteArray *bytes, int limit)
{
    if (bytes->size() > limit)
        bytes->remove(0, bytes->size() - limit);
}

// The device's words on one line: control characters are shown as escapes.
QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text) {
        if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}
} // namespace

StepRunner::StepRunner(
    CommInterface *comm, const QString &phase, const QList<Step> &steps, int expectTimeoutMs, QObject *parent)
    : QObject(parent), m_comm(comm), m_phase(phase), m_steps(steps), m_expectTimeoutMs(expectTimeoutMs)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_steps.at(m_current).kind() == Step::Wait)
            stepDone();
        else
            stepFailed(QStringLiteral("nothing matched within %1 s").arg(m_expectTimeoutMs / 1000.0));
    });
    connect(m_comm, &CommInterface::sigSucc, this, &StepRunner::slotCommSucc);
    connect(m_comm, &CommInterface::sigFailed, this, &StepRunner::slotCommFailed);
}

void StepRunner::start(const QByteArray &seen)
{
    m_seen = seen;
    m_recent = seen;
    keepLast(&m_seen, SEEN_LIMIT);
    m_running = true;
    m_current = -1;
    runNext();
}

void StepRunner::takeDeviceText(const QByteArray &bytes)
{
    m_recent += bytes;
    keepLast(&m_recent, SEEN_LIMIT);
    if (!m_running)
        return;
    m_seen += bytes;
    keepLast(&m_seen, SEEN_LIMIT);
    if (m_current >= 0 && m_steps.at(m_current).kind() == Step::Expect && tryMatch())
        stepDone();
}

void StepRunner::stop()
{
    m_running = false;
    m_timer.stop();
}

void StepRunner::runNext()
{
    if (!m_running)
        return;
    ++m_current;
    if (m_current >= m_steps.size()) {
        m_running = false;
        emit sigFinished(true, QString());
        return;
    }
    m_clock.start();
    const Step &step = m_steps.at(m_current);
    switch (step.kind()) {
    case Step::Send:
        if (m_comm->writeData(step.bytes().constData(), step.bytes().size()))
            stepDone();
        else
            stepFailed(QStringLiteral("the port did not take the %1 bytes to send").arg(step.bytes().size()));
        break;
    case Step::Expect:
        if (tryMatch())
            stepDone();
        else
            m_timer.start(m_expectTimeoutMs);
        break;
    case Step::Lines:
        // The answer comes as CommOperLines.
        m_comm->setModemLines(step.dtr(), step.rts());
        break;
    case Step::Wait:
        m_timer.start(step.milliseconds());
        break;
    }
}

// Text up to the end of the match is used up; what came after it counts for the next step.
bool StepRunner::tryMatch()
{
    const QString text = QString::fromUtf8(m_seen);
    const QRegularExpressionMatch match = QRegularExpression(m_steps.at(m_current).pattern()).match(text);
    if (!match.hasMatch())
        return false;
    m_seen = text.mid(match.capturedEnd()).toUtf8();
    return true;
}

void StepRunner::stepDone()
{
    m_timer.stop();
    if (m_steps.at(m_current).kind() != Step::Expect)
        m_seen.clear();
    emit sigStepDone(
        { m_phase, m_current + 1, m_steps.at(m_current).text(), true, m_clock.elapsed() / 1000.0 });
    runNext();
}

void StepRunner::stepFailed(const QString &why)
{
    m_timer.stop();
    m_running = false;
    const QString text = m_steps.at(m_current).text();
    emit sigStepDone({ m_phase, m_current + 1, text, false, m_clock.elapsed() / 1000.0 });
    emit sigFinished(false,
        QStringLiteral("step %1 of --%2, \"%3\", failed: %4; the device's last words: \"%5\"")
            .arg(m_current + 1)
            .arg(m_phase, text, why, tail()));
}

QString StepRunner::tail() const
{
    return printable(QString::fromUtf8(m_recent).right(TAIL_CHARS));
}

void StepRunner::slotCommSucc(CommOperType type)
{
    if (m_running && type == CommOperLines && m_steps.at(m_current).kind() == Step::Lines)
        stepDone();
}

void StepRunner::slotCommFailed(CommOperType type, QString strInfo)
{
    if (m_running && type == CommOperLines && m_steps.at(m_current).kind() == Step::Lines)
        stepFailed(QStringLiteral("the port cannot set its modem lines (%1)").arg(strInfo));
}
