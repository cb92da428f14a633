#include "firmwarefolder.h"
#include "localsetting.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "windowsteps.h"
#include "windowundertest.h"

#include <QApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>
#include <memory>

namespace {
// Qt's offscreen platform never deletes its screen; held here, the screen counts as still in use at exit
// instead of showing up in the sanitizer's leak report.
QScreen *volatile offscreenScreen = nullptr;

QStringList debugMessages;
void keepDebugMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        debugMessages << text;
}
} // namespace

class TestMainWindowConsole : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void keysReachDeviceOnlyFromConsole();
    void deviceTextKeepsItsLines();
    void heldTextIsShown_data();
    void heldTextIsShown();
    void noDeveloperTracesInRelease();

private:
    FirmwareFolder m_firmware;
};

void TestMainWindowConsole::initTestCase()
{
    offscreenScreen = QGuiApplication::primaryScreen();
    // The console speaks the locale's encoding; these tests speak UTF-8 wherever they run.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(m_firmware.isValid());
}

// Each test starts as on a first start: nothing remembered from the one before.
void TestMainWindowConsole::init()
{
    LocalSetting::instance()->reset();
}

void TestMainWindowConsole::cleanupTestCase()
{
    LocalSetting::instance()->reset();
}

// Keys typed into the file field stay there; keys typed into the console go to the device as typed.
void TestMainWindowConsole::keysReachDeviceOnlyFromConsole()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    showAndActivate(u);
    QVERIFY(!QTest::currentTestFailed());
    openPort(u, ptyEntry(device));
    QVERIFY(!QTest::currentTestFailed());
    QWindow *keyboard = u.window.windowHandle();

    QTest::mouseClick(u.file, Qt::LeftButton);
    typeKeys(QStringLiteral("/tmp/fw.bin"));
    QCOMPARE(u.file->text(), QStringLiteral("/tmp/fw.bin"));
    u.upload->setFocus();
    typeKeys(QStringLiteral("q"));

    QTest::mouseClick(u.console->viewport(), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), u.console);
    // Shift let go before the key: the key's release then says "a", but the press said "A".
    QTest::keyPress(keyboard, Qt::Key_Shift);
    QTest::keyPress(keyboard, 'A', Qt::ShiftModifier);
    QTest::keyRelease(keyboard, Qt::Key_Shift, Qt::ShiftModifier);
    QTest::keyRelease(keyboard, 'a');
    QTest::keyClick(keyboard, Qt::Key_Control);
    typeKeys(QStringLiteral("b_"));

    // Anything typed into the field would have reached the device first.
    QCOMPARE(device.read(3), QByteArray("Ab_"));
    const QStringList inputs = u.consoleLines().filter(QRegularExpression(QStringLiteral("^INPUT:")));
    QCOMPARE(inputs, QStringList({ "INPUT:A", "INPUT:b", "INPUT:_" }));
    QCOMPARE(u.file->text(), QStringLiteral("/tmp/fw.bin"));

    // During a download keys would break into its packets: the console takes none, and the device gets
    // only the cancel sequence.
    u.file->setText(m_firmware.path("firmware-a.bin"));
    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    QTest::mouseClick(u.console->viewport(), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), u.console);
    typeKeys(QStringLiteral("x"));
    QTest::mouseClick(u.stop, Qt::LeftButton);
    QCOMPARE(device.read(5), QByteArray(5, '\x18'));
    QVERIFY(!u.consoleHas(QStringLiteral("INPUT:x")));
}

// Device text written in pieces with pauses between them, a character split between two of them.
void TestMainWindowConsole::deviceTextKeepsItsLines()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, ptyEntry(device));
    QVERIFY(!QTest::currentTestFailed());

    const QList<QPair<QByteArray, QString>> pieces
        = { { "Erasing", "Erasing" }, { ".", "Erasing." }, { "..", "Erasing..." },
              { " done\r\ngr\xc3", "gr" }, { "\xbc\xc3\x9f", QStringLiteral("gr\u00fc\u00df") } };
    for (const auto &piece : pieces) {
        QVERIFY(device.write(piece.first));
        // Shown before the next piece is written: the device paused.
        QTRY_COMPARE(u.consoleLines().last(), piece.second);
    }
    QCOMPARE(u.consoleLines(), QStringList({ "Erasing... done", QStringLiteral("gr\u00fc\u00df") }));
}

void TestMainWindowConsole::heldTextIsShown_data()
{
    QTest::addColumn<bool>("cancel");

    QTest::newRow("download starts") << false;
    QTest::newRow("cancel pressed") << true;
}

// Text the device printed just before the operator acted is shown, none of it dropped.
void TestMainWindowConsole::heldTextIsShown()
{
    QFETCH(bool, cancel);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, ptyEntry(device));
    QVERIFY(!QTest::currentTestFailed());
    u.file->setText(m_firmware.path("firmware-a.bin"));
    if (cancel) {
        pressDownload(u);
        QVERIFY(!QTest::currentTestFailed());
    }
    QVERIFY(device.write("held text"));
    QTest::mouseClick(cancel ? u.stop : u.upload, Qt::LeftButton);
    const QString after = QLatin1String(cancel ? CANCELLED_LINE : PREPARE_LINE);
    // The session's own line may cut the text in two where the device had got to; all of it shows, once.
    const auto deviceText = [&u] {
        return u.consoleLines().filter(QRegularExpression(QStringLiteral("^(?!\\[info\\])"))).join(QString());
    };
    QTRY_COMPARE(deviceText(), QStringLiteral("held text"));
    QVERIFY(u.consoleHas(after));
}

// The engine's thread-id traces are for debug builds.
void TestMainWindowConsole::noDeveloperTracesInRelease()
{
#ifndef QT_NO_DEBUG
    QSKIP("a debug build prints its traces");
#endif
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    debugMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepDebugMessages);
    {
        WindowUnderTest u;
        openPort(u, ptyEntry(device));
        u.file->setText(m_firmware.path("firmware-a.bin"));
        pressDownload(u);
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QTRY_VERIFY(u.consoleHas(QLatin1String(CANCELLED_LINE)));
        // The receive monitor runs again once the session has ended: the device's text shows.
        QVERIFY(device.write("monitor runs\n"));
        QTRY_VERIFY2(u.consoleHas(QStringLiteral("monitor runs")), qPrintable(u.consoleLines().join("|")));
    }
    qInstallMessageHandler(previous);
    QCOMPARE(debugMessages, QStringList());
}

QTEST_MAIN(TestMainWindowConsole)
#include "tst_mainwindow_console.moc"
