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
#include <memory>

namespace {

const QString PREPARE = QStringLiteral("[info]Prepare to establish a connection.");
// The controls as state() tells them: the Open button's text, then 1 where it is checked, it is enabled, and
// where Refresh, the port list, the rates, Download and Cancel are enabled.
const QString CLOSED = QStringLiteral("Open 0111100");
const QString OPEN = QStringLiteral("Close 1100010");
const QString TRANSFERRING = QStringLiteral("Close 1000001");
const QString FAILED = QStringLiteral("Close 1100000");

// What a console is fed: the program's own lines start with '[', the rest is what the device printed.
void feed(Console &console, const QByteArrayList &steps)
{
    for (const QByteArray &step : steps) {
        if (step.startsWith('['))
            console.appendOwnLine(QString::fromUtf8(step));
        else
            console.appendDeviceBytes(step);
    }
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
    template<typename T> T *find(const char *name) { return window.findChild<T *>(QLatin1String(name)); }
    QString state() const
    {
        QString text = open->text() + QLatin1Char(' ');
        for (bool on : { open->isChecked(), open->isEnabled(), refresh->isEnabled(), names->isEnabled(),
                 bauds->isEnabled(), upload->isEnabled(), stop->isEnabled() })
            text += QLatin1Char(on ? '1' : '0');
        return text;
    }
    QStringList lines() const { return console->toPlainText().split(QLatin1Char('\n')); }

    QStringList ports;
    MainWindow window;
    QPlainTextEdit *console = find<QPlainTextEdit>("textBrowser");
    QComboBox *names = find<QComboBox>("cb_names");
    QComboBox *bauds = find<QComboBox>("cb_bauds");
    QPushButton *refresh = find<QPushButton>("bt_refresh");
    QPushButton *open = find<QPushButton>("bt_open");
    QLineEdit *file = find<QLineEdit>("le_file");
    QPushButton *upload = find<QPushButton>("bt_upload");
    QPushButton *stop = find<QPushButton>("bt_stopUpdate");
    QProgressBar *progress = find<QProgressBar>("progressBar");
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
    // Each test starts as the first start: nothing remembered.
    void init() { LocalSetting::instance()->reset(); }

    void consoleShowsTextAsTerminal_data()
    {
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QString>("shown");

        QTest::newRow("pieces stay on one line")
            << QByteArrayList { "Erasing", ".", ". done\n", "ok" } << "Erasing.. done\nok";
        QTest::newRow("LF and CR LF end lines")
            << QByteArrayList { "one\ntwo\r", "\nthree\n" } << "one\ntwo\nthree\n";
        QTest::newRow("lone CR overwrites")
            << QByteArrayList { "Erasing 10%\rErasing 20%", "\rErasing 100%\n" } << "Erasing 100%\n";
        QTest::newRow("backspace takes back a character") << QByteArrayList { "boo\b \bt\n\bx" } << "bot\nx";
        QTest::newRow("other controls show nothing")
            << QByteArrayList { QByteArray("a\a\033b\0c", 6) } << "abc";
        QTest::newRow("character split between reads")
            << QByteArrayList { "gr\xc3", "\xbc\xc3\x9f" } << "gr\u00fc\u00df";
        QTest::newRow("markup shows as text") << QByteArrayList { "<b>x</b> &amp;" } << "<b>x</b> &amp;";
        QTest::newRow("own lines stand alone")
            << QByteArrayList { "[a]", "[b]", "boot", "[c]", "ed\n" } << "[a]\n[b]\nboot\n[c]\ned\n";
        QTest::newRow("LF after an own line ends the cut line")
            << QByteArrayList { "Erasing", "[a]", "\nok\n" } << "Erasing\n[a]\nok\n";
        QTest::newRow("LF after an own line below a whole line")
            << QByteArrayList { "Erasing\n", "[a]", "\nok" } << "Erasing\n[a]\n\nok";
        QTest::newRow("waiting text shows above an own line")
            << QByteArrayList { "held", "[a]" } << "held\n[a]";
    }

    void consoleShowsTextAsTerminal()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QString, shown);

