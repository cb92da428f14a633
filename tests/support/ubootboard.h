// Debian's U-Boot for QEMU's `virt` board, its console on a pseudo-terminal that the harness and the program
// under test take in turns. QEMU drops what U-Boot prints while nobody holds the terminal. After a bad block
// U-Boot waits 2 s, then for 2 s of quiet line, before it asks again with 'C'.
#pragma once

#include <QProcess>

class UBootBoard
{
public:
    static QString unavailableReason(); // Empty when QEMU and the U-Boot image are installed.

    UBootBoard() = default;
    ~UBootBoard();
    Q_DISABLE_COPY(UBootBoard)

    bool start(int timeoutMs = 10000); // Starts QEMU, holding its console before U-Boot prints anything.
    QString portPath() const { return m_portPath; }
    bool waitForPrompt(int timeoutMs = 10000); // Stops the autoboot countdown and waits for the prompt.
    void releasePort(); // Lets the program under test have the console.

    QString errorString() const { return m_error; }
    QByteArray diagnostics();

private:
    QProcess m_qemu;
    QString m_portPath;
    int m_fd = -1;
    QByteArray m_transcript;
    QString m_error;
};
