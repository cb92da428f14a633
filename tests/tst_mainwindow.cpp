#include "firmwarefolder.h"
#include "localsetting.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "windowsteps.h"
#include "windowundertest.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMimeData>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTextCodec>
#include <QtTest>
#include <memory>

namespace {
const char NO_FILE[] = "Please choose to upgrade firmware";

// Qt's offscreen platform never deletes its screen; held here, the screen counts as still in use at exit
// instead of showing up in the sanitizer's leak report.
QScreen *volatile offscreenScreen = nullptr;

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void startsClosedWithPortsAndRates();
    void controlsFollowState();
    void openFailureSaysWhy_data();
    void openFailureSaysWhy();
    void failedRequestRestoresButton_data();
    void failedRequestRestoresButton();
    void reportDuringWarningWins();
    void browseOffersEveryFile();
    void portListFollowsAdapters();
    void droppedFileIsChosen_data();
    void droppedFileIsChosen();
    void choicesRestoredInNextWindow_data();
    void choicesRestoredInNextWindow();

private:
    FirmwareFolder m_firmware;
};

void TestMainWindow::initTestCase()
{
    offscreenScreen = QGuiApplication::primaryScreen();
    // The console speaks the locale's encoding; these tests speak UTF-8 wherever they run.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(m_firmware.isValid());
}

// Each test starts as on a first start: nothing remembered from the one before.
void TestMainWindow::init()
{
    LocalSetting::instance()->reset();
}

void TestMainWindow::cleanupTestCase()
{
    LocalSetting::instance()->reset();
}

void TestMainWindow::startsClosedWithPortsAndRates()
{
    const QStringList ports = { QStringLiteral("ttyS0:built-in"), QStringLiteral("ttyUSB0:FT232R") };
    WindowUnderTest u(ports);
    QVERIFY(u.complete());
    QCOMPARE(u.state(), CLOSED);
    QCOMPARE(u.portEntries(), ports);
    QCOMPARE(u.names->currentIndex(), 0);
    QStringList bauds;
    for (int i = 0; i < u.bauds->count(); ++i)
        bauds << u.bauds->itemText(i);
    QCOMPARE(bauds,
        QStringList({ "4800", "9600", "19200", "38400", "57600", "115200", "128000", "230400", "256000",
            "460800", "921600", "1000000", "1500000", "2000000", "3000000" }));
    QCOMPARE(u.bauds->currentText(), QStringLiteral("115200"));
    QCOMPARE(u.file->text(), QString());
    QCOMPARE(u.progress->text(), QStringLiteral("0 %"));

    // Any whole rate from 50 to 12 000 000 may be typed; Refresh brings back 115200.
    int position = 0;
    for (const auto &[text, accepted] : { std::pair<QString, bool>("12000000", true), { "12345678", false },
             { "50", true }, { "9600x", false } }) {
        QString typed = text;
        QCOMPARE(u.bauds->validator()->validate(typed, position) == QValidator::Acceptable, accepted);
    }
    u.bauds->setCurrentText(QStringLiteral("1843200"));
    u.refresh->click();
    QCOMPARE(u.bauds->currentText(), QStringLiteral("115200"));
}

// Through open, a download cancelled, a download whose port is lost, close, and another port.
void TestMainWindow::controlsFollowState()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.file->setText(m_firmware.path("firmware-a.bin"));
    QStringList states { u.state() };

    // Only the part before the colon, the port's name, is opened.
    QVERIFY(u.choosePort(ptyEntry(device)));
    QTest::mouseClick(u.open, Qt::LeftButton);
    states << u.state();
    QTRY_COMPARE(u.state(), OPEN);
    states << u.state();
    QVERIFY(!device.isSlaveClosed());

    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    states << u.state();
    QTest::mouseClick(u.stop, Qt::LeftButton);
    QTRY_VERIFY(u.consoleHas(QLatin1String(CANCELLED_LINE)));
    QTRY_COMPARE(u.state(), OPEN);
    states << u.state();
    QVERIFY2(u.progress->text().startsWith(QLatin1String("Failed: ")), qPrintable(u.progress->text()));
    QCOMPARE(device.read(5), QByteArray(5, '\x18'));

    // An adapter unplugged mid-transfer: the session ends at once with a line naming the port, and the
    // port waits for the operator's Close.
    pressDownload(u);
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY(device.write("C"));
    QCOMPARE(device.read(133).size(), 133);
    device.hangUp();
    const QString lostLine = QStringLiteral("[info]Serial port %1 lost").arg(device.slavePath());
    QTRY_VERIFY(u.consoleLines().last().startsWith(lostLine));
    QTRY_COMPARE(u.warnings.size(), 1);
    QVERIFY2(u.warnings.last().text.startsWith(lostLine.mid(6)), qPrintable(u.warnings.last().text));
    QTRY_COMPARE(u.state(), FAILED);
    states << u.state();
    QVERIFY2(u.progress->text().startsWith(QLatin1String("Failed: ")), qPrintable(u.progress->text()));

    QTest::mouseClick(u.open, Qt::LeftButton);
    states << u.state();
    QTRY_COMPARE(u.state(), CLOSED);
    states << u.state();
    QCOMPARE(states, QStringList({ CLOSED, OPENING, OPEN, TRANSFERRING, OPEN, FAILED, CLOSING, CLOSED }));

    // Another port opens, and what its device prints shows again.
    deviceSays(u, "device back\n", QStringLiteral("device back"));
}

