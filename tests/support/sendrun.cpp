#include "sendrun.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <csignal>

QString SendRun::binary()
{
    return QStringLiteral(KELPO_BINARY_DIR "/kelpo-send");
}

SendRun::SendRun(const QString &program) : m_program(program)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        out += m_process.readAllStandardOutput();
        emit sigOutput();
    });
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        err += m_process.readAllStandardError();
        emit sigOutput();
    });
    connect(&m_process, &QProcess::stateChanged, this, &SendRun::sigOutput);
}

SendRun::~SendRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

void SendRun::setTerminal(PtyPair *terminal)
{
    m_terminal = terminal;
    m_process.setStandardOutputFile(terminal->slavePath());
}

void SendRun::start(const QStringList &arguments)
{
    m_process.start(m_program, arguments);
    if (m_terminal)
        watchTerminal();
}

bool SendRun::waitForOutput(const QByteArray &text)
{
    return waitUntil([&] { return out.contains(text) || m_process.state() == QProcess::NotRunning; })
        && out.contains(text);
}

bool SendRun::waitForError(const QByteArray &text)
{
    return waitUntil([&] { return err.contains(text) || m_process.state() == QProcess::NotRunning; })
        && err.contains(text);
}

int SendRun::waitForExit(int timeoutMs)
{
    if (!waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs))
        return -1;
    out += m_process.readAllStandardOutput();
    err += m_process.readAllStandardError();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool SendRun::signal(int signalNumber)
{
    return ::kill(pid_t(m_process.processId()), signalNumber) == 0;
}

QList<QJsonObject> SendRun::jsonEvents() const
{
    QList<QJsonObject> events;
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        events << (error.error == QJsonParseError::NoError ? document.object() : QJsonObject());
    }
    return events;
}

QStringList SendRun::errorLines(const QString &port) const
{
    QStringList lines;
    const QString prefix = QStringLiteral("kelpo-send: ") + port + (port.isEmpty() ? "" : ": ");
    for (const QString &line : QString::fromLocal8Bit(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (line.startsWith(prefix))
            lines << line;
    return lines;
}

QString SendRun::diagnostics() const
{
    return QString::fromLocal8Bit(out + "\n--- stderr:\n" + err);
}

// Watched only once the program holds the terminal's slave: before that the master reads as hung up.
void SendRun::watchTerminal()
{
    m_terminalNotifier.reset(new QSocketNotifier(m_terminal->masterFd(), QSocketNotifier::Read));
    connect(m_terminalNotifier.data(), &QSocketNotifier::activated, this, [this] {
        const QByteArray bytes = m_terminal->read(4096, 0);
        if (bytes.isEmpty() && m_terminal->isSlaveClosed())
            m_terminalNotifier->setEnabled(false);
        out += bytes;
        emit sigOutput();
    });
}
