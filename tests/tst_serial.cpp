#include "commserial.h"
#include "peers.h"
#include "ptypair.h"
#include "serial.h"
#include "testdata.h"

#include <QtTest>
#include <memory>

namespace {

const int LongWaitMs = 20000;
// Bytes in flight at most, below what a ring buffer holds, so that no store ever has to wait.
const int Window = 7000;

} // namespace

class TestSerial : public QObject
{
    Q_OBJECT

    // "type text" for each report the channel makes, text "ok" for a success.
    QStringList m_reports;

    void record(CommSerial &comm)
    {
        m_reports.clear();
        // Direct, so that the thread seen is the one the channel reports in: the window's.
        const auto note = [this](CommOperType type, const QString &text) {
            m_reports << QString::number(type) + ' ' + text;
            QCOMPARE(QThread::currentThread(), thread());
        };
        connect(
            &comm, &CommInterface::sigSucc, this, [note](CommOperType type) { note(type, "ok"); },
            Qt::DirectConnection);
        connect(&comm, &CommInterface::sigFailed, this, note, Qt::DirectConnection);
    }

    bool openPort(CommSerial &comm, const QString &name, int baud = 115200)
    {
        const int before = m_reports.size();
        comm.open(name, baud);
        return QTest::qWaitFor([&] { return m_reports.size() > before; }, LongWaitMs)
            && m_reports.last() == "0 ok";
    }

private slots:
    // Opened at a high rate, the port carries bytes both ways unchanged; the close lets go of the device.
    void bytesCrossBothWaysInOrder()
    {
        PtyPair pty;
        SKIP_UNLESS_VALID_PTY(pty);
        CommSerial comm;
        record(comm);
        QVERIFY(openPort(comm, pty.slavePath(), 921600));
        const QByteArray out = randomBytes(Window, 1);
        for (int i = 0; i < out.size(); i += Serial::SendChunkSize)
            comm.writeData(out.constData() + i, qMin(int(Serial::SendChunkSize), out.size() - i));
        QCOMPARE(pty.read(out.size(), LongWaitMs), out);
        const QByteArray in = randomBytes(Window, 2);
        QVERIFY(pty.write(in));
        QByteArray received;
        unsigned char piece[1029];
        while (received.size() < in.size() && !comm.isReadTimeout())
            received.append(reinterpret_cast<char *>(piece), comm.readData(piece, sizeof piece, LongWaitMs));
        QCOMPARE(received, in);
        comm.close();
        QTRY_COMPARE_WITH_TIMEOUT(m_reports, QStringList({ "0 ok", "1 ok" }), LongWaitMs);
        QVERIFY(pty.isSlaveClosed());
        // The quit lands in the worker's thread: a read waiting meanwhile ends then, not at its time-out.
        comm.quit();
        char c = 0;
        QVERIFY(!comm.readByte(&c, LongWaitMs) && !comm.isReadTimeout());
    }

    void failedOpensSayWhy_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("words");
        QTest::newRow("bare name") << "ttyKELPO9"
                                   << "There is no serial port ttyKELPO9 (/dev/ttyKELPO9): ";
        QTest::newRow("none chosen") << QString() << "No serial port is chosen";
        QTest::newRow("in use") << "in use"
                                << "is in use by another program";
    }

    // Plain words first, the port's own text behind them.
    void failedOpensSayWhy()
    {
        QFETCH(QString, name);
        QFETCH(QString, words);
        PtyPair pty;
        SKIP_UNLESS_VALID_PTY(pty);
        CommSerial holder;
        record(holder);
        if (name == "in use")
            QVERIFY(openPort(holder, name = pty.slavePath()));
        CommSerial comm;
        record(comm);
        QVERIFY(!openPort(comm, name));
        QVERIFY2(m_reports.size() == 1 && m_reports[0].startsWith("0 ") && m_reports[0].contains(words),
            qPrintable(m_reports.join('\n')));
    }

    // An unplugged adapter is reported at once, naming the port; another port opens, and a closing program
    // lets go of it.
    void lostPortIsReportedAndAnotherOpens()
    {
        PtyPair pty;
        SKIP_UNLESS_VALID_PTY(pty);
        auto comm = std::make_unique<CommSerial>();
        record(*comm);
        QVERIFY(openPort(*comm, pty.slavePath()));
        QVERIFY(comm->lineError().isEmpty());
        pty.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(m_reports.size(), 2, LongWaitMs);
        QVERIFY2(
            m_reports[1].startsWith("1 Serial port " + pty.slavePath() + " lost"), qPrintable(m_reports[1]));
        QCOMPARE("1 " + comm->lineError(), m_reports[1]);
        PtyPair other;
        QVERIFY(openPort(*comm, other.slavePath()));
        QVERIFY(comm->lineError().isEmpty());
        comm.reset();
        QVERIFY(other.isSlaveClosed());
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
