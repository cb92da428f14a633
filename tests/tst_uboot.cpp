// The engine into a real U-Boot under QEMU, through a line that damages one byte of the file on its way.
#include "testdata.h"
#include "enginerun.h"
#include "faultyrelay.h"
#include "testdata.h"
#include "ubootboard.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestUBoot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boardHoldsTheFile_data();
    void boardHoldsTheFile();
};

void TestUBoot::initTestCase()
{
    const QString why = UBootBoard::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
}

void TestUBoot::boardHoldsTheFile_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<qint64>("damageAt");
    // Towards the board, loady's block 0 is bytes 0-132, data packet 1 133-1161, packet 2 1162-2190;
    // loadx's packets are 133 bytes each from the start.
    QTest::newRow("loady") << int(TransferOptions::YModem) << qint64(1265);
    QTest::newRow("loadx") << int(TransferOptions::XModem) << qint64(300);
}

// U-Boot answers a damaged block with 'C' rather than NAK, acknowledges loady's block 0 without asking for
// data and asks only every few seconds: the file must still arrive whole.
void TestUBoot::boardHoldsTheFile()
{
    QFETCH(int, protocol);
    QFETCH(qint64, damageAt);
    const QByteArray address("0x40200000");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray firmware = randomBytes(5000, 11);
    const QString path = dir.filePath(QStringLiteral("fw.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(firmware) == firmware.size());
    file.close();

    UBootBoard board;
    QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
    const bool ymodem = protocol == TransferOptions::YModem;
    QVERIFY2(ymodem ? board.startLoady(address) : board.startLoadx(address), qPrintable(board.errorString()));
    {
        FaultyRelay::Fault damage;
        damage.offset = damageAt;
        damage.value = 0x01;
        FaultyRelay relay({ damage });
        QVERIFY2(relay.open(board.portPath()), qPrintable(relay.errorString()));
        Engine engine;
        QString error;
        QVERIFY2(engine.open(relay.senderPort(), &error), qPrintable(error));
        relay.start();
        TransferOptions options;
        options.protocol = TransferOptions::Protocol(protocol);
        // Longer than U-Boot's own round after a bad block (2 s waiting, then 2 s of quiet line before it asks
        // again): resending sooner keeps its line from going quiet, and it never asks.
        options.replyTimeoutMs = 5000;
        engine.controller->startUpload({ path, options });
        QVERIFY2(engine.recorder.waitForEnd(), qPrintable(engine.recorder.messages.join('\n')));
        QVERIFY2(engine.recorder.outcome.completed(),
            qPrintable(engine.recorder.messages.join('\n') + '\n' + relay.log().join('\n')));
        QCOMPARE(relay.faultsApplied(), 1);
        QVERIFY(engine.recorder.outcome.retransmissions >= 1);
    }
    QByteArray crc;
    QVERIFY2(board.crc32(address, firmware.size(), &crc),
        qPrintable(board.errorString() + '\n' + board.diagnostics()));
    QCOMPARE(crc, QByteArray::number(crc32Ieee(firmware), 16).rightJustified(8, '0'));
}

QTEST_GUILESS_MAIN(TestUBoot)
#include "tst_uboot.moc"
