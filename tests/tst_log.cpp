#include "log.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const char *const stampPattern = R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)";

// What the calls in TestLog::thresholds leave in the file, grouped by the threshold that lets them through.
const QStringList errorPieces { "[ERROR] error-line" };
const QStringList infoPieces { "[INFOR] info-line", "  info-prefix info-text" };
const QStringList debugPieces { "[DEBUG] debug-line", "[DEBUG] hex: \n01 ",
    "[DEBUG] debug-prefix debug-text" };
const QStringList neverPieces { "level-zero", "level-four", "source-zero", "source-four" };

// Points file descriptor 2 at a file while it lives, so the copies the logger writes there can be read.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path) : m_saved(dup(STDERR_FILENO))
    {
        const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture()
    {
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("cannot read " + path.toUtf8());
}

// The one log file in the working directory; an explanation instead when there is not exactly one.
QByteArray logText()
{
    const QStringList files = QDir("log").entryList(QDir::Files);
    if (files.size() != 1)
        return "expected one log file, found: " + files.join(", ").toUtf8();
    return readFile("log/" + files.first());
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void thresholds_data();
    void thresholds();
    void levelZeroMakesNothing();
    void lineShape();
    void fileName_data();
    void fileName();
    void secondInitKeepsFirstFile();
    void hexLayout_data();
    void hexLayout();
    void hexDumpIsCut();
    void hexStaysInsideSmallBuffers();
    void longMessageIsCut_data();
    void longMessageIsCut();
    void manyThreadsLoseNothing();
    void errorText_data();
    void errorText();
    void debugOutputIsCut();

private:
    QByteArray capturedStderr() const { return readFile(m_dir->filePath("stderr.txt")); }

    QString m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<StderrCapture> m_stderr;
};

void TestLog::initTestCase()
{
    // A zone far from UTC shows whether the stamps really are local time.
    qputenv("TZ", "KLP-05:30");
    tzset();
    m_home = QDir::currentPath();
}

void TestLog::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    // Every line is copied to standard error; keep those copies out of the test report.
    m_stderr = std::make_unique<StderrCapture>(m_dir->filePath("stderr.txt"));
}

void TestLog::cleanup()
{
    m_stderr.reset();
    QDir::setCurrent(m_home);
    m_dir.reset();
}

void TestLog::thresholds_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("1") << 1 << errorPieces;
    QTest::newRow("2") << 2 << errorPieces + infoPieces;
    QTest::newRow("3") << 3 << errorPieces + infoPieces + debugPieces;
}

void TestLog::thresholds()
{
    QFETCH(int, threshold);
    QFETCH(QStringList, expected);
    {
        Log log;
        log.init(threshold, "levels");
        log.print(1, "error-line");
        log.print(2, "info-line");
        log.print(3, "debug-line");
        log.print(0, "level-zero");
        log.print(4, "level-four");
        log.printWithSource(0, "a.cpp", "f", 1, "source-zero");
        log.printWithSource(4, "a.cpp", "f", 1, "source-four");
        log.printHex("hex:", "\x01", 1);
        log.debug("debug-prefix ", "debug-text");
        log.info("info-prefix ", "info-text");
    }
    const QByteArray text = logText();
    QStringList found;
    for (const QString &piece : errorPieces + infoPieces + debugPieces + neverPieces) {
        if (text.contains(piece.toUtf8()))
            found << piece;
    }
    QCOMPARE(found, expected);
}

void TestLog::levelZeroMakesNothing()
{
    {
        Log log;
        log.init(0, "off");
        log.print(1, "never");
        log.printHex("hex:", "ab", 2);
    }
    QCOMPARE(
        QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList { "stderr.txt" });
    QCOMPARE(capturedStderr(), QByteArray());
}

