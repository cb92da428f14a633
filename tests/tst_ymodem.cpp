#include "log.h"
#include "testdata.h"
#include "ymodem.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <vector>

namespace {

constexpr int BUFFER_SIZE = 1029;

// Checks one packet as a receiver would and returns why it is malformed, or an empty text.
QString decodePacket(const QByteArray &packet, int expectedBlock, QByteArray *payload)
{
    if (packet.isEmpty())
        return QStringLiteral("no packet");
    const int len = packet[0] == 0x01 ? 128 : packet[0] == 0x02 ? 1024 : -1;
    if (len < 0)
        return QStringLiteral("header byte %1").arg(uchar(packet[0]));
    if (packet.size() != len + 5)
        return QStringLiteral("%1 bytes for a payload of %2").arg(packet.size()).arg(len);
    if (uchar(packet[1]) != expectedBlock)
        return QStringLiteral("block %1 instead of %2").arg(uchar(packet[1])).arg(expectedBlock);
    if (uchar(packet[1]) + uchar(packet[2]) != 0xFF)
        return QStringLiteral("block complement %1").arg(uchar(packet[2]));
    *payload = packet.mid(3, len);
    const quint16 crc = quint16(uchar(packet[3 + len]) << 8 | uchar(packet[4 + len]));
    if (crc != referenceCrc(*payload))
        return QStringLiteral("CRC mismatch");
    return {};
}

struct Transfer
{
    QByteArray name;
    QByteArray sizeText;
    QByteArray data;
    int longs = 0;
    int shorts = 0;
    QList<int> progress;
};

// Builds block 0 and every data packet the way the session does, decoding each; fails the running test on
// a malformed packet.
void transfer(Ymodem &ymodem, Transfer *t)
{
    unsigned char buf[BUFFER_SIZE];
    const int infoLen = ymodem.buildFileInfoPacket(buf, BUFFER_SIZE);
    QByteArray payload;
    const QString problem = decodePacket(QByteArray(reinterpret_cast<char *>(buf), infoLen), 0, &payload);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(payload.size(), 128);
    const int nameEnd = payload.indexOf('\0');
    const int sizeEnd = payload.indexOf('\0', nameEnd + 1);
    QVERIFY(nameEnd >= 0 && sizeEnd > nameEnd);
    t->name = payload.left(nameEnd);
    t->sizeText = payload.mid(nameEnd + 1, sizeEnd - nameEnd - 1);
    QCOMPARE(payload.mid(sizeEnd), QByteArray(128 - sizeEnd, '\0'));

    const qint64 size = t->sizeText.toLongLong();
    // Enough for any correct codec; a broken end-of-data test must not hang the suite.
    const qint64 limit = size / 128 + 2;
    while (ymodem.progress() < 100 && t->longs + t->shorts < limit) {
        const int len = ymodem.buildDataPacket(buf, BUFFER_SIZE);
        const int block = (t->longs + t->shorts + 1) % 256;
        const QString bad = decodePacket(QByteArray(reinterpret_cast<char *>(buf), len), block, &payload);
        QVERIFY2(bad.isEmpty(), qPrintable(bad));
        if (payload.size() == 1024) {
            QVERIFY2(t->shorts == 0, "a long packet after a short one");
            ++t->longs;
        } else {
            ++t->shorts;
        }
        t->data += payload;
        t->progress << ymodem.progress();
    }
    QCOMPARE(ymodem.progress(), 100);
}

QString logText(const QDir &dir)
{
    QString text;
    for (const QFileInfo &info : QDir(dir.filePath("log")).entryInfoList(QDir::Files)) {
        QFile file(info.absoluteFilePath());
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

} // namespace

class TestYmodem : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void roundTrip_data();
    void roundTrip();
    void progressSequence();
    void blockNumberWrap();
    void fileInfoPacket();
    void sizeIsTakenAtConstruction();
    void closingPackets();
    void emptyFile();
    void cannotOpen_data();
    void cannotOpen();
    void openFailureIsLogged();
    void fileProblem_data();
    void fileProblem();
    void tooLargeBuildsNoData();
    void overlongNameIsCut();
    void shrunkFile_data();
    void shrunkFile();
    void grownFileSendsAnnouncedSize();

private:
    QString writeFile(const QString &name, const QByteArray &data);
    QString sparseFile(const QString &name, qint64 size);

    QTemporaryDir m_dir;
};

QString TestYmodem::writeFile(const QString &name, const QByteArray &data)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QString TestYmodem::sparseFile(const QString &name, qint64 size)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(size))
        qFatal("cannot make %s", qPrintable(path));
    return path;
}

