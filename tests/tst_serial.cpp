#include "commserial.h"
#include "peers.h"
#include "ptypair.h"
#include "serial.h"
#include "testdata.h"

#include <QtTest>

class TestSerial : public QObject
{
    Q_OBJECT

    static constexpr int LongWaitMs = 20000;
    // "type text" for each report since the last openPort(), text "ok" for a success.
    QStringList m_reports;

    bool openPort(CommSerial &comm, const QString &name)
    {
        m_reports.clear();
        disconnect(&comm, nullptr, this, nullptr);
        // Direct, so that the thread seen is the one the channel reports in: the window's.
        const auto note = [this](CommOperType type, const QString &text = "ok") {
            m_reports << QString::number(type) + ' ' + text;
            QCOMPARE(QThread::currentThread(), thread());
        };
        connect(&comm, &CommInterface::sigSucc, this, note, Qt::DirectConnection);
        connect(&comm, &CommInterface::sigFailed, this, note, Qt::DirectConnection);
        comm.open(name, 921600);
        return QTest::qWaitFor([&] { return !m_reports.isEmpty(); }, LongWaitMs) && m_reports[0] == "0 ok";
    }

private slots:
    // Opened at a high rate, the port carries bytes both ways unchanged; the close lets go of the device.
    void bytesCrossBothWaysInOrder()
    {
        PtyPair pty;
        SKIP_UNLESS_VALID_PTY(pty);
        CommSerial comm;
        QVERIFY(openPort(comm, pty.slavePath()));
        // Less than the buffers hold, so that no store has to wait.
        const QByteArray out = randomBytes(7000, 1);
        for (int i = 0; i < out.size(); i += Serial::SendChunkSize)
            comm.writeData(out.constData() + i, qMin(int(Serial::SendChunkSize), out.size() - i));
        QCOMPARE(pty.read(out.size(), LongWaitMs), out);
        const QByteArray in = randomBytes(7000, 2);
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

    // An unplugged adapter is reported at once, naming the port; another opens; a closing program lets go.
    void lostPortIsReportedAndAnotherOpens()
    {
        PtyPair pty;
        SKIP_UNLESS_VALID_PTY(pty);
        auto comm = std::make_unique<CommSerial>();
        QVERIFY(openPort(*comm, pty.slavePath()));
        pty.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(m_reports.size(), 2, LongWaitMs);
        QCOMPARE("1 " + comm->lineError(), m_reports[1]);
        QVERIFY(comm->lineError().startsWith("Serial port " + pty.slavePath() + " lost"));
        PtyPair other;
        QVERIFY(openPort(*comm, other.slavePath()));
        QVERIFY(comm->lineError().isEmpty());
        comm.reset();
        QVERIFY(other.isSlaveClosed());
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
