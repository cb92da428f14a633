#include "commserial.h"
#include "localsetting.h"
#include "ptypair.h"
#include "testdata.h"
#include "serial.h"
#include "serialplatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const int LongWaitMs = 5000;
const int ShortWaitMs = 20;
// Bytes in flight at most, below the 10000 a ring buffer holds, so that no store ever has to wait.
const int Window = 7000;

struct Outcome
{
    CommOperType type;
    bool succeeded;
    QString text;
    QThread *thread;
};

// What a port of our own says when it cannot open name: the text the worker must pass on.
QString directOpenError(const QString &name)
{
    QSerialPort port;
    port.setPortName(name);
    if (port.open(QIODevice::ReadWrite))
        return QString();
    return port.errorString();
}

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void openThenCloseReportInOrderInGuiThread();
    void closeOfNeverOpenedPortSucceeds();
    void failedOpensSayWhy_data();
    void failedOpensSayWhy();
    void platformCallsTolerateAPty();
    void openAppliesLineSettings_data();
    void openAppliesLineSettings();
    void openWhileOpenIsRefused();
    void bytesCrossBothWaysInOrder();
    void droppedWritesNeverReachTheLine_data();
    void droppedWritesNeverReachTheLine();
    void fullReceiveBufferDropsBlockWhole();
    void floodReachesAReaderThatKeepsUp();
    void quitReleasesReadsForGood();
    void destroyingFacadeClosesOpenPort();
    void lostPortIsReportedAndCanBeReopened();
    void availablePortsJoinNameAndDescription();
    void modemLinesReportWhereTheyCannotBeSet_data();
    void modemLinesReportWhereTheyCannotBeSet();

private:
    void record(CommSerial &comm);
    bool openPort(CommSerial &comm, const QString &name);
    QString logText() const;

    QTemporaryDir m_workDir;
    QVector<Outcome> m_outcomes;
};

void TestSerial::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    // The log folder follows the working directory; keep it out of the build tree.
    QVERIFY(QDir::setCurrent(m_workDir.path()));

    // Errors only: the drop and error lines are what these tests read back.
    const QString configDir = QCoreApplication::applicationDirPath() + QStringLiteral("/config");
    QVERIFY(QDir().mkpath(configDir));
    QFile ini(configDir + QStringLiteral("/config.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[LOG]\nlog_str=serialtest\nlog_level=1\n");
    ini.close();
    QCOMPARE(LocalSetting::instance()->getLogLevel(), 1);
}

void TestSerial::record(CommSerial &comm)
{
    m_outcomes.clear();
    // Direct, so that the thread recorded is the one the facade emits in.
    connect(
        &comm, &CommInterface::sigSucc, this,
        [this](CommOperType type) {
            m_outcomes.append({ type, true, QString(), QThread::currentThread() });
        },
        Qt::DirectConnection);
    connect(
        &comm, &CommInterface::sigFailed, this,
        [this](CommOperType type, const QString &text) {
            m_outcomes.append({ type, false, text, QThread::currentThread() });
        },
        Qt::DirectConnection);
}

bool TestSerial::openPort(CommSerial &comm, const QString &name)
{
    const int before = m_outcomes.size();
    comm.open(name, 115200);
    if (!QTest::qWaitFor([&] { return m_outcomes.size() > before; }, LongWaitMs))
        return false;
    const Outcome &outcome = m_outcomes.last();
    return outcome.type == CommOperOpen && outcome.succeeded;
}

QString TestSerial::logText() const
{
    const QDir logDir(m_workDir.filePath(QStringLiteral("log")));
    const QStringList files = logDir.entryList({ QStringLiteral("log_serialtest_*.log") }, QDir::Files);
    if (files.isEmpty())
        return QString();
    QFile file(logDir.filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void TestSerial::openThenCloseReportInOrderInGuiThread()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);

    comm.open(pty.slavePath(), 115200);
    comm.close();
    QTRY_COMPARE(m_outcomes.size(), 2);

    QCOMPARE(m_outcomes[0].type, CommOperOpen);
    QVERIFY2(m_outcomes[0].succeeded, qPrintable(m_outcomes[0].text));
    QCOMPARE(m_outcomes[1].type, CommOperClose);
    QVERIFY(m_outcomes[1].succeeded);
    for (const Outcome &outcome : qAsConst(m_outcomes))
        QCOMPARE(outcome.thread, QThread::currentThread());
    QVERIFY(pty.isSlaveClosed());
}

void TestSerial::closeOfNeverOpenedPortSucceeds()
{
    CommSerial comm;
    record(comm);
    comm.close();
    QTRY_COMPARE(m_outcomes.size(), 1);
    QCOMPARE(m_outcomes[0].type, CommOperClose);
    QVERIFY(m_outcomes[0].succeeded);
}

