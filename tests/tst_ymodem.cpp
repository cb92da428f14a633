#include "testdata.h"
#include "ymodem.h"

#include <QTemporaryDir>
#include <QtTest>
#include <numeric>
#include <sys/stat.h>

namespace {

// Takes blocks from..to (block 0 first) as a receiver does and returns their payloads; stops at the first
// packet not built or malformed, or when the file is complete.
QByteArrayList receive(Ymodem &ymodem, int from = 0, int to = 3000)
{
    QByteArrayList payloads;
    unsigned char buf[1029];
    for (int block = from; block <= to && (block == 0 || ymodem.progress() < 100); ++block) {
        const int len = block == 0 ? ymodem.buildFileInfoPacket(buf, sizeof buf)
                                   : ymodem.buildDataPacket(buf, sizeof buf);
        const QByteArray packet(reinterpret_cast<char *>(buf), len);
        const QByteArray payload = packet.mid(3, buf[0] == 0x02 ? 1024 : 128);
        const quint16 crc = referenceCrc(payload);
        const QByteArray trailer = ymodem.checksumMode()
            ? QByteArray(1, char(std::accumulate(payload.begin(), payload.end(), 0)))
            : QByteArray(1, char(crc >> 8)) + char(crc);
        if (len == 0 || buf[0] > 0x02 || buf[1] != block % 256 || buf[1] + buf[2] != 0xFF
            || packet.mid(3 + payload.size()) != trailer)
            break;
        payloads << payload;
    }
    return payloads;
}

QByteArray blockZero(const QByteArray &name, qint64 size)
{
    return (name + '\0' + QByteArray::number(size)).leftJustified(128, '\0');
}

} // namespace

class TestYmodem : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void fileProblem_data();
    void fileProblem();
    void fileChanges_data();
    void fileChanges();

private:
    QTemporaryDir m_dir;
};

void TestYmodem::roundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("plan");
    QTest::addColumn<bool>("checksum");
    QTest::addColumn<int>("longs");
    QTest::addColumn<int>("shorts");
    QTest::newRow("1") << 1 << int(Ymodem::Mixed) << false << 0 << 1;
    QTest::newRow("1024") << 1024 << int(Ymodem::Mixed) << false << 0 << 8;
    QTest::newRow("1025") << 1025 << int(Ymodem::Mixed) << false << 1 << 1;
    QTest::newRow("3000") << 3000 << int(Ymodem::Mixed) << false << 2 << 8;
    QTest::newRow("block numbers wrap") << 310000 << int(Ymodem::Mixed) << false << 302 << 6;
    QTest::newRow("checksum") << 1500 << int(Ymodem::Mixed) << true << 1 << 4;
    QTest::newRow("1K throughout") << 3000 << int(Ymodem::AllOneK) << false << 3 << 0;
    QTest::newRow("128 throughout") << 3000 << int(Ymodem::AllShort) << true << 0 << 24;
}

// Every packet decodes, the file comes back whole behind its padding in the packets announced, and the
// closing packets follow.
void TestYmodem::roundTrip()
{
    QFETCH(int, size);
    QFETCH(int, plan);
    QFETCH(bool, checksum);
    QFETCH(int, longs);
    QFETCH(int, shorts);
    const QByteArray data = randomBytes(size, 1);
    Ymodem ymodem(QFileInfo(writeFile(m_dir.filePath("image.bin"), data)), Ymodem::PacketPlan(plan));
    ymodem.setChecksumMode(checksum);
    QCOMPARE(ymodem.totalPackets(), longs + shorts);
    const QByteArrayList payloads = receive(ymodem);
    QCOMPARE(payloads.value(0), blockZero("image.bin", size));
    QCOMPARE(payloads.size(), 1 + longs + shorts);
    const QByteArray sent = payloads.mid(1).join();
    QCOMPARE(sent, data + QByteArray(longs * 1024 + shorts * 128 - size, 0x1A));
    QCOMPARE(ymodem.progress(), 100);

    unsigned char buf[133];
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), ymodem.buildEotPacket(buf, sizeof buf)), "\x04");
    const QByteArray end(reinterpret_cast<char *>(buf), ymodem.buildEndPacket(buf, sizeof buf));
    QCOMPARE(end, QByteArray("\x01\x00\xFF", 3) + QByteArray(checksum ? 129 : 130, '\0'));
    QCOMPARE(
        QByteArray(reinterpret_cast<char *>(buf), ymodem.buildCancelPacket(buf, 5)), QByteArray(5, 0x18));
}

