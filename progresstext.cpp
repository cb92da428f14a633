#include "progresstext.h"

#include <QCoreApplication>
#include <cmath>

namespace {

const QString SEPARATOR = QStringLiteral(" \u00b7 ");

QString rateText(double bytesPerSecond)
{
    if (bytesPerSecond < 1024)
        return QStringLiteral("%1 B/s").arg(qRound(bytesPerSecond));
    if (bytesPerSecond < 1024 * 1024)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024 * 1024), 0, 'f', 1);
}

// m:ss, or h:mm:ss from an hour on.
QString durationText(qint64 seconds)
{
    const QString secondsPart = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(secondsPart);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(secondsPart);
}

} // namespace

QString progressText(const TransferProgress &progress)
{
    const QString percent = QStringLiteral("%1 %").arg(progress.percent);
    if (progress.bytes <= 0 || progress.seconds <= 0)
        return percent;
    const double rate = double(progress.bytes) / progress.seconds;
    const auto secondsLeft
        = qint64(std::ceil(double(qMax<qint64>(progress.total - progress.bytes, 0)) / rate));
    return percent + SEPARATOR + rateText(rate) + SEPARATOR
        + QCoreApplication::translate("MainWindow", "%1 left").arg(durationText(secondsLeft));
}

QString outcomeText(const TransferOutcome &outcome)
{
    if (outcome.completed())
        return QCoreApplication::translate("MainWindow", "Done");
    return QCoreApplication::translate("MainWindow", "Failed: %1").arg(outcome.reason);
}