void TestMainWindow::openFailureSaysWhy_data()
{
    QTest::addColumn<bool>("portListed");

    QTest::newRow("port that is not there") << true;
    QTest::newRow("no port in the list") << false;
}

void TestMainWindow::openFailureSaysWhy()
{
    QFETCH(bool, portListed);

    const QString missing = QDir(m_firmware.root()).filePath(QStringLiteral("no-such-port"));
    QSerialPort reference(missing);
    QVERIFY(!reference.open(QIODevice::ReadWrite));

    WindowUnderTest u;
    QVERIFY(u.complete());
    if (portListed)
        QVERIFY(u.choosePort(missing));
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_COMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().title, QStringLiteral("Warn"));
    // Plain words first, the port's own text behind them.
    const QString text = u.warnings.first().text;
    if (portListed)
        QVERIFY2(text.startsWith(QLatin1String("There is no serial port"))
                && text.contains(reference.errorString()),
            qPrintable(text));
    else
        QCOMPARE(text, QStringLiteral("No serial port to open: none is there."));
    QCOMPARE(u.warnings.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(u.state(), CLOSED);
}

void TestMainWindow::failedRequestRestoresButton_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("stateAfter");

    QTest::newRow("open") << int(CommOperOpen) << CLOSED;
    QTest::newRow("close") << int(CommOperClose) << FAILED;
}

void TestMainWindow::failedRequestRestoresButton()
{
    QFETCH(int, operation);
    QFETCH(QString, stateAfter);

    WindowUnderTest u;
    QVERIFY(u.complete());
    if (operation == CommOperClose)
        u.window.slotSucc(CommOperOpen);

    // The window shows the port as it is before the box goes up, so a report that arrives meanwhile wins.
    u.window.slotFailed(CommOperType(operation), QStringLiteral("the port's own words"));
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().title, QStringLiteral("Warn"));
    QCOMPARE(u.warnings.first().text, QStringLiteral("the port's own words"));
    QCOMPARE(u.warnings.first().stateWhileShown, stateAfter);
    QCOMPARE(u.state(), stateAfter);
}

void TestMainWindow::reportDuringWarningWins()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    u.window.slotSucc(CommOperOpen);

    // The port is lost (reported as a failed close) just as the operator's own close is answered.
    QMetaObject::invokeMethod(
        &u.window, [&u] { u.window.slotSucc(CommOperClose); }, Qt::QueuedConnection);
    u.window.slotFailed(CommOperClose, QStringLiteral("Serial port lost"));
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.state(), CLOSED);
}

// Firmware files often have no extension; cancelling keeps the file chosen; an empty field is refused.
void TestMainWindow::browseOffersEveryFile()
{
    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    WindowUnderTest u;
    QVERIFY(u.complete());
    openPort(u, ptyEntry(device));
    QVERIFY(!QTest::currentTestFailed());

    const QString zImage = m_firmware.path("zImage");
    DialogSeen seen;
    auto answerer = answerFileDialog(zImage, zImage, &seen);
    u.file->actions().first()->trigger();
    QCOMPARE(answerer->answered(), 1);
    QVERIFY(seen.offered);
    QCOMPARE(u.file->text(), zImage);

    browse(u, QString());
    QVERIFY(!QTest::currentTestFailed());
    QCOMPARE(u.file->text(), zImage);

    u.file->clear();
    QTest::mouseClick(u.upload, Qt::LeftButton);
    QCOMPARE(u.warnings.size(), 1);
    QCOMPARE(u.warnings.first().text, QLatin1String(NO_FILE));
    QCOMPARE(u.state(), OPEN);
}

