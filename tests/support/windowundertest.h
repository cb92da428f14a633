// The main window under test, with its widgets found by object name, a port list the test controls, and
// what the tests read back: the console's lines, the controls' states and the message boxes shown.
#pragma once

#include "console.h"
#include "mainwindow.h"
#include "modalanswerer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

// What a message box said, and what the window showed while it was up.
struct Warning
{
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QString stateWhileShown;
};

class WindowUnderTest
{
public:
    // The window looks at the test's port list this often, so a test never waits out the real second.
    static constexpr int PORT_POLL_MS = 10;

    explicit WindowUnderTest(const QStringList &ports = {});

    // The serial ports present, as the window's port list source returns them.
    QStringList ports;
    MainWindow window;
    Console *const console;
    QComboBox *const names;
    QComboBox *const bauds;
    QPushButton *const refresh;
    QPushButton *const open;
    QLineEdit *const file;
    QPushButton *const upload;
    QPushButton *const stop;
    QProgressBar *const progress;
    // Every message box the window shows gets its Ok; what it said is kept here.
    QList<Warning> warnings;

    bool complete() const;
    QStringList consoleLines() const;
    bool consoleHas(const QString &line) const;
    QStringList portEntries() const;
    // Plugs a port in (it appears in the list within a poll) and selects it; false if it never showed.
    bool choosePort(const QString &entry);
    // The controls' state in words: "<Open button> <checked?> <enabled?>; port controls …; Download …;
    // Cancel …".
    QString state() const;

private:
    template<typename T> T *find(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }

    ModalAnswerer m_warningAnswerer;
};
