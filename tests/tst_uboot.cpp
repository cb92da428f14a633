// lrzsz's senders into a real U-Boot under QEMU, nothing of ours in between: proves the UBootBoard harness
// before it stands in for a bootloader in front of the program.
#include "crc32ieee.h"
#include "randombytes.h"
#include "ubootboard.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestUBoot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadsWhatLrzszSends_data();
    void loadsWhatLrzszSends();
};

void TestUBoot::initTestCase()
{
    const QString why = UBootBoard::unavailableReason();
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
}

void TestUBoot::loadsWhatLrzszSends_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QStringList>("sender");
    QTest::addColumn<int>("size");
    // YMODEM in 1 KiB blocks, the last one short; XMODEM in 128-byte blocks, the last one padded.
    QTest::newRow("loady from sb -k")
        << QByteArray("loady") << QStringList { "sb", "--ymodem", "-k" } << 5000;
    QTest::newRow("loadx from sx") << QByteArray("loadx") << QStringList { "sx" } << 3000;
}

void TestUBoot::loadsWhatLrzszSends()
{
    QFETCH(QByteArray, command);
    QFETCH(QStringList, sender);
    QFETCH(int, size);
    const QByteArray address("0x40200000");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray firmware = randomBytes(size, 11);
    QFile file(dir.filePath(QStringLiteral("fw.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(firmware) == size);
    file.close();

    UBootBoard board;
    QVERIFY2(board.start() && board.waitForPrompt(), qPrintable(board.errorString()));
    QVERIFY2(command == "loady" ? board.startLoady(address) : board.startLoadx(address),
        qPrintable(board.errorString()));

    QProcess lrzsz;
    lrzsz.setWorkingDirectory(dir.path());
    lrzsz.setStandardInputFile(board.portPath());
    lrzsz.setStandardOutputFile(board.portPath());
    lrzsz.start(sender.first(), sender.mid(1) << QStringLiteral("fw.bin"));
    // The sender waits up to 4.75 s for U-Boot's next 'C', then needs well under a second.
    QVERIFY2(
        lrzsz.waitForFinished(30000) && lrzsz.exitStatus() == QProcess::NormalExit && lrzsz.exitCode() == 0,
        lrzsz.readAllStandardError().constData());

    QByteArray crc;
    QVERIFY2(board.crc32(address, size, &crc), qPrintable(board.errorString() + '\n' + board.diagnostics()));
    QCOMPARE(crc, QByteArray::number(crc32Ieee(firmware), 16).rightJustified(8, '0'));
}

QTEST_GUILESS_MAIN(TestUBoot)
#include "tst_uboot.moc"