void TestSerial::failedOpensSayWhy_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("words");
    QTest::addColumn<bool>("systemText");

    const QString missing = m_workDir.filePath(QStringLiteral("no-such-port"));
    QTest::newRow("missing") << missing << QStringLiteral("There is no serial port ") + missing << true;
    QTest::newRow("not a terminal") << m_workDir.filePath(QStringLiteral("not-a-tty"))
                                    << QStringLiteral("Cannot open the serial port ") << true;
    QTest::newRow("bare name") << QStringLiteral("ttyKELPO9")
                               << QStringLiteral("There is no serial port ttyKELPO9 (/dev/ttyKELPO9)")
                               << true;
    QTest::newRow("none chosen") << QString() << QStringLiteral("No serial port is chosen") << false;
    QTest::newRow("in use") << QStringLiteral("in use") << QStringLiteral("is in use by another program")
                            << true;
}

// Plain words first, the port's own text kept behind them; and a failed open leaves nothing behind for the
// close of a later, good port.
void TestSerial::failedOpensSayWhy()
{
    QFETCH(QString, name);
    QFETCH(QString, words);
    QFETCH(bool, systemText);
    QFile plain(m_workDir.filePath(QStringLiteral("not-a-tty")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial holder;
    if (name == QLatin1String("in use")) {
        name = pty.slavePath();
        record(holder);
        QVERIFY(openPort(holder, name));
    }
    const QString portText = directOpenError(name);
    CommSerial comm;
    record(comm);
    QVERIFY(!openPort(comm, name));
    QCOMPARE(m_outcomes.size(), 1);
    QCOMPARE(m_outcomes[0].type, CommOperOpen);
    QVERIFY2(m_outcomes[0].text.contains(words), qPrintable(m_outcomes[0].text));
    if (systemText)
        QVERIFY2(m_outcomes[0].text.contains(portText), qPrintable(m_outcomes[0].text + " / " + portText));

    PtyPair good;
    QVERIFY(openPort(comm, good.slavePath()));
    comm.close();
    QTRY_COMPARE(m_outcomes.size(), 3);
    QCOMPARE(m_outcomes[2].type, CommOperClose);
    QVERIFY2(m_outcomes[2].succeeded, qPrintable(m_outcomes[2].text));
}

// A pseudo-terminal has no low-latency mode: asking must fail softly and the open go on; the rate the
// driver set can be read back.
void TestSerial::platformCallsTolerateAPty()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio {};
    QVERIFY(::tcgetattr(fd, &tio) == 0);
    cfsetspeed(&tio, B57600);
    QVERIFY(::tcsetattr(fd, TCSANOW, &tio) == 0);
    QCOMPARE(appliedBaudRate(fd), qint64(57600));
    QString why;
    QVERIFY(!requestLowLatency(fd, &why));
    QVERIFY(!why.isEmpty());
    ::close(fd);

    CommSerial comm;
    record(comm);
    comm.open(pty.slavePath(), 921600);
    QTRY_COMPARE(m_outcomes.size(), 1);
    QVERIFY2(m_outcomes[0].succeeded, qPrintable(m_outcomes[0].text));
}

void TestSerial::openAppliesLineSettings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<speed_t>("speed");

    QTest::newRow("9600") << 9600 << speed_t(B9600);
    QTest::newRow("115200") << 115200 << speed_t(B115200);
}