void TestYmodem::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected");
    QTest::newRow("check string") << QByteArray("123456789") << 0x31C3;
    QTest::newRow("nothing") << QByteArray() << 0;
    QTest::newRow("zero payload") << QByteArray(128, '\0') << 0;
    QTest::newRow("single A") << QByteArray("A") << 0x58E5;
}

void TestYmodem::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    QCOMPARE(int(crc16(reinterpret_cast<const unsigned char *>(data.constData()), data.size())), expected);
    QCOMPARE(int(referenceCrc(data)), expected);
}

void TestYmodem::roundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("plan");
    QTest::addColumn<int>("longs");
    QTest::addColumn<int>("shorts");
    const int mixed = Ymodem::Mixed;
    QTest::newRow("1") << 1 << mixed << 0 << 1;
    QTest::newRow("100") << 100 << mixed << 0 << 1;
    QTest::newRow("127") << 127 << mixed << 0 << 1;
    QTest::newRow("128") << 128 << mixed << 0 << 1;
    QTest::newRow("129") << 129 << mixed << 0 << 2;
    QTest::newRow("1023") << 1023 << mixed << 0 << 8;
    QTest::newRow("1024") << 1024 << mixed << 0 << 8;
    QTest::newRow("1025") << 1025 << mixed << 1 << 1;
    QTest::newRow("1500") << 1500 << mixed << 1 << 4;
    QTest::newRow("2048") << 2048 << mixed << 1 << 8;
    QTest::newRow("3000") << 3000 << mixed << 2 << 8;
    QTest::newRow("4096") << 4096 << mixed << 3 << 8;
    QTest::newRow("310000") << 310000 << mixed << 302 << 6;
    QTest::newRow("1K throughout, 1") << 1 << int(Ymodem::AllOneK) << 1 << 0;
    QTest::newRow("1K throughout, 3000") << 3000 << int(Ymodem::AllOneK) << 3 << 0;
    QTest::newRow("128 throughout, 3000") << 3000 << int(Ymodem::AllShort) << 0 << 24;
}

// Every packet decodes, the file comes back whole behind its padding, and the count announced in the
// console is the count sent.
void TestYmodem::roundTrip()
{
    QFETCH(int, size);
    QFETCH(int, plan);
    QFETCH(int, longs);
    QFETCH(int, shorts);
    const QByteArray data = randomBytes(size, quint32(size));
    Ymodem ymodem(QFileInfo(writeFile("image.bin", data)), Ymodem::PacketPlan(plan));
    QCOMPARE(ymodem.fileProblem(), Ymodem::NoProblem);
    QCOMPARE(ymodem.totalPackets(), longs + shorts);

    Transfer t;
    transfer(ymodem, &t);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(t.name, QByteArray("image.bin"));
    QCOMPARE(t.sizeText.toInt(), size);
    QCOMPARE(t.longs, longs);
    QCOMPARE(t.shorts, shorts);
    QCOMPARE(ymodem.packetNumber(), longs + shorts);
    QVERIFY(t.data.left(size) == data);
    QCOMPARE(t.data.mid(size), QByteArray(t.data.size() - size, 0x1A));
}

void TestYmodem::progressSequence()
{
    Ymodem ymodem { QFileInfo(writeFile("progress.bin", randomBytes(3000, 7))) };
    QCOMPARE(ymodem.progress(), 0);
    Transfer t;
    transfer(ymodem, &t);
    QCOMPARE(t.progress, QList<int>({ 34, 68, 72, 76, 81, 85, 89, 93, 98, 100 }));
}

void TestYmodem::blockNumberWrap()
{
    Ymodem ymodem { QFileInfo(writeFile("wrap.bin", randomBytes(310000, 3))) };
    unsigned char buf[BUFFER_SIZE];
    QList<QPair<int, int>> numbers;
    for (int i = 1; i <= 300; ++i) {
        QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 1029);
        if (i >= 255 && i <= 257)
            numbers << qMakePair(int(buf[1]), int(buf[2]));
    }
    QCOMPARE(numbers, (QList<QPair<int, int>> { { 0xFF, 0x00 }, { 0x00, 0xFF }, { 0x01, 0xFE } }));
    QCOMPARE(ymodem.packetNumber(), 300);
}

void TestYmodem::fileInfoPacket()
{
    Ymodem ymodem { QFileInfo(writeFile("fw.bin", randomBytes(1500, 1))) };
    unsigned char buf[BUFFER_SIZE];
    memset(buf, 0x55, sizeof buf);
    QCOMPARE(ymodem.buildFileInfoPacket(buf, BUFFER_SIZE), 133);
    const QByteArray packet(reinterpret_cast<char *>(buf), 133);
    QCOMPARE(packet.left(3), QByteArray("\x01\x00\xFF", 3));
    QByteArray expected("fw.bin\0"
                        "1500\0",
        12);
    expected.append(128 - expected.size(), '\0');
    QCOMPARE(packet.mid(3, 128), expected);
    QByteArray payload;
    QCOMPARE(decodePacket(packet, 0, &payload), QString());
}

