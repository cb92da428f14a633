#include "textreporter.h"

namespace {
constexpr int BAR_WIDTH = 40;

void writeText(OutputStream *stream, const QString &text)
{
    stream->write(text.toLocal8Bit());
}
} // namespace

TextReporter::TextReporter(OutputStream *out, OutputStream *err, bool progressBar)
    : m_out(out), m_err(err), m_progressBar(progressBar)
{ }

void TextReporter::begin(const QStringList &ports, const QString &filePath, const FileFacts &facts)
{
    m_ports = ports;
    m_several = ports.size() > 1;
    if (facts.readable)
        writeLine(QStringLiteral("File %1: %2 bytes, CRC-32 %3")
                      .arg(filePath)
                      .arg(facts.size)
                      .arg(facts.crc32Text()));
    else
        writeLine(QStringLiteral("File %1: cannot be read").arg(filePath));
}

QString TextReporter::prefix(const QString &port) const
{
    return m_several ? port + QLatin1String(": ") : QString();
}

void TextReporter::step(const QString &port, const StepReport &report)
{
    writeErr(port,
        QStringLiteral("%1 step %2 %3: %4 (%5 s)")
            .arg(report.phase)
            .arg(report.number)
            .arg(report.step, report.ok ? QStringLiteral("done") : QStringLiteral("failed"))
            .arg(report.seconds, 0, 'f', 2));
}

// Each of the device's lines starts with its port when there are several; a line another port or a line of
// our own interrupts is closed first.
void TextReporter::device(const QString &port, const QByteArray &bytes)
{
    if (!m_openLinePort.isEmpty() && m_openLinePort != port)
        closeOpenLine();
    QByteArray shown;
    for (const char c : bytes) {
        if (m_openLinePort.isEmpty()) {
            shown += prefix(port).toLocal8Bit();
            m_openLinePort = port;
        }
        shown += c;
        if (c == '\n')
            m_openLinePort.clear();
    }
    m_out->write(shown);
}

void TextReporter::closeOpenLine()
{
    if (!m_openLinePort.isEmpty())
        writeText(m_out, QStringLiteral("\n"));
    m_openLinePort.clear();
}

void TextReporter::message(const QString &port, const QString &text)
{
    closeOpenLine();
    writeLine(prefix(port) + text);
}

void TextReporter::note(const QString &port, const QString &text)
{
    writeErr(port, text);
}

void TextReporter::progress(const QString &port, int percent)
{
    m_percent.insert(port, percent);
    if (m_progressBar) {
        drawBar();
        m_barShown = true;
    } else {
        writeText(m_out, prefix(port) + QStringLiteral("Progress: %1%\n").arg(percent));
    }
}

void TextReporter::end(const PortResult &result)
{
    // A port's bar ends with its transfer; the others' goes on.
    if (m_barShown && !m_several) {
        writeText(m_out, QStringLiteral("\n"));
        m_barShown = false;
    }
    m_percent.remove(result.port);
    if (!result.completed())
        writeErr(result.port, result.reason);
}

void TextReporter::summary(const QList<PortResult> &results)
{
    if (m_barShown)
        writeText(m_out, QStringLiteral("\r\033[K"));
    m_barShown = false;
    closeOpenLine();
    for (const PortResult &result : results) {
        const QString rate = result.seconds > 0
            ? QStringLiteral("%1 KiB/s").arg(result.bytes / 1024.0 / result.seconds, 0, 'f', 1)
            : QStringLiteral("- KiB/s");
        writeText(m_out,
            QStringLiteral("Summary %1: %2, %3 bytes, %4 s, %5, %6 retransmissions\n")
                .arg(result.port, result.outcome)
                .arg(result.bytes)
                .arg(result.seconds, 0, 'f', 2)
                .arg(rate)
                .arg(result.retransmissions));
    }
}

void TextReporter::writeLine(const QString &line)
{
    if (m_barShown)
        m_out->write("\r\033[K");
    writeText(m_out, line + QLatin1Char('\n'));
    if (m_barShown)
        drawBar();
}

void TextReporter::writeErr(const QString &port, const QString &text)
{
    writeText(m_err, QStringLiteral("kelpo-send: ") + prefix(port) + text + QLatin1Char('\n'));
}

void TextReporter::drawBar()
{
    if (!m_several) {
        const int percent = m_percent.value(m_ports.value(0));
        const int filled = percent * BAR_WIDTH / 100;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(BAR_WIDTH - filled, QLatin1Char('-'));
        writeText(m_out, QStringLiteral("\r[%1] %2%").arg(bar).arg(percent, 3));
        return;
    }
    QString line;
    for (const QString &port : qAsConst(m_ports)) {
        if (m_percent.contains(port))
            line += QStringLiteral("%1 %2%  ").arg(port).arg(m_percent.value(port), 3);
    }
    writeText(m_out, QStringLiteral("\r\033[K") + line);
}
