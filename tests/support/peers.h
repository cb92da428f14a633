// Where a program or a pseudo-terminal a test talks to is missing, the test skips and says what to install.
#pragma once

#include <QStandardPaths>
#include <QStringList>
#include <QTest>

inline QString missingPrograms(const QStringList &programs)
{
    QStringList missing;
    for (const QString &program : programs)
        missing << (QStandardPaths::findExecutable(program).isEmpty() ? program : QString());
    missing.removeAll(QString());
    return missing.isEmpty() ? QString()
                             : QLatin1String("not installed: ") + missing.join(QLatin1String(", "));
}

// For example SKIP_UNLESS_INSTALLED("rb", "socat").
#define SKIP_UNLESS_INSTALLED(...)                                                                           \
    if (const QString missing = missingPrograms({ __VA_ARGS__ }); !missing.isEmpty())                        \
    QSKIP(qPrintable(missing))
#define SKIP_UNLESS_VALID_PTY(pty)                                                                           \
    if (!(pty).isValid())                                                                                    \
    QSKIP(qPrintable(QLatin1String("no pseudo-terminal: ") + (pty).errorString()))