void TestYmodem::sizeIsTakenAtConstruction()
{
    const QString path = writeFile("rebuilt.bin", randomBytes(1000, 4));
    const QFileInfo chosen(path);
    QCOMPARE(chosen.size(), qint64(1000));
    // The firmware is rebuilt between choosing it and pressing Download.
    const QByteArray rebuilt = randomBytes(3000, 5);
    writeFile("rebuilt.bin", rebuilt);

    Ymodem ymodem(chosen);
    QCOMPARE(ymodem.totalPackets(), 10);
    Transfer t;
    transfer(ymodem, &t);
    QCOMPARE(t.sizeText, QByteArray("3000"));
    QVERIFY(t.data.left(3000) == rebuilt);
}

void TestYmodem::closingPackets()
{
    Ymodem ymodem { QFileInfo(writeFile("closing.bin", randomBytes(3000, 6))) };
    unsigned char buf[BUFFER_SIZE];
    ymodem.buildFileInfoPacket(buf, BUFFER_SIZE);
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 1029);

    memset(buf, 0x55, sizeof buf);
    QCOMPARE(ymodem.buildEotPacket(buf, 2), 1);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 2), QByteArray("\x04\x55"));

    memset(buf, 0x55, sizeof buf);
    QCOMPARE(ymodem.buildEndPacket(buf, 133), 133);
    QByteArray expectedEnd("\x01\x00\xFF", 3);
    expectedEnd.append(130, '\0');
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 133), expectedEnd);

    memset(buf, 0x55, sizeof buf);
    QCOMPARE(ymodem.buildCancelPacket(buf, 5), 5);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 6), QByteArray("\x18\x18\x18\x18\x18\x55"));

    // None of them moves the data on.
    QCOMPARE(ymodem.packetNumber(), 1);
    QCOMPARE(ymodem.progress(), 34);
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 1029);
    QCOMPARE(int(buf[1]), 2);
}

void TestYmodem::emptyFile()
{
    Ymodem ymodem { QFileInfo(writeFile("empty.bin", QByteArray())) };
    QCOMPARE(ymodem.fileProblem(), Ymodem::EmptyFile);
    QCOMPARE(ymodem.totalPackets(), 0);
    QCOMPARE(ymodem.progress(), 100);
}

void TestYmodem::cannotOpen_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing") << m_dir.filePath("missing/fw.bin");
}

void TestYmodem::cannotOpen()
{
    QFETCH(QString, path);
    QFile probe(path);
    QVERIFY(!probe.open(QIODevice::ReadOnly));

    Ymodem ymodem { QFileInfo(path) };
    QCOMPARE(ymodem.fileProblem(), Ymodem::CannotOpen);
    QCOMPARE(ymodem.errorString(), probe.errorString());
    unsigned char buf[BUFFER_SIZE];
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 0);
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 0);
    QCOMPARE(ymodem.packetNumber(), 0);
}

void TestYmodem::openFailureIsLogged()
{
    QTemporaryDir workDir;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    Log::instance()->init(1, "codec");
    QVERIFY(QDir::setCurrent(previous));

    const QString missing = m_dir.filePath("absent.bin");
    QFile probe(missing);
    QVERIFY(!probe.open(QIODevice::ReadOnly));
    {
        Ymodem ymodem { QFileInfo(missing) };
    }
    const QRegularExpression line("\\[ERROR\\] .*ymodem\\.cpp:\\d+:Ymodem\\(\\) "
        + QRegularExpression::escape("Error occured when open file, error info: " + probe.errorString()));
    QTRY_VERIFY(logText(QDir(workDir.path())).contains(line));
}

void TestYmodem::fileProblem_data()
{
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("problem");
    // Name, NUL, four digits and NUL fill the 128 bytes exactly.
    QTest::newRow("name just fits") << 122 << qint64(1500) << int(Ymodem::NoProblem);
    QTest::newRow("name one byte too long") << 123 << qint64(1500) << int(Ymodem::NameTooLong);
    QTest::newRow("more digits leave less room") << 122 << qint64(15000) << int(Ymodem::NameTooLong);
    QTest::newRow("empty before long name") << 200 << qint64(0) << int(Ymodem::EmptyFile);
    QTest::newRow("largest allowed") << 10 << YMODEM_MAX_FILE_SIZE << int(Ymodem::NoProblem);
    QTest::newRow("one byte too large") << 10 << YMODEM_MAX_FILE_SIZE + 1 << int(Ymodem::TooLarge);
    QTest::newRow("too large before long name") << 200 << YMODEM_MAX_FILE_SIZE + 1 << int(Ymodem::TooLarge);
}