void TestYmodem::fileProblem_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("problem");
    // Size -1: no such file, -2: a named pipe. Name, NUL, four digits and NUL fill the 128 bytes exactly.
    QTest::newRow("name just fits") << QString(122, 'n') << qint64(1500) << int(Ymodem::NoProblem);
    QTest::newRow("name too long") << QString(123, 'n') << qint64(1500) << int(Ymodem::NameTooLong);
    QTest::newRow("more digits") << QString(122, 'n') << qint64(15000) << int(Ymodem::NameTooLong);
    QTest::newRow("empty") << "e.bin" << qint64(0) << int(Ymodem::EmptyFile);
    QTest::newRow("largest") << "l.bin" << YMODEM_MAX_FILE_SIZE << int(Ymodem::NoProblem);
    QTest::newRow("too large") << "t.bin" << YMODEM_MAX_FILE_SIZE + 1 << int(Ymodem::TooLarge);
    QTest::newRow("missing") << "m.bin" << qint64(-1) << int(Ymodem::CannotOpen);
    QTest::newRow("name over the system's limit")
        << QString(600, 'x') << qint64(-1) << int(Ymodem::CannotOpen);
    QTest::newRow("named pipe") << "p.bin" << qint64(-2) << int(Ymodem::NotRegularFile);
}

// The problem is told before anything is sent; block 0 stays inside its packet and keeps the size whole.
void TestYmodem::fileProblem()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(int, problem);
    const QString path = m_dir.filePath(name);
    QFile file(path);
    QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size)));
    QVERIFY(size != -2 || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    Ymodem ymodem { QFileInfo(path) };
    QCOMPARE(int(ymodem.fileProblem()), problem);
    // Exactly one packet of room, so that the sanitizer sees a write past it.
    std::vector<unsigned char> buf(133);
    QCOMPARE(ymodem.buildFileInfoPacket(buf.data(), 133), 133);
    const QByteArray digits = QByteArray::number(qMax<qint64>(size, 0));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf.data()) + 3, 128),
        blockZero(name.toLocal8Bit().left(126 - digits.size()), qMax<qint64>(size, 0)));
}

void TestYmodem::fileChanges_data()
{
    QTest::addColumn<int>("packetsBefore");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<int>("packets");
    // -1: the firmware is rebuilt between choosing it and starting, so block 0 must carry the new size.
    QTest::newRow("rebuilt before the start") << -1 << 4000 << 11;
    QTest::newRow("grows while sent") << 1 << 4000 << 10;
    QTest::newRow("shrinks inside a long packet") << 1 << 1500 << 1;
    QTest::newRow("shrinks inside the short tail") << 2 << 2900 << 8;
}

// Sends what block 0 announced, or stops with the reason when the file ends before that.
void TestYmodem::fileChanges()
{
    QFETCH(int, packetsBefore);
    QFETCH(int, newSize);
    QFETCH(int, packets);
    const QByteArray original = randomBytes(3000, 2);
    const QString path = writeFile(m_dir.filePath("changing.bin"), original);
    const QFileInfo chosen(path);
    QCOMPARE(chosen.size(), qint64(3000));
    QVERIFY(packetsBefore >= 0 || QFile::resize(path, newSize));
    Ymodem ymodem(chosen);
    QByteArrayList payloads = receive(ymodem, 0, qMax(packetsBefore, 0));
    QVERIFY(packetsBefore < 0 || QFile::resize(path, newSize));
    payloads += receive(ymodem, qMax(packetsBefore, 0) + 1);
    QCOMPARE(ymodem.packetNumber(), packets);
    const int announced = packetsBefore < 0 ? newSize : 3000;
    QCOMPARE(payloads.value(0), blockZero("changing.bin", announced));
    if (newSize < 3000)
        QVERIFY2(ymodem.errorString().contains(QString::number(newSize)), qPrintable(ymodem.errorString()));
    else
        QCOMPARE(payloads.mid(1).join().left(announced), original.leftJustified(announced, '\0'));
}

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