void TestSerial::openAppliesLineSettings()
{
    QFETCH(int, baud);
    QFETCH(speed_t, speed);

    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const QByteArray path = QFile::encodeName(pty.slavePath());

    // Leave the line in a state the worker must undo: two stop bits, hardware flow, 1200 baud. A pty keeps
    // its own character size and parity, so those two settings cannot be seen here.
    int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio {};
    QVERIFY(::tcgetattr(fd, &tio) == 0);
    tio.c_cflag |= CSTOPB | CRTSCTS;
    cfsetspeed(&tio, B1200);
    QVERIFY(::tcsetattr(fd, TCSANOW, &tio) == 0);
    QVERIFY(::tcgetattr(fd, &tio) == 0);
    QCOMPARE(tio.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(CSTOPB | CRTSCTS));
    ::close(fd);

    CommSerial comm;
    record(comm);
    comm.open(pty.slavePath(), baud);
    QTRY_COMPARE(m_outcomes.size(), 1);
    QVERIFY2(m_outcomes[0].succeeded, qPrintable(m_outcomes[0].text));

    // The worker holds the port exclusively; only a privileged process may look at it meanwhile.
    fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        QSKIP("the open port cannot be inspected without privileges");
    const bool read = ::tcgetattr(fd, &tio) == 0;
    ::close(fd);
    QVERIFY(read);
    QCOMPARE(tio.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(cfgetispeed(&tio), speed);
    QCOMPARE(cfgetospeed(&tio), speed);
}

void TestSerial::openWhileOpenIsRefused()
{
    PtyPair first;
    PtyPair second;
    QVERIFY2(first.isValid() && second.isValid(), qPrintable(first.errorString() + second.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, first.slavePath()));

    QVERIFY(!openPort(comm, second.slavePath()));
    QVERIFY(!m_outcomes.last().text.isEmpty());
    QVERIFY(!first.isSlaveClosed());
    QVERIFY(second.isSlaveClosed());

    // The port that stayed open is still the one that works.
    const QByteArray bytes("still here");
    comm.writeData(bytes.constData(), bytes.size());
    QCOMPARE(first.read(bytes.size()), bytes);
}

void TestSerial::bytesCrossBothWaysInOrder()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, pty.slavePath()));

    // Out: one chunk per write, as the worker sends at most that much per request.
    const QByteArray out = randomBytes(48 * 1024, 1);
    QByteArray atMaster;
    for (int sent = 0; sent < out.size();) {
        const int windowEnd = qMin(out.size(), sent + Window);
        while (sent < windowEnd) {
            const int len = qMin(int(Serial::SendChunkSize), windowEnd - sent);
            QCOMPARE(comm.writeData(out.constData() + sent, len), 1);
            sent += len;
        }
        atMaster += pty.read(sent - atMaster.size());
        QCOMPARE(atMaster.size(), sent);
    }
    QVERIFY(atMaster == out);

    const QByteArray in = randomBytes(48 * 1024, 2);
    QByteArray atComm;
    QByteArray piece(1029, Qt::Uninitialized);
    for (int sent = 0; sent < in.size();) {
        const int len = qMin(Window, in.size() - sent);
        QVERIFY(pty.write(in.mid(sent, len)));
        sent += len;
        while (atComm.size() < sent) {
            const int got
                = comm.readData(reinterpret_cast<unsigned char *>(piece.data()), piece.size(), LongWaitMs);
            QVERIFY(!comm.isReadTimeout());
            atComm.append(piece.constData(), got);
        }
    }
    QVERIFY(atComm == in);
}

void TestSerial::droppedWritesNeverReachTheLine_data()
{
    QTest::addColumn<QByteArray>("dropped");
    QTest::addColumn<bool>("portOpen");

    QTest::newRow("written while the port is closed") << QByteArray("dropped") << false;
    QTest::newRow("more than the send buffer holds") << QByteArray(RingBuffer::Capacity + 1, 'o') << true;
}

void TestSerial::droppedWritesNeverReachTheLine()
{
    QFETCH(QByteArray, dropped);
    QFETCH(bool, portOpen);

    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    if (portOpen)
        QVERIFY(openPort(comm, pty.slavePath()));

    QCOMPARE(comm.writeData(dropped.constData(), dropped.size()), 1);
    // Requests are handled in order, so the drain for the dropped bytes runs before the port opens.
    if (!portOpen)
        QVERIFY(openPort(comm, pty.slavePath()));
    const QByteArray kept("kept");
    comm.writeData(kept.constData(), kept.size());
    QCOMPARE(pty.read(kept.size()), kept);
}

void TestSerial::fullReceiveBufferDropsBlockWhole()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, pty.slavePath()));

    // One byte more than the buffer holds, and nobody reads: whatever the blocks are, only the last one can
    // find no room, so exactly one block is dropped and what is kept is the front of the data.
    const QByteArray in = randomBytes(RingBuffer::Capacity + 1, 3);
    QVERIFY(pty.write(in));
    const QRegularExpression dropLine(QStringLiteral("slotReadData\\(\\)  %1 device data buffer full, (\\d+) "
                                                     "bytes data be dropped off!!!")
                                          .arg(QRegularExpression::escape(pty.slavePath())));
    QTRY_VERIFY(logText().contains(dropLine));
    const int droppedLen = dropLine.match(logText()).captured(1).toInt();
    QVERIFY(droppedLen >= 1);

    QByteArray kept;
    QByteArray piece(4096, Qt::Uninitialized);
    int got;
    while (
        (got = comm.readData(reinterpret_cast<unsigned char *>(piece.data()), piece.size(), ShortWaitMs)) > 0)
        kept.append(piece.constData(), got);
    QVERIFY(comm.isReadTimeout());
    QVERIFY(kept == in.left(in.size() - droppedLen));

    // With room again the next block gets its own chance.
    const QByteArray tail("tail");
    QVERIFY(pty.write(tail));
    piece.fill(0);
    got = comm.readData(reinterpret_cast<unsigned char *>(piece.data()), piece.size(), LongWaitMs);
    QCOMPARE(piece.left(got), tail);
    QCOMPARE(logText().count(dropLine), 1);
}

