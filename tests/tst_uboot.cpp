// kelpo-send into a real U-Boot under QEMU, through a line that damages one byte of a data packet.
#include "faultyrelay.h"
#include "sendrun.h"
#include "testdata.h"
#include "ubootboard.h"

#include <QTemporaryDir>
#include <QtTest>

class TestUBoot : public QObject
{
    Q_OBJECT

private slots:
    void boardHoldsTheFile_data();
    void boardHoldsTheFile();
};

void TestUBoot::boardHoldsTheFile_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("command");
    QTest::addColumn<qint64>("damageAt");
    // 18 bytes of typed command first; then loady's block 0 and 1 KiB packets, or loadx's 133-byte ones.
    QTest::newRow("loady") << "ymodem"
                           << "loady" << qint64(18 + 133 + 1029 + 100);
    QTest::newRow("loadx") << "xmodem"
                           << "loadx" << qint64(18 + 2 * 133 + 50);
}

// U-Boot answers a damaged block with 'C' and asks only every few seconds: the board's crc32 of what it got
// must still be the file's.
void TestUBoot::boardHoldsTheFile()
{
    const QString why = UBootBoard::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QFETCH(QString, protocol);
    QFETCH(QString, command);
    QFETCH(qint64, damageAt);
    QTemporaryDir dir;
    const QByteArray firmware = randomBytes(5000, 11);
    const QString path = writeFile(dir.filePath(QStringLiteral("fw.bin")), firmware);

    UBootBoard board;
    QVERIFY2(board.start(), qPrintable(board.errorString()));
    board.releasePort();
    FaultyRelay::Fault damage;
    damage.offset = damageAt;
    FaultyRelay relay({ damage });
    QVERIFY2(relay.open(board.portPath()), qPrintable(relay.errorString()));
    SendRun run;
    // Longer than U-Boot's round after a bad block: resent sooner, the line never goes quiet and it never
    // asks.
    run.start({ QStringLiteral("--protocol"), protocol, QStringLiteral("--reply-timeout"),
        QStringLiteral("5"), QStringLiteral("--expect-timeout"), QStringLiteral("5"),
        QStringLiteral("--before"), QStringLiteral("send:\\r"), QStringLiteral("--before"),
        QStringLiteral("expect:=> "), QStringLiteral("--before"),
        QStringLiteral("send:%1 0x40200000\\r").arg(command), QStringLiteral("--before"),
        QStringLiteral("expect:Ready for binary"), QStringLiteral("--after"), QStringLiteral("expect:=> "),
        QStringLiteral("--after"), QStringLiteral("send:crc32 0x40200000 {size_hex}\\r"),
        QStringLiteral("--after"), QStringLiteral("expect:==> [0-9a-f]{8}"), relay.senderPort(), path });
    QVERIFY2(
        run.waitForExit() == 0, qPrintable(run.diagnostics() + relay.log().join('\n') + board.diagnostics()));
    QCOMPARE(relay.faultsApplied(), 1);
    QVERIFY2(run.out.contains("==> " + QByteArray::number(crc32Ieee(firmware), 16).rightJustified(8, '0')),
        qPrintable(run.diagnostics()));
}

QTEST_GUILESS_MAIN(TestUBoot)
#include "tst_uboot.moc"