void TestLog::lineShape()
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    {
        Log log;
        log.init(1, "shape");
        log.print(1, "value %d and %s", 42, "text");
        // Per-cent signs in the location are not conversions.
        log.printWithSource(1, "src/dir%s/file.cpp", "slotRun%n", 180, "%s", "located");
    }
    const QDateTime after = QDateTime::currentDateTime();
    const QStringList lines = QString::fromUtf8(logText()).split('\n');
    QCOMPARE(lines.size(), 3);
    const QRegularExpression first(QString("^(%1) \\[ERROR\\] value 42 and text$").arg(stampPattern));
    const QRegularExpressionMatch match = first.match(lines[0]);
    QVERIFY2(match.hasMatch(), qPrintable(lines[0]));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy/MM/dd HH:mm:ss");
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(match.captured(1)));
    const QRegularExpression second(
        QString("^%1 \\[ERROR\\] %2$")
            .arg(stampPattern, QRegularExpression::escape("src/dir%s/file.cpp:180:slotRun%n() located")));
    QVERIFY2(second.match(lines[1]).hasMatch(), qPrintable(lines[1]));
    QCOMPARE(lines[2], QString());
}

void TestLog::fileName_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("start");
    QTest::newRow("label") << "board"
                           << "log_board_";
    QTest::newRow("empty label") << ""
                                 << "log__";
}

void TestLog::fileName()
{
    QFETCH(QString, label);
    QFETCH(QString, start);
    const QString home = QDir::currentPath();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    Log log;
    log.init(1, label.toUtf8().constData());
    const QDateTime after = QDateTime::currentDateTime();
    QCOMPARE(QDir::currentPath(), home);
    const QStringList files = QDir("log").entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(files[0].startsWith(start), qPrintable(files[0]));
    const QDateTime stamp = QDateTime::fromString(files[0].mid(start.size()), "yyyy-MM-dd HH-mm-ss'.log'");
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(files[0]));
}

void TestLog::secondInitKeepsFirstFile()
{
    {
        Log log;
        log.init(3, "first");
        log.init(2, "second");
        log.print(3, "hidden");
        log.print(2, "shown");
        log.init(0, "third");
        log.print(1, "silenced");
    }
    const QStringList files = QDir("log").entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(files[0].startsWith("log_first_"));
    const QByteArray text = logText();
    QVERIFY(text.contains("[INFOR] shown"));
    QVERIFY(!text.contains("hidden"));
    QVERIFY(!text.contains("silenced"));
}

void TestLog::hexLayout_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    QByteArray count(25, '\0');
    for (int i = 0; i < count.size(); ++i)
        count[i] = char(i);
    QTest::newRow("0 bytes") << QByteArray() << QByteArray(" [DEBUG] dump: \n\n");
    QTest::newRow("3 bytes") << QByteArray("\x01\x02\xAB") << QByteArray(" [DEBUG] dump: \n01 02 AB \n\n");
    QTest::newRow("25 bytes")
        << count
        << QByteArray(" [DEBUG] dump: \n"
                      "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 \n"
                      "18 \n\n");
}

void TestLog::hexLayout()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    {
        Log log;
        log.init(3, "hex");
        log.printHex("dump:", data.constData(), data.size());
    }
    const QByteArray text = logText();
    QVERIFY2(QRegularExpression(QString("^%1$").arg(stampPattern)).match(text.left(19)).hasMatch(),
        text.constData());
    QCOMPARE(text.mid(19), expected);
}

void TestLog::hexDumpIsCut()
{
    const std::vector<unsigned char> data(10000, 0x5A);
    std::vector<char> hex(Log::LineBufferSize);
    formatHex(hex.data(), hex.size(), data.data(), data.size());
    const QByteArray text(hex.data());
    QCOMPARE(text.count("5A "), 6732);
    QCOMPARE(text.size(), 20478);
    QVERIFY(text.endsWith(" \n"));
    {
        Log log;
        log.init(3, "cut");
        log.printHex("dump:", data.data(), data.size());
    }
    const QByteArray line = logText();
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.size() - 1, 20478);
    QVERIFY(line.count("5A ") < 6732);
}

