#include "testdata.h"
#include "ymodem.h"

#include <QtTest>
#include <numeric>

class TestYmodem : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void roundTrip_data()
    {
        for (const char *column : { "size", "plan", "longs", "shorts" })
            QTest::addColumn<int>(column);
        QTest::addColumn<bool>("checksum");
        QTest::newRow("1") << 1 << int(Ymodem::Mixed) << 0 << 1 << false;
        QTest::newRow("1024") << 1024 << int(Ymodem::Mixed) << 0 << 8 << false;
        QTest::newRow("1025, checksum") << 1025 << int(Ymodem::Mixed) << 1 << 1 << true;
        QTest::newRow("3000") << 3000 << int(Ymodem::Mixed) << 2 << 8 << false;
        QTest::newRow("block numbers wrap") << 310000 << int(Ymodem::Mixed) << 302 << 6 << false;
        QTest::newRow("1K throughout") << 3000 << int(Ymodem::AllOneK) << 3 << 0 << false;
        QTest::newRow("128 throughout") << 3000 << int(Ymodem::AllShort) << 0 << 24 << true;
    }

    // Every packet decodes as a receiver takes it; the file comes back whole, padded, in the packets told.
    void roundTrip()
    {
        QFETCH(int, size);
        QFETCH(int, plan);
        QFETCH(int, longs);
        QFETCH(int, shorts);
        QFETCH(bool, checksum);
        const QByteArray data = randomBytes(size, 1);
        Ymodem ymodem(QFileInfo(writeFile(m_dir.filePath("image.bin"), data)), Ymodem::PacketPlan(plan));
        ymodem.setChecksumMode(checksum);
        QCOMPARE(ymodem.totalPackets(), longs + shorts);
        QByteArrayList payloads;
        unsigned char buf[1029];
        for (int block = 0; block == 0 || (ymodem.progress() != 100 && block < 3000); ++block) {
            const int len = block == 0 ? ymodem.buildFileInfoPacket(buf, sizeof buf)
                                       : ymodem.buildDataPacket(buf, sizeof buf);
            QVERIFY(len > 0 && buf[0] <= 0x02 && buf[1] == block % 256 && buf[1] + buf[2] == 0xFF);
            const QByteArray packet(reinterpret_cast<char *>(buf), len);
            const QByteArray payload = packet.mid(3, buf[0] == 0x02 ? 1024 : 128);
            const int sum = std::accumulate(payload.begin(), payload.end(), 0);
            const quint16 crc = referenceCrc(payload);
            QCOMPARE(packet.mid(3 + payload.size()),
                checksum ? QByteArray(1, char(sum)) : QByteArray(1, char(crc >> 8)) + char(crc));
            payloads << payload;
        }
        QCOMPARE(payloads.value(0),
            (QByteArray("image.bin\0", 10) + QByteArray::number(size)).leftJustified(128, '\0'));
        QCOMPARE(payloads.size(), 1 + longs + shorts);
        QCOMPARE(payloads.mid(1).join(), data + QByteArray(longs * 1024 + shorts * 128 - size, 0x1A));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), ymodem.buildEndPacket(buf, 133)),
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
        QTest::newRow("name over the OS limit") << QString(600, 'x') << qint64(-1) << int(Ymodem::CannotOpen);
    }

    // The problem is told before anything is sent; block 0 stays inside its packet and keeps the size whole.
    void fileProblem()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(int, problem);
        QFile file(m_dir.filePath(name));
        QVERIFY(size < 0 || (file.open(QIODevice::WriteOnly) && file.resize(size)));
        Ymodem ymodem { QFileInfo(file) };
        QCOMPARE(int(ymodem.fileProblem()), problem);
        unsigned char buf[133];
        QCOMPARE(ymodem.buildFileInfoPacket(buf, sizeof buf), 133);
        const QByteArray digits = QByteArray::number(qMax<qint64>(size, 0));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf) + 3, 128),
            (name.toLocal8Bit().left(126 - digits.size()) + '\0' + digits).leftJustified(128, '\0'));
    }
};

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
