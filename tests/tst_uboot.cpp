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
    QTest::addColumn<qint64>("damageAt");
    // After the 18 bytes typed: loady's block 0 and 1 KiB packets, or loadx's 133-byte ones.
    QTest::newRow("loady") << "ymodem" << qint64(18 + 133 + 1029 + 100);
    QTest::newRow("loadx") << "xmodem" << qint64(18 + 2 * 133 + 50);
}

// U-Boot answers a damaged block with 'C' and asks only every few seconds: its crc32 must be the file's.
void TestUBoot::boardHoldsTheFile()
{
    if (const QString why = UBootBoard::unavailableReason(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QFETCH(QString, protocol);
    QFETCH(qint64, damageAt);
    QTemporaryDir dir;
    const QByteArray firmware = randomBytes(5000, 11);
    UBootBoard board;
    QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
    board.releasePort();
    FaultyRelay relay({ { FaultyRelay::ToReceiver, damageAt } });
    QVERIFY2(relay.open(board.portPath()), qPrintable(relay.errorString()));
    SendRun run;
    // A reply wait longer than U-Boot's round after a bad block: resent sooner, the line never goes quiet.
    run.start(QStringLiteral(
                  "--protocol|%1|--reply-timeout|5|--expect-timeout|5|--before|send:\\r|--before|"
                  "expect:=> |--before|send:load%2 0x40200000\\r|--before|expect:Ready for binary|--after|"
                  "expect:=> |--after|send:crc32 0x40200000 {size_hex}\\r|--after|expect:==> \\w{8}")
                  .arg(protocol, protocol.left(1))
                  .split(QLatin1Char('|'))
        << relay.senderPort() << writeFile(dir.filePath(QStringLiteral("fw.bin")), firmware));
    QVERIFY2(
        run.waitForExit() == 0, qPrintable(run.diagnostics() + relay.log().join('\n') + board.diagnostics()));
    QCOMPARE(relay.faultsApplied(), 1);
    QVERIFY(run.out.contains("==> " + QByteArray::number(crc32Ieee(firmware), 16).rightJustified(8, '0')));
}

QTEST_GUILESS_MAIN(TestUBoot)
#include "tst_uboot.moc"
