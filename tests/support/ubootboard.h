// Debian's U-Boot for QEMU's `virt` board, its console on a pseudo-terminal that the harness and the program
// under test take in turns. QEMU drops what U-Boot prints while nobody holds the terminal. After a bad block
// U-Boot waits 2 s, then for 2 s of quiet line, before it asks again with 'C'.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

class UBootBoard
{
public:
    // Empty when QEMU and the U-Boot image are installed; otherwise why not, for QSKIP.
    static QString unavailableReason();

    UBootBoard() = default;
    ~UBootBoard();
    UBootBoard(const UBootBoard &) = delete;
    UBootBoard &operator=(const UBootBoard &) = delete;

    // Starts QEMU and holds its console before U-Boot prints anything.
    bool start(int timeoutMs = 10000);
    QString portPath() const { return m_portPath; }
    // Stops the autoboot countdown and waits for the prompt.
    bool waitForPrompt(int timeoutMs = 10000);
    // Lets the program under test have the console.
    void releasePort();

    QString errorString() const { return m_error; }
    QByteArray diagnostics();

private:
    QProcess m_qemu;
    QString m_portPath;
    int m_fd = -1;
    QByteArray m_transcript;
    QString m_error;
};