void TestLog::hexStaysInsideSmallBuffers()
{
    const std::vector<unsigned char> data(100, 0xC3);
    std::vector<char> whole(Log::LineBufferSize);
    formatHex(whole.data(), whole.size(), data.data(), data.size());
    for (unsigned size = 0; size < 90; ++size) {
        // Exactly sized heap blocks let the address sanitizer see a single byte too many.
        std::unique_ptr<char[]> buf(new char[size]);
        formatHex(buf.get(), size, data.data(), data.size());
        if (size < 2)
            continue;
        const char *end = static_cast<const char *>(std::memchr(buf.get(), '\0', size));
        QVERIFY2(end, qPrintable(QString::number(size)));
        const QByteArray text(buf.get(), end - buf.get());
        QVERIFY(text.endsWith('\n'));
        QVERIFY(QByteArray(whole.data()).startsWith(text.chopped(1)));
        QVERIFY(size < 6 || text.contains("C3 "));
    }
}

void TestLog::longMessageIsCut_data()
{
    QTest::addColumn<int>("entry");
    QTest::newRow("print") << 0;
    QTest::newRow("printWithSource") << 1;
    QTest::newRow("debug") << 2;
    QTest::newRow("info") << 3;
}

void TestLog::longMessageIsCut()
{
    QFETCH(int, entry);
    const std::string message(30000, 'x');
    {
        Log log;
        log.init(3, "long");
        if (entry == 0)
            log.print(2, "%s", message.c_str());
        else if (entry == 1)
            log.printWithSource(2, __FILE__, __func__, __LINE__, "%s", message.c_str());
        else if (entry == 2)
            log.debug("prefix ", "%s", message.c_str());
        else
            log.info("prefix ", "%s", message.c_str());
    }
    const QByteArray text = logText();
    QVERIFY(text.endsWith("xxx\n"));
    QCOMPARE(text.indexOf('\n'), 20478);
    QCOMPARE(text.size(), 20479);
}

void TestLog::manyThreadsLoseNothing()
{
    enum { Threads = 4, Lines = 2500 };
    {
        Log log;
        log.init(2, "threads");
        std::vector<std::thread> writers;
        for (int t = 0; t < Threads; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < Lines; ++i)
                    log.print(2, "thread %d line %d %s", t, i, std::string(100 + i % 50, 'a' + t).c_str());
            });
        }
        for (std::thread &writer : writers)
            writer.join();
        // The logger goes straight after the last line is queued: it must still write them all.
    }
    const QRegularExpression shape(
        QString("^%1 \\[INFOR\\] thread (\\d) line (\\d+) ([a-d]+)$").arg(stampPattern));
    int next[Threads] = {};
    const QList<QByteArray> lines = logText().split('\n');
    QCOMPARE(lines.size(), Threads * Lines + 1);
    for (int n = 0; n < Threads * Lines; ++n) {
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(lines[n]));
        QVERIFY2(match.hasMatch(), lines[n].constData());
        const int t = match.captured(1).toInt();
        const int i = match.captured(2).toInt();
        QCOMPARE(i, next[t]++);
        QCOMPARE(match.captured(3), QString(100 + i % 50, QChar('a' + t)));
    }
    QCOMPARE(capturedStderr().count('\n'), Threads * Lines);
}

void TestLog::errorText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("lastError");
    QTest::addColumn<int>("expectedCode");
    QTest::newRow("given code") << QByteArray("open") << ENOENT << 0 << ENOENT;
    QTest::newRow("long text") << QByteArray(5000, 'z') << EACCES << 0 << EACCES;
    QTest::newRow("last error") << QByteArray("write") << -1 << EPIPE << EPIPE;
    QTest::newRow("unknown code") << QByteArray("odd") << 123456 << 0 << 123456;
}

void TestLog::errorText()
{
    QFETCH(QByteArray, text);
    QFETCH(int, code);
    QFETCH(int, lastError);
    QFETCH(int, expectedCode);
    const QByteArray expected = text + "(errno=" + QByteArray::number(expectedCode) + "),"
        + QByteArray(std::strerror(expectedCode)) + "\n";
    errno = lastError;
    QCOMPARE(QByteArray::fromStdString(::errorText(text.constData(), code)), expected);
}

void TestLog::debugOutputIsCut()
{
    debugOutput("n=%d;", 5);
    debugOutput("%s", std::string(2000, 'y').c_str());
    QCOMPARE(capturedStderr(), "n=5;" + QByteArray(1023, 'y'));
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
