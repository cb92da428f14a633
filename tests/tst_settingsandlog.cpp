#include "localsetting.h"
#include "log.h"
#include "testdata.h"
#include "transfersettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString configFolder()
{
    return QCoreApplication::applicationDirPath() + "/config";
}
const QStringList ErrorLines { "[ERROR] error-line", "[ERROR] dir%s/a.cpp:7:f() 42\n" };
const QStringList InfoLines { "[INFOR] info-line", "  info-prefix info-text" };
const QStringList DebugLines { "[DEBUG] debug-line", "[DEBUG] debug-prefix debug-text",
    "[DEBUG] hex: \n01 \n" };

QVector<int> values(const TransferOptions &o)
{
    return { o.protocol, o.packets, o.replyTimeoutMs, o.firstReplyTimeoutMs, o.startTimeoutMs, o.retries };
}

} // namespace

class TestSettingsAndLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void logLevels_data();
    void logLevels();
    void manyThreadsLoseNothing();
    void settingsSurviveARestart();
    void transferSetting_data();
    void transferSetting();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSettingsAndLog::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    QVERIFY(QDir(configFolder()).removeRecursively());
}

void TestSettingsAndLog::logLevels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("0 logs nothing") << 0 << QStringList();
    QTest::newRow("1 errors") << 1 << ErrorLines;
    QTest::newRow("2 information") << 2 << ErrorLines + InfoLines;
    QTest::newRow("3 debugging") << 3 << ErrorLines + InfoLines + DebugLines;
}

void TestSettingsAndLog::logLevels()
{
    QFETCH(int, level);
    QFETCH(QStringList, expected);
    {
        Log log;
        log.init(level, "levels");
        log.print(1, "error-line");
        // Per-cent signs in the location are not conversions.
        log.printWithSource(1, "dir%s/a.cpp", "f", 7, "%d", 42);
        log.print(2, "info-line");
        log.info("info-prefix ", "info-text");
        log.print(3, "debug-line");
        log.debug("debug-prefix ", "debug-text");
        log.printHex("hex:", "\x01", 1);
        log.print(4, "never");
    }
    QCOMPARE(QDir("log").exists(), level > 0);
    const QString text = logText(m_dir->path());
    QStringList found;
    for (const QString &line : ErrorLines + InfoLines + DebugLines + QStringList("never")) {
        if (text.contains(line))
            found << line;
    }
    QCOMPARE(found, expected);
}

// The logger goes straight after the last line is queued: it must still write them all, in order.
void TestSettingsAndLog::manyThreadsLoseNothing()
{
    enum { Threads = 4, Lines = 2000 };
    {
        Log log;
        log.init(2, "threads");
        std::vector<std::thread> writers;
        for (int t = 0; t < Threads; ++t)
            writers.emplace_back([&log, t] {
                for (int i = 0; i < Lines; ++i)
                    log.print(2, "thread %d line %d", t, i);
            });
        for (std::thread &writer : writers)
            writer.join();
    }
    int next[Threads] = {};
    const QRegularExpression shape(" \\[INFOR\\] thread (\\d) line (\\d+)$");
    const QStringList lines = logText(m_dir->path()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), Threads * Lines);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch() && match.captured(2).toInt() == next[match.captured(1).toInt()]++,
            qPrintable(line));
    }
}

// A first start writes the defaults the transfer uses; the user's settings and the window's choices come
// back on the next start from any working directory; a reset forgets them.
void TestSettingsAndLog::settingsSurviveARestart()
{
    {
        LocalSetting first;
        QVERIFY(readFile(configFolder() + "/config.ini").contains("[TRANSFER]\n"));
        QCOMPARE(values(TransferSettings::fromSettings(first)), values(TransferOptions()));
        first.setWindowPort("ttyUSB0");
        first.setWindowBaud(230400);
        first.save();
    }
    QSettings ini(configFolder() + "/config.ini", QSettings::IniFormat);
    ini.setValue("LOG/log_level", 2);
    ini.setValue("TRANSFER/protocol", "xmodem");
    ini.setValue("TRANSFER/retries", "5000");
    ini.sync();
    LocalSetting next;
    QCOMPARE(QVector<int>({ next.getLogLevel(), next.getWindowBaud() }), QVector<int>({ 2, 230400 }));
    QCOMPARE(values(TransferSettings::fromSettings(next)),
        QVector<int>({ TransferOptions::XModem, 0, 10000, 60000, 0, 10 }));
    QCOMPARE(next.getWindowPort(), QString("ttyUSB0"));
    QVERIFY(QDir(m_dir->path()).isEmpty());
    next.reset();
    const LocalSetting afterReset;
    QCOMPARE(afterReset.getWindowPort() + QString::number(afterReset.getWindowBaud()), QString("0"));
}

void TestSettingsAndLog::transferSetting_data()
{
    QTest::addColumn<int>("setting");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("value");
    using S = TransferSettings;
    QTest::newRow("protocol") << int(S::Protocol) << " XMODEM-1k " << true << int(TransferOptions::XModem1K);
    QTest::newRow("unknown protocol")
        << int(S::Protocol) << "zmodem" << false << int(TransferOptions::YModem);
    QTest::newRow("packets") << int(S::Packets) << "1K" << true << int(TransferOptions::OneK);
    QTest::newRow("unknown packets") << int(S::Packets) << "2k" << false << int(TransferOptions::Mixed);
    QTest::newRow("reply time-out") << int(S::ReplyTimeout) << "2.5" << true << 2500;
    QTest::newRow("reply time-out 0") << int(S::ReplyTimeout) << "0" << false << 10000;
    QTest::newRow("first reply time-out") << int(S::FirstReplyTimeout) << "3600" << true << 3600000;
    QTest::newRow("first reply time-out too long") << int(S::FirstReplyTimeout) << "3601" << false << 60000;
    QTest::newRow("start time-out") << int(S::StartTimeout) << "86400" << true << 86400000;
    QTest::newRow("negative start time-out") << int(S::StartTimeout) << "-1" << false << 0;
    QTest::newRow("retries") << int(S::Retries) << "100" << true << 100;
    QTest::newRow("too many retries") << int(S::Retries) << "101" << false << 10;
    QTest::newRow("part of a retry") << int(S::Retries) << "2.5" << false << 10;
    QTest::newRow("endless retries") << int(S::Retries) << "inf" << false << 10;
}

// One reading for config.ini and kelpo-send's command line; what is not accepted leaves the default.
void TestSettingsAndLog::transferSetting()
{
    QFETCH(int, setting);
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(int, value);
    TransferOptions o;
    QCOMPARE(TransferSettings::apply(TransferSettings::Setting(setting), text, &o), accepted);
    const int values[]
        = { o.protocol, o.packets, o.replyTimeoutMs, o.firstReplyTimeoutMs, o.startTimeoutMs, o.retries };
    QCOMPARE(values[setting], value);
}

QTEST_GUILESS_MAIN(TestSettingsAndLog)
#include "tst_settingsandlog.moc"
