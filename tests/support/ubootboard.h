// A real U-Boot as a test peer: Debian's u-boot-qemu build for QEMU's `virt` board, its console on a
// pseudo-terminal that the harness and the program under test take in turns (one reader at a time).
//
// Typical use:
//     const QString why = UBootBoard::unavailableReason();
//     if (!why.isEmpty())
//         QSKIP(qPrintable(why));
//     UBootBoard board;
//     QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
//     QVERIFY2(board.startLoady("0x40200000"), qPrintable(board.errorString()));
//     send the file on board.portPath(); once the sender has closed the port:
//     QByteArray crc;
//     QVERIFY2(board.crc32("0x40200000", file.size(), &crc), qPrintable(board.errorString()));
//     QCOMPARE(crc, QByteArray::number(crc32Ieee(file), 16).rightJustified(8, '0'));
//
// How this U-Boot (2023.01, qemu_arm) behaves here, measured on the 2-core test machine:
// - From QEMU's start to the prompt takes about 0.3 s: "Hit any key to stop autoboot" (boot delay 2 s)
//   arrives after about 0.3 s and the harness's key stops the countdown at once. While U-Boot waits for
//   input it keeps one core busy.
// - QEMU throws away what U-Boot prints while nobody holds the pseudo-terminal, and notices a new reader
//   within a second (at once when U-Boot next prints), only then taking what was typed. So what U-Boot
//   printed while the port was released is lost; waitForPrompt() asks for a fresh prompt instead.
// - The emulated UART does not pace bytes at the baud rate: U-Boot takes them one by one, so the emulated
//   CPU sets the speed, 12 to 14 KB/s here (a 1 KiB block in about 75 ms), a little above a real 115200
//   line and slower when the machine is busy. Nothing is lost: QEMU reads only what the UART has room for.
// - loady sends its first 'C' right after "Ready for binary", then one every 4.75 s (2 s waiting for a
//   byte, 2 s more until the line is quiet, 0.75 s of pause); from the eleventh on it asks with NAK
//   (checksum mode), and after twenty it gives up: "Timed out" about 90 s after the command. loadx repeats
//   its 'C' every 4.25 s and gives up after about 94 s with four CAN and four backspaces.
//   startLoady() and startLoadx() take that first 'C' themselves, so a sender always waits for the next.
// - loady's answers: a good block gets ACK within milliseconds, a repeated one ACK too. A data block with a
//   bad CRC or out of sequence gets 'C' (not NAK) at once; a wrong block-number complement gets 'C' only
//   after 2 s of quiet line; a block cut short gets 'C' 2 s after its last byte. Block 0 with a bad CRC
//   gets no answer at all (the next 'C' of the 4.75 s clock). Block 0's ACK comes without a 'C': U-Boot
//   waits for block 1 straight away, and a sender that waits for the 'C' first (sb does) gets it only
//   from U-Boot's time-out 4.25 s later, so a small file takes about 9.5 s from `loady` with sb. EOT is
//   taken the first time, answered with ACK, ACK, 'C'; the closing empty block 0 with ACK, then
//   "## Total Size" and the prompt about 0.25 s later.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QString>

class UBootBoard
{
public:
    enum { DefaultTimeoutMs = 10000 };
    // What U-Boot prints when it waits for a command; "==> " in crc32's answer does not end in it.
    static constexpr char PROMPT[] = "\n=> ";

    // Empty when QEMU and the U-Boot image are installed; otherwise why not, for QSKIP.
    static QString unavailableReason();

    UBootBoard();
    // Kills QEMU.
    ~UBootBoard();
    UBootBoard(const UBootBoard &) = delete;
    UBootBoard &operator=(const UBootBoard &) = delete;

    // Starts QEMU and opens its pseudo-terminal at once, before U-Boot prints anything.
    bool start(int timeoutMs = DefaultTimeoutMs);
    // The console's device path, for example /dev/pts/3.
    QString portPath() const { return m_portPath; }

    // Takes the port back if released, stops the autoboot countdown and waits for a prompt. When the board
    // stays quiet (its prompt went to nobody), a Ctrl-C asks for a fresh one without running anything.
    bool waitForPrompt(int timeoutMs = DefaultTimeoutMs);
    // Types line and Enter, then reads until expect appears after U-Boot's echo of the line. output gets
    // what was printed after the echo, up to and including expect. Pass PROMPT to wait for the command's end.
    bool command(const QByteArray &line, const QByteArray &expect, int timeoutMs = DefaultTimeoutMs,
        QByteArray *output = nullptr);

    // Closes the harness's own descriptor so that the program under test can read the console.
    void releasePort();
    // Opens the console again; only once the other reader has closed it.
    bool reclaimPort();

    // Types `loady ADDRESS` (`loadx ADDRESS`), waits for "Ready for binary" and the first 'C', and
    // releases the port.
    bool startLoady(const QByteArray &address, int timeoutMs = DefaultTimeoutMs);
    bool startLoadx(const QByteArray &address, int timeoutMs = DefaultTimeoutMs);
    // Reclaims the port, waits for the prompt and asks `crc32 ADDRESS SIZE`; crc gets the 8 hex digits.
    bool crc32(const QByteArray &address, qint64 size, QByteArray *crc, int timeoutMs = DefaultTimeoutMs);

    QString errorString() const { return m_error; }
    // What QEMU printed, then the last of what the board printed to the harness, for failure messages.
    QByteArray diagnostics();

private:
    bool startLoad(const QByteArray &command, const QByteArray &address, int timeoutMs);
    // Reads what arrives within waitMs into m_received; false when nothing did (or the port failed).
    bool readSome(int waitMs);
    // Reads until m_received holds pattern, then drops everything up to and including it; what came before
    // the pattern goes to before.
    bool readUntil(const QByteArray &pattern, const QDeadlineTimer &deadline, QByteArray *before = nullptr);
    bool type(const QByteArray &bytes, const QDeadlineTimer &deadline);
    bool fail(const QString &what);

    QProcess m_qemu;
    QByteArray m_qemuOutput;
    QString m_portPath;
    int m_fd = -1;
    bool m_portFailed = false;
    // Arrived and not yet consumed.
    QByteArray m_received;
    // Everything the board printed to the harness, for diagnostics().
    QByteArray m_transcript;
    QString m_error;
};
