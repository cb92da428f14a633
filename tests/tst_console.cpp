#include "console.h"

#include <QSignalSpy>
#include <QTextCodec>
#include <QtTest>

namespace {

// What the console is fed: the program's own lines start with '[', the rest is what the device printed.
using Steps = QByteArrayList;

void feed(Console &console, const Steps &steps)
{
    for (const QByteArray &step : steps) {
        if (step.startsWith('['))
            console.appendOwnLine(QString::fromUtf8(step));
        else
            console.appendDeviceBytes(step);
    }
}

// A key event as the platform delivers it.
struct Key
{
    Qt::Key key;
    QString text;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
    QEvent::Type type = QEvent::KeyPress;
};
using Keys = QList<Key>;

// Qt's offscreen platform never deletes its screen; held here, it is not reported as a leak at exit.
QScreen *volatile offscreenScreen = nullptr;

} // namespace
Q_DECLARE_METATYPE(Keys)

class TestConsole : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        offscreenScreen = QGuiApplication::primaryScreen();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    }

    void showsTextAsTerminal_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("shown");

        QTest::newRow("pieces stay on one line")
            << Steps { "Erasing", ".", ". done\n", "ok" } << "Erasing.. done\nok";
        QTest::newRow("LF and CR LF end lines") << Steps { "one\ntwo\r", "\nthree\n" } << "one\ntwo\nthree\n";
        QTest::newRow("lone CR overwrites")
            << Steps { "Erasing 10%\rErasing 20%", "\rErasing 100%\n" } << "Erasing 100%\n";
        QTest::newRow("backspace takes back a character") << Steps { "boo\b \bt\n\bx" } << "bot\nx";
        QTest::newRow("other controls show nothing") << Steps { QByteArray("a\a\033b\0c", 6) } << "abc";
        QTest::newRow("character split between reads")
            << Steps { "gr\xc3", "\xbc\xc3\x9f" } << "gr\u00fc\u00df";
        QTest::newRow("markup shows as text") << Steps { "<b>x</b> &amp;" } << "<b>x</b> &amp;";
        QTest::newRow("own lines stand alone")
            << Steps { "[info]a", "[info]b", "boot", "[c]", "ed\n" } << "[info]a\n[info]b\nboot\n[c]\ned\n";
        QTest::newRow("LF after an own line ends the cut line")
            << Steps { "Erasing", "[a]", "\nok\n" } << "Erasing\n[a]\nok\n";
        QTest::newRow("LF after an own line below a whole line")
            << Steps { "Erasing\n", "[a]", "\nok" } << "Erasing\n[a]\n\nok";
        QTest::newRow("waiting text shows above an own line") << Steps { "held", "[a]" } << "held\n[a]";
    }

    void showsTextAsTerminal()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, shown);

        Console console;
        feed(console, steps);
        QTRY_COMPARE(console.toPlainText(), shown);
    }

    void keepsLastParagraphs_data()
    {
        QTest::addColumn<Steps>("steps");

        Steps ownLines;
        Steps batches { QByteArray() };
        for (int i = 0; i < Console::MAX_PARAGRAPHS + 150; ++i) {
            ownLines << "[line " + QByteArray::number(i);
            batches.last() += "line " + QByteArray::number(i) + '\n';
            if (i % 10 == 9)
                batches << QByteArray();
        }
        QTest::newRow("own lines") << ownLines;
        QTest::newRow("device lines in batches") << batches;
        QTest::newRow("device lines in one flood") << Steps { batches.join() };
    }

    void keepsLastParagraphs()
    {
        QFETCH(Steps, steps);

        Console console;
        feed(console, steps);
        QTRY_VERIFY(console.toPlainText().contains(QLatin1String("line 649")));
        const QStringList lines
            = console.toPlainText().remove(QLatin1Char('[')).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(console.document()->blockCount(), Console::MAX_PARAGRAPHS);
        QCOMPARE(lines.mid(lines.size() - 2), QStringList({ "line 648", "line 649" }));
    }

    void keysSendTheirText_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<Keys>("keys");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("echo");

        // The key's release says its text too, but only the press sends it.
        QTest::newRow("letter") << true
                                << Keys { { Qt::Key_A, "a" }, { Qt::Key_A, "a", {}, QEvent::KeyRelease } }
                                << QByteArray("a") << "INPUT:a";
        QTest::newRow("modifier alone") << true << Keys { { Qt::Key_Control, "" } } << QByteArray() << "";
        QTest::newRow("accented letter")
            << true << Keys { { Qt::Key_Eacute, "\u00e9" } } << QByteArray("\xc3\xa9") << "INPUT:\u00e9";
        QTest::newRow("enter and control keys")
            << true << Keys { { Qt::Key_Return, "\r" }, { Qt::Key_C, "\x03", Qt::ControlModifier } }
            << QByteArray("\r\x03") << "INPUT:^M\nINPUT:^C";
        QTest::newRow("input off") << false << Keys { { Qt::Key_A, "a" } } << QByteArray() << "";
    }

    void keysSendTheirText()
    {
        QFETCH(bool, enabled);
        QFETCH(Keys, keys);
        QFETCH(QByteArray, sent);
        QFETCH(QString, echo);

        Console console;
        console.setInputEnabled(enabled);
        QSignalSpy spy(&console, &Console::sigSend);
        for (const Key &key : keys) {
            QKeyEvent event(key.type, key.key, key.modifiers, key.text);
            QCoreApplication::sendEvent(&console, &event);
        }
        QByteArray bytes;
        for (const QList<QVariant> &signal : spy)
            bytes += signal.first().toByteArray();
        QCOMPARE(bytes, sent);
        QCOMPARE(console.toPlainText(), echo);
    }
};

QTEST_MAIN(TestConsole)
#include "tst_console.moc"
