#include "console.h"
#include "localsetting.h"
#include "mainwindow.h"
#include "peers.h"
#include "progresstext.h"
#include "ptypair.h"
#include "rbreceiver.h"
#include "testdata.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString PREPARE = QStringLiteral("[info]Prepare to establish a connection.");
// The controls as state() tells them: the Open button's text, then 1 where it is checked, it is enabled, and
// where Refresh, the port list, the rates, Download and Cancel are enabled.
const QString CLOSED = QStringLiteral("Open 0111100");
const QString OPEN = QStringLiteral("Close 1100010");
const QString TRANSFERRING = QStringLiteral("Close 1000001");
const QString FAILED = QStringLiteral("Close 1100000");

// What a console is fed: the program's own lines start with '[', the rest is what the device printed.
using Steps = QByteArrayList;
void feed(Console &console, const Steps &steps)
{
    for (const QByteArray &step : steps)
        step.startsWith('[') ? console.appendOwnLine(QString(step)) : console.appendDeviceBytes(step);
}

// Qt's offscreen platform never deletes its screen; held here, it is not reported as a leak at exit.
QScreen *volatile offscreenScreen = nullptr;

// The window, looking at a port list the test sets. Every message box gets its Ok, and its text is kept; the
// file dialog is given the path in pick.
struct Window
{
    explicit Window(const QStringList &present = {}, int pollMs = 10)
        : ports(present), window([this] { return ports; }, pollMs)
    {
        QObject::connect(&modals, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                warnings << box->text();
                box->button(QMessageBox::Ok)->click();
            } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                dialog->selectFile(pick);
                static_cast<QDialog *>(dialog)->accept();
            }
        });
        modals.start(5);
    }
    QString state() const
    {
        QString text = open->text() + QLatin1Char(' ');
        for (bool on : { open->isChecked(), open->isEnabled(), refresh->isEnabled(), names->isEnabled(),
                 bauds->isEnabled(), upload->isEnabled(), stop->isEnabled() })
            text += QLatin1Char(on ? '1' : '0');
        return text;
    }

    QStringList ports;
    MainWindow window;
    QPlainTextEdit *console = window.findChild<QPlainTextEdit *>("textBrowser");
    QComboBox *names = window.findChild<QComboBox *>("cb_names");
    QComboBox *bauds = window.findChild<QComboBox *>("cb_bauds");
    QPushButton *refresh = window.findChild<QPushButton *>("bt_refresh");
    QPushButton *open = window.findChild<QPushButton *>("bt_open");
    QLineEdit *file = window.findChild<QLineEdit *>("le_file");
    QPushButton *upload = window.findChild<QPushButton *>("bt_upload");
    QPushButton *stop = window.findChild<QPushButton *>("bt_stopUpdate");
    QProgressBar *progress = window.findChild<QProgressBar *>("progressBar");
    QStringList warnings;
    QString pick;
    QTimer modals;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_firmware = writeFile(m_dir.filePath(QStringLiteral("zImage")), randomBytes(37 * 1024 + 300, 1));

