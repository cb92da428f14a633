#include "firmwarefolder.h"
#include "localsetting.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "windowsteps.h"
#include "windowundertest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>
#include <memory>

namespace {
// How long closing the window may take and still count as prompt: well under the session's 10 s reply wait.
constexpr qint64 PROMPT_MS = 5000;

// Qt's offscreen platform never deletes its screen; held here, the screen counts as still in use at exit
// instead of showing up in the sanitizer's leak report.
QScreen *volatile offscreenScreen = nullptr;

QSet<QString> threadIds()
{
    const QStringList ids
        = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(ids.begin(), ids.end());
}

} // namespace

class TestMainWindowDownloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void operatorDownloads();
    void downloadAfterCancelStarts();
    void typedPathIsFlashed();
    void closingDuringTransferIsPrompt_data();
    void closingDuringTransferIsPrompt();

private:
    FirmwareFolder m_firmware;
};

void TestMainWindowDownloads::initTestCase()
{
    offscreenScreen = QGuiApplication::primaryScreen();
    // The console speaks the locale's encoding; these tests speak UTF-8 wherever they run.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(m_firmware.isValid());
}

// Each test starts as on a first start: nothing remembered from the one before.
void TestMainWindowDownloads::init()
{
    LocalSetting::instance()->reset();
}

void TestMainWindowDownloads::cleanupTestCase()
{
    LocalSetting::instance()->reset();
}

void TestMainWindowDownloads::operatorDownloads()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&u.window));
    QStringList texts;
    const auto progressTexts
        = connect(u.progress, &QProgressBar::valueChanged, [&] { texts << u.progress->text(); });

    // The device talks before the download: its boot text reaches the console.
    deviceSays(u, "KELPO boot 2.1\nwaiting for firmware\n", QStringLiteral("waiting for firmware"));
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(u.consoleHas(QStringLiteral("KELPO boot 2.1")));

    const int linesBefore = u.consoleLines().size();
    download(u, m_firmware.path("firmware-a.bin"));
    QVERIFY(!QTest::currentTestFailed());
    // rb acknowledges the first EOT, so the line for a refused one does not appear.
    const QStringList normalLines
        = { PREPARE_LINE, "[info]During the process of establishing a connection...",
              "[info]Handshake successful! Start transmitting data.", "[info]Data transmission completed.",
              COMPLETED_LINE };
    // The session shows what the device printed while it waited (rb's first 'C' among it) between them.
    const QStringList added
        = u.consoleLines().mid(linesBefore - 1).filter(QRegularExpression(QStringLiteral("^\\[info\\]")));
    QCOMPARE(added.join(QLatin1Char('\n')), normalLines.join(QLatin1Char('\n')));
    QCOMPARE(u.progress->value(), 100);
    QCOMPARE(u.progress->text(), QStringLiteral("Done"));
    QVERIFY(texts.size() > 2);
    const QRegularExpression during(
        QStringLiteral("^\\d+ % \u00b7 \\d+(\\.\\d)? (B|KiB|MiB)/s \u00b7 \\d+:\\d\\d left$"));
    for (const QString &text : texts.mid(1))
        QVERIFY2(during.match(text).hasMatch() || text == QLatin1String("Done"), qPrintable(text));
    QCOMPARE(u.state(), OPEN);

    const QString screenshot = qEnvironmentVariable("KELPO_SCREENSHOT");
    if (!screenshot.isEmpty())
        QVERIFY(u.window.grab().save(screenshot));
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());

    // The new firmware boots and says so; then a second download in the same window.
    deviceSays(u, "KELPO app 2.2 running\n", QStringLiteral("KELPO app 2.2 running"));
    QVERIFY(!QTest::currentTestFailed());
    download(u, m_firmware.path("firmware-b.bin"));
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());
    disconnect(progressTexts);

    // Then one the operator cancels while the data flows: the receiver is told and keeps no whole file.
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    browse(u, m_firmware.path("firmware-big.bin"));
    QVERIFY(!QTest::currentTestFailed());
    bool cancelled = false;
    const auto cancelOnce = connect(u.progress, &QProgressBar::valueChanged, [&](int value) {
        if (value > 0 && value < 100 && !cancelled) {
            cancelled = true;
            QTest::mouseClick(u.stop, Qt::LeftButton);
        }
    });
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    QTRY_VERIFY2_WITH_TIMEOUT(
        u.consoleHas(QLatin1String(CANCELLED_LINE)), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    disconnect(cancelOnce);
    QVERIFY(cancelled);
    QVERIFY(!u.consoleLines()
                 .mid(u.consoleLines().lastIndexOf(QLatin1String(PREPARE_LINE)))
                 .contains(COMPLETED_LINE));
    QVERIFY(u.progress->value() < 100);
    QTRY_VERIFY(u.progress->text().startsWith(QLatin1String("Failed: ")));
    QVERIFY(rb.waitForFinished());
    QVERIFY(readFile(QDir(rb.receiveDir()).filePath(QStringLiteral("firmware-big.bin")))
        != m_firmware.content("firmware-big.bin"));
    closeVanishedPort(u);
    QVERIFY(!QTest::currentTestFailed());
}

