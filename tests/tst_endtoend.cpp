// The engine the way the window drives it (CommSerial, Controller, an observer) against the real rb on a
// pseudo-terminal.
#include "commserial.h"
#include "controller.h"
#include "observer.h"
#include "randombytes.h"
#include "rbreceiver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int SESSION_TIMEOUT_MS = 120000;

} // namespace

// Records what the controller reports, as the window would show it.
class SessionRecorder : public QObject, public Observer
{
    Q_OBJECT

public:
    void onMessage(const QString &msg) override
    {
        messages << msg;
        emit sigReport();
    }
    void onProgress(int value) override
    {
        progress << value;
        emit sigReport();
    }
    void onUpdateEnd() override
    {
        ++ends;
        emit sigReport();
    }

    // Waits until the condition holds, turning the event loop for the reports.
    template<typename Condition> bool waitUntil(Condition condition, int timeoutMs = SESSION_TIMEOUT_MS)
    {
        QSignalSpy reports(this, &SessionRecorder::sigReport);
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired() || !reports.wait(int(deadline.remainingTime())))
                return condition();
        }
        return true;
    }

    QStringList messages;
    QList<int> progress;
    int ends = 0;

signals:
    void sigReport();
};

// The channel and the controller, owned and torn down in the window's order.
struct Engine
{
    Engine() : comm(new CommSerial), controller(new Controller(comm)) { }
    ~Engine()
    {
        comm->quit();
        delete controller;
        delete comm;
    }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    CommSerial *comm;
    Controller *controller;
};

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void sendsFileWhole_data();
    void sendsFileWhole();
    void receiverCancelEndsSession();

private:
    void startUpload(Engine &engine, RbReceiver &rb, SessionRecorder &recorder, const QString &path);

    QTemporaryDir m_files;
};

// Opens rb's port, starts the upload and lets rb in once the session waits for its C.
void TestEndToEnd::startUpload(Engine &engine, RbReceiver &rb, SessionRecorder &recorder, const QString &path)
{
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    engine.controller->addObserver(&recorder);

    QSignalSpy opened(engine.comm, &CommInterface::sigSucc);
    QSignalSpy failed(engine.comm, &CommInterface::sigFailed);
    engine.comm->open(rb.portPath(), 115200);
    QVERIFY(opened.wait() || !failed.isEmpty());
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(1).toString()));

    engine.controller->setFileName(path);
    engine.controller->startUpload();
    QVERIFY(recorder.waitUntil([&] {
        return recorder.messages.contains(QLatin1String("[info]Prepare to establish a connection."));
    }));
    rb.release();
}

void TestEndToEnd::sendsFileWhole_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");

    for (int size : { 1, 128, 1024, 1025, 3000 })
        QTest::addRow("%d bytes", size) << QStringLiteral("fw.bin") << randomBytes(size, quint32(size));
    QTest::newRow("3 MiB of random data") << QStringLiteral("image.bin") << randomBytes(3 * 1024 * 1024, 7);
    // The last block is padded with 0x1A too: only the size in block 0 tells the receiver where the file
    // ends.
    QTest::newRow("tail of 0x1A") << QStringLiteral("eof.bin")
                                  << randomBytes(1000, 3) + QByteArray(40, '\x1a');
    QTest::newRow("spaces and accents in the name")
        << QStringLiteral("Prüf Datei für Gerät é.bin") << randomBytes(2000, 11);
}

void TestEndToEnd::sendsFileWhole()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QVERIFY(m_files.isValid());
    const QString path = m_files.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    RbReceiver rb;
    SessionRecorder recorder;
    Engine engine;
    startUpload(engine, rb, recorder, path);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(
        recorder.waitUntil([&] { return recorder.ends == 1; }), qPrintable(recorder.messages.join('\n')));
    QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());

    // rb acknowledges the first EOT, so the second one is never needed.
    const QStringList expected {
        QStringLiteral("[info]Prepare to establish a connection."),
        QStringLiteral("[info]During the process of establishing a connection..."),
        QStringLiteral("[info]Handshake successful! Start transmitting data."),
        QStringLiteral("[info]Data transmission completed."),
        QStringLiteral("[info]Update process completed."),
    };
    QVERIFY2(recorder.messages == expected, qPrintable(recorder.messages.join('\n')));
    QVERIFY(!recorder.progress.isEmpty());
    QCOMPARE(recorder.progress.last(), 100);
    QVERIFY(std::is_sorted(recorder.progress.cbegin(), recorder.progress.cend()));
    QVERIFY(recorder.progress.first() >= 0);

    const QDir received(rb.receiveDir());
    QCOMPARE(received.entryList(QDir::Files), QStringList { name });
    QFile arrived(received.filePath(name));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QCOMPARE(arrived.size(), qint64(content.size()));
    QVERIFY(arrived.readAll() == content);
}

// rb interrupted with SIGINT answers with its cancel bytes; the first is an unexpected reply and the next
// wake-up, the second, finishes the cancel at once instead of after a reply time-out.
void TestEndToEnd::receiverCancelEndsSession()
{
    QVERIFY(m_files.isValid());
    const QString path = m_files.filePath(QStringLiteral("cancelled.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(randomBytes(3 * 1024 * 1024, 5));
    file.close();

    RbReceiver rb;
    SessionRecorder recorder;
    Engine engine;
    startUpload(engine, rb, recorder, path);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(
        recorder.waitUntil([&] { return !recorder.progress.isEmpty() && recorder.progress.last() >= 5; }));
    QVERIFY(rb.interrupt());
    QVERIFY2(
        recorder.waitUntil([&] { return recorder.ends == 1; }), qPrintable(recorder.messages.join('\n')));

    QVERIFY(recorder.progress.last() < 100);
    QVERIFY(!recorder.messages.contains(QLatin1String("[info]Update process completed.")));
    QVERIFY(recorder.messages.contains(
        QLatin1String("[info]Received incorrect instruction(0x18), stop updating. ")));
    // rb leaves as it cancels: the second cancel may find the port already hung up, which ends the
    // session just as well.
    const QStringList endings { QStringLiteral("[info]Cancel the update."),
        QStringLiteral("[info]Serial port %1 lost: the line hung up, Cancel update").arg(rb.portPath()) };
    QVERIFY2(endings.contains(recorder.messages.last()), qPrintable(recorder.messages.join('\n')));
    for (const QString &message : qAsConst(recorder.messages))
        QVERIFY2(!message.contains(QLatin1String("retransmission")), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