private slots:
    void initTestCase()
    {
        offscreenScreen = QGuiApplication::primaryScreen();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    }
    void init() { LocalSetting::instance()->reset(); }

    void consoleShowsTextAsTerminal_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("shown");

        QTest::newRow("pieces stay on a line") << Steps { "a", ".", ".\n", "ok" } << "a..\nok";
        QTest::newRow("LF and CR LF end lines") << Steps { "one\ntwo\r", "\nthree\n" } << "one\ntwo\nthree\n";
        QTest::newRow("lone CR overwrites") << Steps { "10%\r20%", "\r100%\n" } << "100%\n";
        QTest::newRow("backspace takes back a character") << Steps { "boo\b \bt\n\bx" } << "bot\nx";
        QTest::newRow("other controls show nothing") << Steps { QByteArray("a\a\033b\0c", 6) } << "abc";
        QTest::newRow("split character") << Steps { "gr\xc3", "\xbc\xc3\x9f" } << "gr\u00fc\u00df";
        QTest::newRow("own lines apart")
            << Steps { "[a]", "[b]", "x", "[c]", "y\n" } << "[a]\n[b]\nx\n[c]\ny\n";
        QTest::newRow("LF ends a line cut by an own line") << Steps { "a", "[b]", "\nc\n" } << "a\n[b]\nc\n";
        QTest::newRow("LF after an own line is a line") << Steps { "a\n", "[b]", "\nc" } << "a\n[b]\n\nc";
        QTest::newRow("waiting text shows above an own line") << Steps { "held", "[a]" } << "held\n[a]";
    }

    void consoleShowsTextAsTerminal()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, shown);

        Console console;
        feed(console, steps);
        QTRY_COMPARE(console.toPlainText(), shown);
    }

    // Text shown at once below own lines, in one flood, or a turn at a time: the last lines stay.
    void consoleKeepsLastParagraphs()
    {
        QByteArray lines;
        for (int i = 0; i < Console::MAX_PARAGRAPHS + 150; ++i)
            lines += "line " + QByteArray::number(i) + '\n';
        const int line400 = lines.indexOf("line 400");
        Console console;
        feed(console, { lines.left(line400), "[a]", lines.mid(line400), "[b]", lines, "[c]" });
        QVERIFY(console.toPlainText().endsWith(QLatin1String("line 648\nline 649\n[c]")));
        feed(console, { lines.left(line400) });
        QTRY_VERIFY(console.toPlainText().endsWith(QLatin1String("line 398\nline 399\n")));
        QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
    }

    void consoleSendsKeys()
    {
        Console console;
        QByteArray sent;
        connect(&console, &Console::sigSend, &console, [&](const QByteArray &bytes) { sent += bytes; });
        QTest::keyClicks(&console, QStringLiteral("x"));
        console.setInputEnabled(true);
        QTest::keyClick(&console, Qt::Key_Control);
        for (const auto &[key, text] : { std::pair(Qt::Key_A, "a"), { Qt::Key_Eacute, "\u00e9" },
                 { Qt::Key_Return, "\r" }, { Qt::Key_C, "\x03" } })
            QTest::sendKeyEvent(QTest::Click, &console, key, QString::fromUtf8(text), Qt::NoModifier);
        QCOMPARE(sent, QByteArray("a\xc3\xa9\r\x03"));
        QCOMPARE(console.toPlainText(), QStringLiteral("INPUT:a\nINPUT:\u00e9\nINPUT:^M\nINPUT:^C"));
    }

    void progressTextSays_data()
    {
        QTest::addColumn<TransferProgress>("progress");
        QTest::addColumn<QString>("text");

        QTest::newRow("before the first figures") << TransferProgress { 0, 0, 1000, 0 } << "0 %";
        QTest::newRow("no time measured yet") << TransferProgress { 1, 1024, 100000, 0 } << "1 %";
        QTest::newRow("KiB/s") << TransferProgress { 42, 11469, 25232, 1 } << "42 % · 11.2 KiB/s · 0:02 left";
        QTest::newRow("MiB/s") << TransferProgress { 20, 1 << 21, 81 << 21, 1 }
                               << "20 % · 2.0 MiB/s · 1:20 left";
        QTest::newRow("one hour") << TransferProgress { 1, 100, 36100, 10 } << "1 % · 10 B/s · 1:00:00 left";
    }

    void progressTextSays()
    {
        QFETCH(TransferProgress, progress);
        QFETCH(QString, text);
        QCOMPARE(progressText(progress), text);
    }

    // A port not there; then open, keys typed, a download cancelled, one whose adapter is unplugged, Close.
    void controlsFollowState()
    {
        PtyPair device;
        SKIP_UNLESS_VALID_PTY(device);
        Window u({ "/no/such/port:gone" });
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.warnings.size(), 1);
        QVERIFY2(u.warnings.first().startsWith("There is no serial port"), qPrintable(u.warnings.first()));
        QCOMPARE(u.state(), CLOSED);

        u.ports = QStringList { device.slavePath() + QStringLiteral(":pseudo terminal") };
        QTRY_COMPARE(u.names->currentText(), u.ports.first());
        u.file->setText(m_firmware);
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::keyClicks(u.console, QStringLiteral("ab"));
        QCOMPARE(device.read(2), QByteArray("ab"));

        QTest::mouseClick(u.upload, Qt::LeftButton);
        QCOMPARE(u.state(), TRANSFERRING);
        QTRY_VERIFY(u.console->toPlainText().contains(PREPARE));
        // Keys typed now would break into the packets: the device gets only the cancel.
        QTest::keyClicks(u.console, QStringLiteral("x"));
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QCOMPARE(device.read(5), QByteArray(5, '\x18'));
        QTRY_COMPARE(u.state(), OPEN);
        QVERIFY2(u.progress->text().startsWith(QLatin1String("Failed: ")), qPrintable(u.progress->text()));

        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_COMPARE(u.console->toPlainText().count(PREPARE), 2);
        device.hangUp();
        QTRY_COMPARE(u.state(), FAILED);
        QVERIFY2(u.warnings.last().contains(QLatin1String("lost")), qPrintable(u.warnings.last()));
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), CLOSED);
    }

    // Adapters plugged in and out show while the port is closed; the port chosen stays chosen.
    void portListFollowsAdapters_data()
    {
        QTest::addColumn<bool>("refresh");
        QTest::addColumn<QString>("rate");

        QTest::newRow("looked at by itself") << false << "9600";
        QTest::newRow("Refresh looks at once, default rate") << true << "115200";
    }

    void portListFollowsAdapters()
    {
        QFETCH(bool, refresh);
        QFETCH(QString, rate);

        Window u({ "ttyS0:built-in", "ttyUSB0:FT232R" }, refresh ? 3600 * 1000 : 10);
        u.names->setCurrentIndex(1);
        u.bauds->setCurrentText(QStringLiteral("9600"));
        u.ports = QStringList { "ttyACM0:CDC", "ttyUSB0:FT232R" };
        if (refresh)
            QTest::mouseClick(u.refresh, Qt::LeftButton);
        QTRY_COMPARE(u.names->itemText(0), u.ports.first());
        QCOMPARE(u.names->currentText(), u.ports.last());
        QCOMPARE(u.bauds->currentText(), rate);
    }

    void choicesRestoredInNextWindow_data()
    {
        QTest::addColumn<bool>("byOpening");
        QTest::addColumn<bool>("portStays");
        QTest::addColumn<QString>("rate");

        QTest::newRow("picked, port still there") << false << true << "128000";
        QTest::newRow("picked, port gone") << false << false << "128000";
        QTest::newRow("typed rate, opened") << true << true << "1843200";
    }

    void choicesRestoredInNextWindow()
    {
        QFETCH(bool, byOpening);
        QFETCH(bool, portStays);
        QFETCH(QString, rate);

        PtyPair device;
        SKIP_UNLESS_VALID_PTY(device);
        const QStringList ports = { "ttyS0:built-in", device.slavePath() + ":pseudo terminal" };
        {
            Window u(ports);
            if (byOpening) {
                // Opening makes the port and rate shown the operator's choice.
                u.names->setCurrentIndex(1);
                u.bauds->setCurrentText(rate);
                QTest::mouseClick(u.open, Qt::LeftButton);
                QTRY_COMPARE(u.state(), OPEN);
            } else {
                QTest::keyClick(u.names, Qt::Key_Down);
                QTest::keyClick(u.bauds, Qt::Key_Down);
            }
            QTest::keyClicks(u.file, m_firmware);
        }
        LocalSetting::instance()->load();
        Window next(portStays ? ports : QStringList(ports.first()));
        QCOMPARE(next.names->currentText(), portStays ? ports.last() : ports.first());
        QCOMPARE(next.bauds->currentText(), rate);
        QCOMPARE(next.file->text(), m_firmware);
    }

    void dropChoosesFile_data()
    {
        QTest::addColumn<QUrl>("dropped");
        QTest::addColumn<bool>("taken");

        QTest::newRow("file") << QUrl::fromLocalFile(m_firmware) << true;
        QTest::newRow("folder") << QUrl::fromLocalFile(m_dir.path()) << false;
    }

    // Dropped anywhere, the file field too, a local file becomes the file to flash.
    void dropChoosesFile()
    {
        QFETCH(QUrl, dropped);
        QFETCH(bool, taken);

        Window u;
        QMimeData mime;
        mime.setUrls({ dropped });
        QDragEnterEvent enter({}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(u.file, &enter);
        QCOMPARE(enter.isAccepted(), taken);
        QDropEvent drop({}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(u.file, &drop);
        QCOMPARE(u.file->text(), taken ? m_firmware : QString());
    }

    // A whole download into rb, the file chosen in the file dialog; KELPO_SCREENSHOT names a picture to take
    // of the window at its end.
    void operatorDownloads()
    {
        SKIP_UNLESS_INSTALLED("rb", "socat");
        RbReceiver rb;
        QVERIFY2(rb.start(), qPrintable(rb.errorString()));
        Window u({ rb.portPath() });
        u.window.show();
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QCOMPARE(u.warnings, QStringList { "Please choose to upgrade firmware" });

        u.pick = m_firmware;
        u.file->actions().first()->trigger();
        QStringList texts;
        connect(u.progress, &QProgressBar::valueChanged, u.progress, [&] { texts << u.progress->text(); });
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_VERIFY(u.console->toPlainText().contains(PREPARE));
        rb.release();
        QTRY_VERIFY2_WITH_TIMEOUT(!u.stop->isEnabled(), rb.diagnostics().constData(), 30000);
        QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());
        QCOMPARE(readFile(QDir(rb.receiveDir()).filePath(QStringLiteral("zImage"))), readFile(m_firmware));
        QCOMPARE(u.progress->value(), 100);
        QCOMPARE(u.progress->text(), QStringLiteral("Done"));
        QVERIFY2(texts.filter(QStringLiteral(" left")).size() > 0, qPrintable(texts.join('|')));
        const QString screenshot = qEnvironmentVariable("KELPO_SCREENSHOT");
        if (!screenshot.isEmpty())
            QVERIFY(u.window.grab().save(screenshot));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
