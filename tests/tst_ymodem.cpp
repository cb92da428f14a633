#include "testdata.h"
#include "ymodem.h"

#include <QTemporaryDir>
#include <QtTest>
#include <numeric>
#include <vector>

namespace {

// Takes block 0 and the data packets as a receiver does and returns their payloads; stops at the first packet
// not built or malformed, or when the file is complete.
QByteArrayList receive(Ymodem &ymodem)
{
    QByteArrayList payloads;
    unsigned char buf[1029];
    for (int block = 0; block == 0 || (ymodem.progress() < 100 && block < 3000); ++block) {
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

    QTemporaryDir m_dir;

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("plan");
        QTest::addColumn<bool>("checksum");
        QTest::addColumn<int>("longs");
        QTest::addColumn<int>("shorts");
        QTest::newRow("1") << 1 << int(Ymodem::Mixed) << false << 0 << 1;
        QTest::newRow("1024") << 1024 << int(Ymodem::Mixed) << false << 0 << 8;
        QTest::newRow("1025, checksum") << 1025 << int(Ymodem::Mixed) << true << 1 << 1;
        QTest::newRow("3000") << 3000 << int(Ymodem::Mixed) << false << 2 << 8;
        QTest::newRow("block numbers wrap") << 310000 << int(Ymodem::Mixed) << false << 302 << 6;
        QTest::newRow("1K throughout") << 3000 << int(Ymodem::AllOneK) << false << 3 << 0;
        QTest::newRow("128 throughout") << 3000 << int(Ymodem::AllShort) << true << 0 << 24;
    }

    // Every packet decodes and the file comes back whole behind its padding, in the packets announced.
    void roundTrip()
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
        QCOMPARE(payloads.mid(1).join(), data + QByteArray(longs * 1024 + shorts * 128 - size, 0x1A));
        QCOMPARE(ymodem.progress(), 100);
        unsigned char end[133];
        QCOMPARE(QByteArray(reinterpret_cast<char *>(end), ymodem.buildEndPacket(end, sizeof end)),
            QByteArray("\x01\x00\xFF", 3) + QByteArray(checksum ? 129 : 130, '\0'));
    }

    void fileProblem_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("problem");
        // Size -1: no such file. Name, NUL, four digits and NUL fill the 128 bytes exactly.
        QTest::newRow("name just fits") << QString(122, 'n') << qint64(1500) << int(Ymodem::NoProblem);
        QTest::newRow("name too long") << QString(123, 'n') << qint64(1500) << int(Ymodem::NameTooLong);
        QTest::newRow("empty") << "e.bin" << qint64(0) << int(Ymodem::EmptyFile);
        QTest::newRow("too large") << "t.bin" << YMODEM_MAX_FILE_SIZE + 1 << int(Ymodem::TooLarge);
        QTest::newRow("missing") << "m.bin" << qint64(-1) << int(Ymodem::CannotOpen);
        QTest::newRow("name over the system's limit")
            << QString(600, 'x') << qint64(-1) << int(Ymodem::CannotOpen);
    }

    // The problem is told before anything is sent; block 0 stays inside its packet and keeps the size whole.
    void fileProblem()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(int, problem);
        const QString path = m_dir.filePath(name);
        QFile file(path);
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size)));
        Ymodem ymodem { QFileInfo(path) };
        QCOMPARE(int(ymodem.fileProblem()), problem);
        std::vector<unsigned char> buf(133);
        QCOMPARE(ymodem.buildFileInfoPacket(buf.data(), 133), 133);
        const QByteArray digits = QByteArray::number(qMax<qint64>(size, 0));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf.data()) + 3, 128),
            blockZero(name.toLocal8Bit().left(126 - digits.size()), qMax<qint64>(size, 0)));
    }
};

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
