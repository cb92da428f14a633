#include "jsonreporter.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QTextCodec>

JsonReporter::JsonReporter(OutputStream *out, OutputStream *err) : m_out(out), m_err(err)
{
    m_deviceTimer.setSingleShot(true);
    m_deviceTimer.setInterval(DEVICE_TEXT_MS);
    QObject::connect(&m_deviceTimer, &QTimer::timeout, &m_deviceTimer, [this] {
        for (const auto &entry : m_deviceText)
            flushDeviceText(entry.first);
    });
}

void JsonReporter::emitEvent(const char *event, const QString &port, QJsonObject fields)
{
    if (qstrcmp(event, "device") != 0)
        flushDeviceText(port);
    fields.insert(QStringLiteral("event"), QLatin1String(event));
    fields.insert(QStringLiteral("port"), port.isNull() ? QJsonValue() : QJsonValue(port));
    m_out->write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

void JsonReporter::flushDeviceText(const QString &port)
{
    const auto held = m_deviceText.find(port);
    if (held == m_deviceText.end() || held->second.text.isEmpty())
        return;
    const QString text = held->second.text;
    held->second.text.clear();
    emitEvent("device", port, { { QStringLiteral("text"), text } });
}

void JsonReporter::begin(const QStringList &ports, const QString &filePath, const FileFacts &facts)
{
    m_several = ports.size() > 1;
    for (const QString &port : ports) {
        QJsonObject fields { { QStringLiteral("file"), filePath } };
        // A file that cannot be read has no figures; the port's end says why.
        if (facts.readable) {
            fields.insert(QStringLiteral("size"), double(facts.size));
            fields.insert(QStringLiteral("crc32"), facts.crc32Text());
        } else {
            fields.insert(QStringLiteral("size"), QJsonValue());
            fields.insert(QStringLiteral("crc32"), QJsonValue());
        }
        emitEvent("start", port, fields);
    }
}

void JsonReporter::step(const QString &port, const StepReport &report)
{
    emitEvent("step", port,
        { { QStringLiteral("phase"), report.phase }, { QStringLiteral("number"), report.number },
            { QStringLiteral("step"), report.step }, { QStringLiteral("ok"), report.ok },
            { QStringLiteral("seconds"), report.seconds } });
}

// Whole lines go at once; the rest of a line waits up to DEVICE_TEXT_MS for more, so that a device read a
// few bytes at a time still makes few events.
void JsonReporter::device(const QString &port, const QByteArray &bytes)
{
    DeviceText &held = m_deviceText[port];
    if (!held.decoder)
        held.decoder.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    held.text += held.decoder->toUnicode(bytes);
    const int lineEnd = held.text.lastIndexOf(QLatin1Char('\n')) + 1;
    if (lineEnd > 0) {
        const QString lines = held.text.left(lineEnd);
        held.text.remove(0, lineEnd);
        emitEvent("device", port, { { QStringLiteral("text"), lines } });
    }
    if (!held.text.isEmpty() && !m_deviceTimer.isActive())
        m_deviceTimer.start();
}

void JsonReporter::message(const QString &port, const QString &text)
{
    emitEvent("message", port, { { QStringLiteral("text"), text } });
}

void JsonReporter::note(const QString &port, const QString &text)
{
    emitEvent("message", port, { { QStringLiteral("text"), text } });
}

void JsonReporter::progress(const QString &port, int percent)
{
    emitEvent("progress", port, { { QStringLiteral("percent"), percent } });
}

void JsonReporter::end(const PortResult &result)
{
    emitEvent("end", result.port,
        { { QStringLiteral("outcome"), result.outcome }, { QStringLiteral("bytes"), double(result.bytes) },
            { QStringLiteral("seconds"), result.seconds },
            { QStringLiteral("retransmissions"), result.retransmissions },
            { QStringLiteral("reason"), result.reason } });
    if (!result.completed()) {
        const QString line = QStringLiteral("kelpo-send: ")
            + (m_several ? result.port + QLatin1String(": ") : QString()) + result.reason + QLatin1Char('\n');
        m_err->write(line.toLocal8Bit());
    }
}

void JsonReporter::summary(const QList<PortResult> &results)
{
    int completed = 0;
    for (const PortResult &result : results)
        completed += result.completed() ? 1 : 0;
    emitEvent("summary", QString(),
        { { QStringLiteral("completed"), completed },
            { QStringLiteral("failed"), results.size() - completed } });
}