// Adapters plugged in and out while the port is closed show in the list; the choices stay.
void TestMainWindow::portListFollowsAdapters()
{
    WindowUnderTest u;
    QVERIFY(u.complete());
    QCOMPARE(u.portEntries(), QStringList());
    u.bauds->setCurrentText(QStringLiteral("9600"));

    auto first = std::make_unique<PtyPair>();
    PtyPair second;
    QVERIFY(first->isValid() && second.isValid());
    u.ports << ptyEntry(*first);
    QTRY_COMPARE(u.portEntries(), QStringList { ptyEntry(*first) });
    u.ports << ptyEntry(second);
    QTRY_COMPARE(u.portEntries(), QStringList({ ptyEntry(*first), ptyEntry(second) }));
    u.names->setCurrentIndex(1);
    u.ports.swapItemsAt(0, 1);
    QTRY_COMPARE(u.portEntries(), QStringList({ ptyEntry(second), ptyEntry(*first) }));
    QCOMPARE(u.names->currentText(), ptyEntry(second));

    const QString gone = ptyEntry(*first);
    first.reset();
    u.ports.removeAll(gone);
    QTRY_COMPARE(u.portEntries(), QStringList { ptyEntry(second) });
    QCOMPARE(u.bauds->currentText(), QStringLiteral("9600"));

    // The one left opens, at the rate chosen.
    QTest::mouseClick(u.open, Qt::LeftButton);
    QTRY_COMPARE(u.state(), OPEN);
    QVERIFY(!second.isSlaveClosed());
}

void TestMainWindow::droppedFileIsChosen_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<bool>("taken");

    const QString file = m_firmware.path("zImage");
    QTest::newRow("file on the field") << "le_file" << file << true;
    QTest::newRow("file on the console") << "textBrowser" << file << true;
    QTest::newRow("file on the progress bar") << "progressBar" << file << true;
    QTest::newRow("folder") << "le_file" << QDir(m_firmware.root()).filePath(QStringLiteral("Bin")) << false;
    QTest::newRow("web address") << "le_file"
                                 << "https://example.com/fw.bin" << false;
}

void TestMainWindow::droppedFileIsChosen()
{
    QFETCH(QString, target);
    QFETCH(QString, dropped);
    QFETCH(bool, taken);

    WindowUnderTest u;
    QVERIFY(u.complete());
    showAndActivate(u);
    QVERIFY(!QTest::currentTestFailed());
    u.file->setText(QStringLiteral("/before"));
    auto *widget = u.window.findChild<QWidget *>(target);
    QVERIFY(widget);

    QMimeData mime;
    mime.setUrls({ dropped.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(dropped) : QUrl(dropped) });
    const QPoint at = widget->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QCOMPARE(enter.isAccepted(), taken);
    if (taken) {
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &drop);
        QVERIFY(drop.isAccepted());
    }
    QCOMPARE(u.file->text(), taken ? dropped : QStringLiteral("/before"));
}

void TestMainWindow::choicesRestoredInNextWindow_data()
{
    QTest::addColumn<bool>("byOpening");
    QTest::addColumn<bool>("portStillThere");

    QTest::newRow("chosen, port still there") << false << true;
    QTest::newRow("chosen, port gone") << false << false;
    QTest::newRow("opened as shown") << true << true;
}

void TestMainWindow::choicesRestoredInNextWindow()
{
    QFETCH(bool, byOpening);
    QFETCH(bool, portStillThere);

    PtyPair device;
    QVERIFY2(device.isValid(), qPrintable(device.errorString()));
    const QStringList ports = { QStringLiteral("ttyS0:built-in"), ptyEntry(device) };
    {
        WindowUnderTest u(ports);
        QVERIFY(u.complete());
        showAndActivate(u);
        QVERIFY(!QTest::currentTestFailed());
        if (byOpening) {
            // Shown by the program, not chosen; opening the port makes them the operator's choice.
            u.names->setCurrentIndex(1);
            u.bauds->setCurrentText(QStringLiteral("128000"));
            openPort(u, ptyEntry(device));
            QVERIFY(!QTest::currentTestFailed());
            closePort(u);
        } else {
            // As the operator chooses: from the keyboard, in the combo boxes and the field.
            u.names->setFocus();
            QTest::keyClick(u.window.windowHandle(), Qt::Key_Down);
            u.bauds->setFocus();
            QTest::keyClick(u.window.windowHandle(), Qt::Key_Down);
        }
        u.file->setFocus();
        typeKeys(m_firmware.path("zImage"));
        QCOMPARE(u.names->currentText(), ptyEntry(device));
        QCOMPARE(u.bauds->currentText(), QStringLiteral("128000"));
    }

    // A new start reads the file again.
    LocalSetting::instance()->setWindowFile(QStringLiteral("/not/saved"));
    LocalSetting::instance()->load();
    WindowUnderTest next(portStillThere ? ports : QStringList(ports.mid(0, 1)));
    QVERIFY(next.complete());
    QCOMPARE(next.names->currentText(), portStillThere ? ptyEntry(device) : ports.first());
    QCOMPARE(next.bauds->currentText(), QStringLiteral("128000"));
    QCOMPARE(next.file->text(), m_firmware.path("zImage"));
    QCOMPARE(next.state(), CLOSED);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