void TestSerial::floodReachesAReaderThatKeepsUp()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, pty.slavePath()));

    // A device that talks without pause, as in a burst of boot text: however the port lumps the bytes
    // together, a reader that keeps taking them must get every one, in order.
    const QString dropText = QStringLiteral("data be dropped off");
    const int dropsBefore = logText().count(dropText);
    const QByteArray in = randomBytes(4 * 1024 * 1024, 4);
    bool written = false;
    std::thread device([&] { written = pty.write(in, 60000); });
    QByteArray atComm;
    QByteArray piece(RingBuffer::Capacity, Qt::Uninitialized);
    while (atComm.size() < in.size()) {
        const int got
            = comm.readData(reinterpret_cast<unsigned char *>(piece.data()), piece.size(), LongWaitMs);
        if (comm.isReadTimeout())
            break;
        atComm.append(piece.constData(), got);
    }
    device.join();
    QVERIFY(written);
    QCOMPARE(atComm.size(), in.size());
    QVERIFY(atComm == in);
    QCOMPARE(logText().count(dropText), dropsBefore);
}

void TestSerial::quitReleasesReadsForGood()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, pty.slavePath()));

    comm.quit();
    // The abort lands in the worker's thread; a long read is released by it rather than by its time-out.
    char c = 'u';
    QVERIFY(!comm.readByte(&c, LongWaitMs));
    QVERIFY(!comm.isReadTimeout());
    QCOMPARE(c, 'u');
    unsigned char data[16];
    QCOMPARE(comm.readData(data, sizeof data, 0), 0);
    QVERIFY(!comm.isReadTimeout());
}

void TestSerial::destroyingFacadeClosesOpenPort()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    auto comm = std::make_unique<CommSerial>();
    record(*comm);
    QVERIFY(openPort(*comm, pty.slavePath()));
    QVERIFY(!pty.isSlaveClosed());

    comm.reset();
    QVERIFY(pty.isSlaveClosed());
}

void TestSerial::lostPortIsReportedAndCanBeReopened()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    QVERIFY(openPort(comm, pty.slavePath()));
    QVERIFY(comm.lineError().isEmpty());

    pty.hangUp();
    QTRY_COMPARE(m_outcomes.size(), 2);
    QCOMPARE(m_outcomes[1].type, CommOperClose);
    QVERIFY(!m_outcomes[1].succeeded);
    QVERIFY2(m_outcomes[1].text.contains(pty.slavePath() + QStringLiteral(" lost")),
        qPrintable(m_outcomes[1].text));
    QCOMPARE(comm.lineError(), m_outcomes[1].text);
    // The port is closed, so the operator's close succeeds and another port opens.
    comm.close();
    QTRY_COMPARE(m_outcomes.size(), 3);
    QVERIFY(m_outcomes[2].succeeded);
    PtyPair other;
    QVERIFY(openPort(comm, other.slavePath()));
    QVERIFY(comm.lineError().isEmpty());
}

void TestSerial::modemLinesReportWhereTheyCannotBeSet_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("text");
    QTest::newRow("port not open") << false << QStringLiteral("the port is not open");
    // A pseudo-terminal has no modem lines; the text is the system's.
    QTest::newRow("pseudo-terminal") << true << QString();
}

// Setting DTR and RTS is answered in the GUI thread as CommOperLines, a failure with its reason.
void TestSerial::modemLinesReportWhereTheyCannotBeSet()
{
    QFETCH(bool, open);
    QFETCH(QString, text);
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    CommSerial comm;
    record(comm);
    if (open)
        QVERIFY(openPort(comm, pty.slavePath()));
    const int before = m_outcomes.size();
    comm.setModemLines(1, 0);
    QTRY_COMPARE(m_outcomes.size(), before + 1);
    const Outcome &outcome = m_outcomes.last();
    QCOMPARE(outcome.type, CommOperLines);
    QVERIFY(!outcome.succeeded);
    QCOMPARE(outcome.thread, QThread::currentThread());
    if (!text.isEmpty())
        QCOMPARE(outcome.text, text);
    else
        QVERIFY(!outcome.text.isEmpty());
}

void TestSerial::availablePortsJoinNameAndDescription()
{
    CommSerial comm;
    const QStringList entries = comm.availablePorts();
    const auto infos = QSerialPortInfo::availablePorts();
    QCOMPARE(entries.size(), infos.size());
    for (int i = 0; i < entries.size(); ++i) {
        QVERIFY(entries[i].contains(QLatin1Char(':')));
        QCOMPARE(entries[i].section(QLatin1Char(':'), 0, 0), infos[i].portName());
        QCOMPARE(entries[i].mid(infos[i].portName().size() + 1), infos[i].description());
    }
}

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