        Console console;
        feed(console, steps);
        QTRY_COMPARE(console.toPlainText(), shown);
    }

    // Device text shown a turn at a time, in one flood, and below own lines: the last lines stay.
    void consoleKeepsLastParagraphs()
    {
        QByteArray lines;
        for (int i = 0; i < Console::MAX_PARAGRAPHS + 150; ++i)
            lines += "line " + QByteArray::number(i) + '\n';
        Console console;
        feed(console, { lines.left(lines.indexOf("line 400")), "[a]" });
        feed(console, { lines.mid(lines.indexOf("line 400")), "[b]" });
        feed(console, { lines });
        QTRY_VERIFY(console.toPlainText().endsWith(QLatin1String("line 649\n")));
        QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
        feed(console, { "[c]" });
        QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
        QVERIFY(console.toPlainText().endsWith(QLatin1String("line 648\nline 649\n[c]")));
    }

    void consoleSendsKeys()
    {
        Console console;
        QSignalSpy sent(&console, &Console::sigSend);
        QTest::keyClicks(&console, QStringLiteral("x"));
        console.setInputEnabled(true);
        QTest::keyClick(&console, Qt::Key_Control);
        for (const auto &[key, text] : { std::pair(Qt::Key_A, "a"), { Qt::Key_Eacute, "\u00e9" },
                 { Qt::Key_Return, "\r" }, { Qt::Key_C, "\x03" } })
            QTest::sendKeyEvent(QTest::Click, &console, key, QString::fromUtf8(text), Qt::NoModifier);
        QByteArray bytes;
        for (const QList<QVariant> &signal : sent)
            bytes += signal.first().toByteArray();
        QCOMPARE(bytes, QByteArray("a\xc3\xa9\r\x03"));
        QCOMPARE(console.toPlainText(), QStringLiteral("INPUT:a\nINPUT:\u00e9\nINPUT:^M\nINPUT:^C"));
    }

    void progressTextSays_data()
    {
        QTest::addColumn<TransferProgress>("progress");
        QTest::addColumn<QString>("text");

        QTest::newRow("before the first figures") << TransferProgress { 0, 0, 1000, 0 } << "0 %";
        QTest::newRow("no time measured yet") << TransferProgress { 1, 1024, 100000, 0 } << "1 %";
        QTest::newRow("KiB/s, a part of a second rounds up")
            << TransferProgress { 42, 114688, 309648, 10 } << "42 % \u00b7 11.2 KiB/s \u00b7 0:17 left";
        QTest::newRow("B/s") << TransferProgress { 99, 9990, 10000, 10 }
                             << "99 % \u00b7 999 B/s \u00b7 0:01 left";
        QTest::newRow("MiB/s, minutes")
            << TransferProgress { 20, 4194304, 4194304 * 81, 2 } << "20 % \u00b7 2.0 MiB/s \u00b7 2:40 left";
        QTest::newRow("one hour") << TransferProgress { 1, 100, 36100, 10 }
                                  << "1 % \u00b7 10 B/s \u00b7 1:00:00 left";
    }

    void progressTextSays()
    {
        QFETCH(TransferProgress, progress);
        QFETCH(QString, text);
        QCOMPARE(progressText(progress), text);
    }

    // Open, keys typed, a download cancelled, one whose adapter is unplugged, and Close.
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
        QTRY_VERIFY(u.lines().contains(PREPARE));
        // Keys typed now would break into the packets: the device gets only the cancel.
        QTest::keyClicks(u.console, QStringLiteral("x"));
        QTest::mouseClick(u.stop, Qt::LeftButton);
        QCOMPARE(device.read(5), QByteArray(5, '\x18'));
        QTRY_COMPARE(u.state(), OPEN);
        QVERIFY2(u.progress->text().startsWith(QLatin1String("Failed: ")), qPrintable(u.progress->text()));

        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_COMPARE(u.lines().count(PREPARE), 2);
        QVERIFY(device.write("C"));
        QCOMPARE(device.read(133).size(), 133);
        device.hangUp();
        QTRY_COMPARE(u.state(), FAILED);
        QCOMPARE(u.warnings.size(), 2);
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
        const QStringList ports
            = { "ttyS0:built-in", device.slavePath() + QStringLiteral(":pseudo terminal") };
        {
            Window u(ports);
            if (byOpening) {
                // Opening makes the port and rate shown the operator's choice.
                u.names->setCurrentIndex(1);
                u.bauds->setCurrentText(rate);
                QTest::mouseClick(u.open, Qt::LeftButton);
                QTRY_COMPARE(u.state(), OPEN);
                QTest::mouseClick(u.open, Qt::LeftButton);
                QTRY_COMPARE(u.state(), CLOSED);
            } else {
                QTest::keyClick(u.names, Qt::Key_Down);
                QTest::keyClick(u.bauds, Qt::Key_Down);
            }
            QTest::keyClicks(u.file, m_firmware);
        }
        LocalSetting::instance()->setWindowFile(QString());
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
        QTest::newRow("web address") << QUrl("https://example.com/fw.bin") << false;
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
        QVERIFY(QTest::qWaitForWindowExposed(&u.window));
        QTest::mouseClick(u.open, Qt::LeftButton);
        QTRY_COMPARE(u.state(), OPEN);
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QCOMPARE(u.warnings, QStringList { "Please choose to upgrade firmware" });

        u.pick = m_firmware;
        u.file->actions().first()->trigger();
        QCOMPARE(u.file->text(), m_firmware);
        QStringList texts;
        connect(u.progress, &QProgressBar::valueChanged, u.progress, [&] { texts << u.progress->text(); });
        QTest::mouseClick(u.upload, Qt::LeftButton);
        QTRY_VERIFY(u.lines().contains(PREPARE));
        rb.release();
        QTRY_VERIFY2_WITH_TIMEOUT(!u.stop->isEnabled(), rb.diagnostics().constData(), 30000);
        QVERIFY2(rb.waitForFinished(), rb.diagnostics().constData());
        QCOMPARE(readFile(QDir(rb.receiveDir()).filePath(QStringLiteral("zImage"))), readFile(m_firmware));
        QCOMPARE(u.lines().last(), QStringLiteral("[info]Update process completed."));
        QCOMPARE(u.progress->value(), 100);
        QCOMPARE(u.progress->text(), QStringLiteral("Done"));
        QVERIFY2(texts.filter(QStringLiteral(" left")).size() > 0, qPrintable(texts.join('|')));
        const QString screenshot = qEnvironmentVariable("KELPO_SCREENSHOT");
        if (!screenshot.isEmpty())
            QVERIFY(u.window.grab().save(screenshot));
    }

    // Closing the window mid-download cancels it and lets the port go.
    void closingDuringDownload()
    {
        PtyPair device;
        SKIP_UNLESS_VALID_PTY(device);
        auto u = std::make_unique<Window>(QStringList { device.slavePath() });
        u->file->setText(m_firmware);
        QTest::mouseClick(u->open, Qt::LeftButton);
        QTRY_COMPARE(u->state(), OPEN);
        QTest::mouseClick(u->upload, Qt::LeftButton);
        QTRY_VERIFY(u->lines().contains(PREPARE));
        u.reset();
        QCOMPARE(device.read(5), QByteArray(5, '\x18'));
        QTRY_VERIFY(device.isSlaveClosed());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