void TestMainWindowDownloads::downloadAfterCancelStarts()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    {
        PtyPair device;
        QVERIFY2(device.isValid(), qPrintable(device.errorString()));
        openPort(u, ptyEntry(device));
        u.file->setText(m_firmware.path("firmware-a.bin"));
        pressDownload(u);
        QVERIFY(!QTest::currentTestFailed());
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QTRY_VERIFY(u.consoleHas(QLatin1String(CANCELLED_LINE)));
        QTRY_COMPARE(u.state(), OPEN);
        closePort(u);
    }

    // The end of the cancelled session asked for a receive monitor; it must not keep the next upload
    // waiting behind it.
    download(u, m_firmware.path("firmware-b.bin"));
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
}

// The operator types another path into the field than the one browsed: the file shown is the file flashed,
// and the device gets nothing but that file.
void TestMainWindowDownloads::typedPathIsFlashed()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    RbReceiver rb;
    QVERIFY2(rb.start(), qPrintable(rb.errorString()));
    openPort(u, rb.portPath());
    browse(u, m_firmware.path("firmware-a.bin"));
    QVERIFY(!QTest::currentTestFailed());
    showAndActivate(u);
    QVERIFY(!QTest::currentTestFailed());

    QTest::mouseClick(u.file, Qt::LeftButton);
    u.file->selectAll();
    typeKeys(m_firmware.path("firmware-b.bin"));
    QCOMPARE(u.file->text(), m_firmware.path("firmware-b.bin"));
    startDownload(u, rb);
    QVERIFY(!QTest::currentTestFailed());
    QTRY_VERIFY2_WITH_TIMEOUT(!u.stop->isEnabled(), rb.diagnostics().constData(), TRANSFER_TIMEOUT_MS);
    QCOMPARE(u.consoleLines().last(), QLatin1String(COMPLETED_LINE));
    QVERIFY(rb.waitForFinished());
    const QDir received(rb.receiveDir());
    QCOMPARE(received.entryList(QDir::Files), QStringList { QStringLiteral("firmware-b.bin") });
    QCOMPARE(
        readFile(received.filePath(QStringLiteral("firmware-b.bin"))), m_firmware.content("firmware-b.bin"));
}

void TestMainWindowDownloads::closingDuringTransferIsPrompt_data()
{
    QTest::addColumn<bool>("receiverAnswers");

    QTest::newRow("waiting for a silent device") << false;
    QTest::newRow("sending data") << true;
}

void TestMainWindowDownloads::closingDuringTransferIsPrompt()
{
    QFETCH(bool, receiverAnswers);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    std::unique_ptr<RbReceiver> rb;
    if (receiverAnswers) {
        rb = std::make_unique<RbReceiver>();
        QVERIFY2(rb->start(), qPrintable(rb->errorString()));
    }
    const QSet<QString> threadsBefore = threadIds();

    auto u = std::make_unique<WindowUnderTest>();
    QVERIFY(u->complete());
    openPort(*u, rb ? rb->portPath() : ptyEntry(device));
    u->file->setText(m_firmware.path("firmware-big.bin"));
    if (rb) {
        startDownload(*u, *rb);
        QTRY_VERIFY(u->progress->value() > 0);
        QVERIFY(u->progress->value() < 100);
    } else {
        pressDownload(*u);
    }
    QCOMPARE(u->state(), TRANSFERRING);
    QVERIFY(!threadsBefore.contains(threadIds()));

    QElapsedTimer timer;
    timer.start();
    u.reset();
    QVERIFY2(timer.elapsed() < PROMPT_MS, qPrintable(QString::number(timer.elapsed())));
    // Threads that were there before may have ended meanwhile; none of the window's may be left.
    QTRY_VERIFY(threadsBefore.contains(threadIds()));
    if (!rb)
        QVERIFY(device.isSlaveClosed());
}

QTEST_MAIN(TestMainWindowDownloads)
#include "tst_mainwindow_downloads.moc"
