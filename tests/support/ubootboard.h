// Debian's U-Boot for QEMU's `virt` board as a test peer, its console on a pseudo-terminal that the harness
// and the program under test take in turns. QEMU drops what U-Boot prints while nobody holds the terminal,
// and the emulated UART takes bytes as fast as the emulated CPU reads them (12 to 14 KB/s here).
// loady asks every 4.75 s and answers a damaged block with 'C', a bad block 0 not at all; loadx asks every
// 4.25 s. After a bad block U-Boot waits 2 s, then for 2 s of quiet line before it asks again.
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
    // Holds the console again if released, stops the autoboot countdown and waits for a prompt.
    bool waitForPrompt(int timeoutMs = 10000);
    // Lets the program under test read the console.
    void releasePort();

    QString errorString() const { return m_error; }
    QByteArray diagnostics();

private:
    bool fail(const QString &what);

    QProcess m_qemu;
    QByteArray m_qemuOutput;
    QString m_portPath;
    int m_fd = -1;
    QByteArray m_transcript;
    QString m_error;
};
