// The programs and pseudo-terminals a test talks to. Where they are missing the test skips and says what to
// install, rather than failing on someone else's machine.
#pragma once

#include <QStandardPaths>
#include <QStringList>
#include <QTest>

inline QString missingPrograms(const QStringList &programs)
{
    QStringList missing;
    for (const QString &program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing << program;
    }
    return missing.isEmpty() ? QString()
                             : QStringLiteral("not installed: %1 (scripts/setup.sh lists the packages)")
                                   .arg(missing.join(QLatin1String(", ")));
}

// Skips the test unless every program named is on the PATH, for example SKIP_UNLESS_INSTALLED("rb", "socat").
#define SKIP_UNLESS_INSTALLED(...)                                                                           \
    do {                                                                                                     \
        const QString missing = missingPrograms({ __VA_ARGS__ });                                            \
        if (!missing.isEmpty())                                                                              \
            QSKIP(qPrintable(missing));                                                                      \
    } while (false)

// Skips the test when the system gave no pseudo-terminal pair.
#define SKIP_UNLESS_VALID_PTY(pty)                                                                           \
    do {                                                                                                     \
        if (!(pty).isValid())                                                                                \
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: ") + (pty).errorString()));                 \
    } while (false)
