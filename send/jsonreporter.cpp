#include "jsonreporter.h"

#include <QJsonDocument>
#include <QJsonValue>

JsonReporter::JsonReporter(FILE *out, FILE *err) : m_out(out), m_err(err)
{ }

void JsonReporter::emitEvent(const char *event, const QString &port, QJsonObject fields)
{
    fields.insert(QStringLiteral("event"), QLatin1String(event));
    fields.insert(QStringLiteral("port"), port.isNull() ? QJsonValue() : QJsonValue(port));
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), m_out);
    fflush(m_out);
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

void JsonReporter::device(const QString &port, const QByteArray &bytes)
{
    emitEvent("device", port, { { QStringLiteral("text"), QString::fromUtf8(bytes) } });
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
        fputs(line.toLocal8Bit().constData(), m_err);
        fflush(m_err);
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