void TestYmodem::fileProblem()
{
    QFETCH(int, nameLength);
    QFETCH(qint64, size);
    QFETCH(int, problem);
    const QString name = QString(nameLength - 4, QLatin1Char('n')) + QStringLiteral(".bin");
    const QString path = sparseFile(name, size);
    Ymodem ymodem { QFileInfo(path) };
    QCOMPARE(int(ymodem.fileProblem()), problem);

    // Whatever the problem, block 0 stays inside its packet and keeps the size whole.
    std::vector<unsigned char> packet(133);
    QCOMPARE(ymodem.buildFileInfoPacket(packet.data(), int(packet.size())), 133);
    const QByteArray payload(reinterpret_cast<char *>(packet.data()) + 3, 128);
    const QByteArray digits = QByteArray::number(size);
    const int room = 128 - digits.size() - 2;
    QCOMPARE(payload.left(payload.indexOf('\0')), name.toLocal8Bit().left(room));
    QCOMPARE(payload.mid(qMin(nameLength, room) + 1, digits.size() + 1), digits + '\0');
}

void TestYmodem::tooLargeBuildsNoData()
{
    const QString path = sparseFile("huge.bin", qint64(4) * 1024 * 1024 * 1024);
    Ymodem ymodem { QFileInfo(path) };
    QCOMPARE(ymodem.fileProblem(), Ymodem::TooLarge);
    unsigned char buf[BUFFER_SIZE];
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 0);
    QCOMPARE(ymodem.packetNumber(), 0);
    QCOMPARE(ymodem.progress(), 0);
}

void TestYmodem::overlongNameIsCut()
{
    const QString name = QString(600, QLatin1Char('x'));
    Ymodem ymodem { QFileInfo(m_dir.filePath(name)) };
    QCOMPARE(ymodem.fileProblem(), Ymodem::CannotOpen);
    // A buffer of exactly one packet: the sanitizer build catches any write past it.
    std::vector<unsigned char> packet(133);
    QCOMPARE(ymodem.buildFileInfoPacket(packet.data(), int(packet.size())), 133);
    const QByteArray payload(reinterpret_cast<char *>(packet.data()) + 3, 128);
    QCOMPARE(payload,
        QByteArray(125, 'x')
            + QByteArray("\0"
                         "0\0",
                3));
}

void TestYmodem::shrunkFile_data()
{
    QTest::addColumn<int>("packetsBefore");
    QTest::addColumn<int>("newSize");
    QTest::addColumn<int>("packetsAfter");
    QTest::newRow("nothing left to read") << 1 << 1024 << 0;
    QTest::newRow("ends inside a long packet") << 1 << 1500 << 0;
    QTest::newRow("ends inside the short tail") << 2 << 2900 << 6;
}

void TestYmodem::shrunkFile()
{
    QFETCH(int, packetsBefore);
    QFETCH(int, newSize);
    QFETCH(int, packetsAfter);
    const QString path = writeFile("shrinking.bin", randomBytes(3000, 8));
    Ymodem ymodem { QFileInfo(path) };
    unsigned char buf[BUFFER_SIZE];
    ymodem.buildFileInfoPacket(buf, BUFFER_SIZE);
    for (int i = 0; i < packetsBefore; ++i)
        QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 1029);

    QVERIFY(QFile::resize(path, newSize));
    int built = 0;
    while (ymodem.buildDataPacket(buf, BUFFER_SIZE) > 0 && built < 100)
        ++built;
    QCOMPARE(built, packetsAfter);
    QVERIFY(ymodem.progress() < 100);
    QCOMPARE(ymodem.packetNumber(), packetsBefore + packetsAfter);
    QVERIFY2(ymodem.errorString().contains(QString::number(newSize)), qPrintable(ymodem.errorString()));
    QCOMPARE(ymodem.buildDataPacket(buf, BUFFER_SIZE), 0);
}

void TestYmodem::grownFileSendsAnnouncedSize()
{
    const QByteArray original = randomBytes(1500, 9);
    const QString path = writeFile("growing.bin", original);
    Ymodem ymodem { QFileInfo(path) };
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QCOMPARE(file.write(QByteArray(500, 'g')), 500);
    file.close();

    Transfer t;
    transfer(ymodem, &t);
    QCOMPARE(t.sizeText, QByteArray("1500"));
    QCOMPARE(t.progress.last(), 100);
    QCOMPARE(t.data.size(), 1024 + 4 * 128);
    QVERIFY(t.data.left(1500) == original);
    QCOMPARE(t.data.mid(1500), QByteArray(t.data.size() - 1500, 0x1A));
}

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
