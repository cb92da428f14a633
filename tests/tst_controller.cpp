#include "controller.h"
#include "observer.h"
#include "scriptedchannel.h"
#include "scriptedreceiver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Records every report together with the observer that got it and the thread it ran in.
struct Journal
{
    QStringList entries;
    bool offGuiThread = false;
};

class RecordingObserver : public Observer
{
public:
    RecordingObserver(const QString &name, Journal &journal) : m_name(name), m_journal(journal) { }

    void onMessage(const QString &msg) override { record(QStringLiteral("message ") + msg); }
    void onDeviceText(const QByteArray &bytes) override { record(QStringLiteral("text ") + bytes); }
    void onProgress(const TransferProgress &progress) override
    {
        record(QStringLiteral("progress %1").arg(progress.percent));
    }
    void onUpdateEnd(const TransferOutcome &outcome) override
    {
        ++ends;
        record(QStringLiteral("end ") + outcomeName(outcome.result));
    }

    int ends = 0;

private:
    void record(const QString &what)
    {
        if (QThread::currentThread() != qApp->thread())
            m_journal.offGuiThread = true;
        m_journal.entries << m_name + QLatin1Char(' ') + what;
    }

    QString m_name;
    Journal &m_journal;
};

// How long a destructor may take and still count as prompt: well under the session's 10 s reply wait.
constexpr qint64 PROMPT_MS = 5000;
} // namespace

class TestController : public QObject
{
    Q_OBJECT

private slots:
    void reportsReachObserversInOrder();
    void monitorThenUploadRunInOrder();
    void destructionIsPrompt_data();
    void destructionIsPrompt();
};

void TestController::reportsReachObserversInOrder()
{
    ScriptedChannel channel;
    Journal journal;
    RecordingObserver first(QStringLiteral("first"), journal);
    RecordingObserver second(QStringLiteral("second"), journal);
    {
        Controller controller(&channel);
        controller.addObserver(&first);
        controller.addObserver(&second);
        controller.startDataRecv();
        channel.pushBytes("one");
        channel.pushTimeout();
        channel.pushBytes("two");
        channel.pushTimeout();
        QTRY_COMPARE(journal.entries.size(), 4);
        channel.quit();
    }
    QCOMPARE(journal.entries,
        QStringList({ QStringLiteral("first text one"), QStringLiteral("second text one"),
            QStringLiteral("first text two"), QStringLiteral("second text two") }));
    QVERIFY(!journal.offGuiThread);
}

void TestController::monitorThenUploadRunInOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("fw.bin"));
    QByteArray content(2500, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + 3);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    ScriptedChannel channel;
    ScriptedReceiver receiver(channel);
    Journal journal;
    RecordingObserver first(QStringLiteral("first"), journal);
    RecordingObserver second(QStringLiteral("second"), journal);
    Controller controller(&channel);
    controller.addObserver(&first);
    controller.addObserver(&second);

    controller.startDataRecv();
    channel.pushBytes("boot");
    channel.pushTimeout();
    QTRY_COMPARE(journal.entries.size(), 2);

    // A second monitor queued behind the first, as the end of a cancelled session leaves it: the stop
    // must end it too, or the upload would wait behind it for good. The wake-up after the stop goes to the
    // monitor or to the session's drain; either way the receiver's request reaches the session.
    controller.startDataRecv();
    controller.stopHandle();
    channel.pushTimeout();
    controller.startUpload({ path, TransferOptions() });
    receiver.start();
    QTRY_COMPARE(second.ends, 1);

    QCOMPARE(first.ends, 1);
    QVERIFY(receiver.completed());
    QVERIFY(receiver.file() == content);
    QVERIFY(!journal.offGuiThread);
    // Every report reached the first observer, then the second, before the next report.
    for (int i = 0; i + 1 < journal.entries.size(); i += 2) {
        QVERIFY(journal.entries.at(i).startsWith(QLatin1String("first ")));
        QCOMPARE(journal.entries.at(i + 1).mid(7), journal.entries.at(i).mid(6));
    }
    QCOMPARE(journal.entries.at(journal.entries.size() - 4),
        QStringLiteral("first message [info]Update process completed."));
    QCOMPARE(journal.entries.filter(QStringLiteral("first progress")).last(),
        QStringLiteral("first progress 100"));
    channel.quit();
}

void TestController::destructionIsPrompt_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<bool>("abortFirst");

    QTest::newRow("monitor running") << false << false;
    QTest::newRow("monitor on aborted channel") << false << true;
    QTest::newRow("upload waiting on aborted channel") << true << true;
}

void TestController::destructionIsPrompt()
{
    QFETCH(bool, upload);
    QFETCH(bool, abortFirst);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fw.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("firmware") == 8);
    file.close();

    ScriptedChannel channel;
    Journal journal;
    RecordingObserver observer(QStringLiteral("only"), journal);
    auto *controller = new Controller(&channel);
    controller->addObserver(&observer);
    if (upload) {
        controller->startUpload({ path, TransferOptions() });
        // The session is in its reply wait once it has announced itself.
        QTRY_COMPARE(journal.entries.size(), 1);
    } else {
        controller->startDataRecv();
        channel.pushBytes("x");
        channel.pushTimeout();
        QTRY_COMPARE(journal.entries.size(), 1);
    }
    if (abortFirst)
        channel.quit();

    QElapsedTimer timer;
    timer.start();
    delete controller;
    QVERIFY2(timer.elapsed() < PROMPT_MS, qPrintable(QString::number(timer.elapsed())));
    // Reports still queued for the controller are not delivered after it has gone.
    QCoreApplication::processEvents();
    QCOMPARE(journal.entries.size(), 1);
    QCOMPARE(observer.ends, 0);
}

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
