#include "localsetting.h"
#include "log.h"
#include "testdata.h"
#include "transfersettings.h"

#include <QtTest>
#include <numeric>

class TestSettingsAndLog : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    static QVector<int> values(const TransferOptions &o)
    {
        return { o.protocol, o.packets, o.replyTimeoutMs, o.firstReplyTimeoutMs, o.startTimeoutMs,
            o.retries };
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        QVERIFY(QDir(QCoreApplication::applicationDirPath() + "/config").removeRecursively());
    }

    void logLevels_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("kinds");
        QTest::newRow("0 logs nothing") << 0 << "";
        QTest::newRow("1 errors") << 1 << "EE";
        QTest::newRow("2 information") << 2 << "EIEi";
        QTest::newRow("3 debugging") << 3 << "EIDEiD";
    }

    void logLevels()
    {
        QFETCH(int, level);
        QFETCH(QString, kinds);
        {
            Log log;
            log.init(level, "levels");
            for (int kind = 1; kind <= 4; ++kind)
                log.print(kind, "text");
            // Per-cent signs in the location are not conversions.
            log.printWithSource(1, "dir%s/a.cpp", "f", 7, "%d", 42);
            log.info("info-prefix ", "text");
            log.debug("debug-prefix ", "text");
        }
        QCOMPARE(QDir("log").exists(), level > 0);
        const QStringList lines = logText(m_dir->path()).split('\n', Qt::SkipEmptyParts);
        // After the time stamp: "[ERROR]", "[INFOR]", "[DEBUG]" or, from info(), two spaces and the prefix.
        QCOMPARE(std::accumulate(lines.begin(), lines.end(), QString(),
                     [](QString s, const QString &line) { return s + line.at(21); }),
            kinds);
        QCOMPARE(lines.value(level).endsWith("[ERROR] dir%s/a.cpp:7:f() 42"), level > 0);
    }

    // At level 3 the blocks sent and received go into the log as hex, 24 bytes to a row.
    void logShowsBlocksAsHex()
    {
        {
            Log log;
            log.init(3, "hex");
            log.printHex("send hex:", QByteArray(30, '\xab').constData(), 30);
        }
        QVERIFY(logText(m_dir->path())
                    .contains("send hex: \n" + QString("AB ").repeated(24) + "\n" + QString("AB ").repeated(6)
                        + "\n"));
    }

    // The first start writes the defaults; what was saved comes back on the next, from any working directory,
    // and what the user edited by hand meanwhile is kept. A log label that is a path is no label.
    void settingsSurviveARestart()
    {
        {
            LocalSetting first;
            QVERIFY(readText(first.getIniPath()).contains("[TRANSFER]\n"));
            QCOMPARE(values(TransferSettings::fromSettings(first)), values(TransferOptions()));
            {
                QSettings ini(first.getIniPath(), QSettings::IniFormat);
                ini.setValue("LOG/log_str", "../../elsewhere");
                ini.setValue("LOG/log_level", 2);
                ini.setValue("TRANSFER/retries", "5000");
            }
            first.setWindowPort("ttyUSB0");
            first.setWindowBaud(230400);
        }
        LocalSetting next;
        QCOMPARE(next.getLogStr(), QString());
        QCOMPARE(QVector<int>({ next.getLogLevel(), next.getWindowBaud() }), QVector<int>({ 2, 230400 }));
        QCOMPARE(values(TransferSettings::fromSettings(next)), QVector<int>({ 0, 0, 10000, 60000, 0, 10 }));
        QCOMPARE(next.getWindowPort(), QString("ttyUSB0"));
        QVERIFY(QDir(m_dir->path()).isEmpty());
        next.reset();
        const LocalSetting afterReset;
        QCOMPARE(afterReset.getWindowPort() + QString::number(afterReset.getWindowBaud()), QString("0"));
    }

    void transferSetting_data()
    {
        QTest::addColumn<int>("setting");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        // -1: refused, the default stays.
        using S = TransferSettings;
        QTest::newRow("protocol") << int(S::Protocol) << " XMODEM-1k " << int(TransferOptions::XModem1K);
        QTest::newRow("unknown protocol") << int(S::Protocol) << "zmodem" << -1;
        QTest::newRow("packets") << int(S::Packets) << "1K" << int(TransferOptions::OneK);
        QTest::newRow("reply time-out") << int(S::ReplyTimeout) << "2.5" << 2500;
        QTest::newRow("first reply time-out too long") << int(S::FirstReplyTimeout) << "3601" << -1;
        QTest::newRow("start time-out") << int(S::StartTimeout) << "86400" << 86400000;
        QTest::newRow("retries") << int(S::Retries) << "100" << 100;
        QTest::newRow("endless retries") << int(S::Retries) << "inf" << -1;
    }

    void transferSetting()
    {
        QFETCH(int, setting);
        QFETCH(QString, text);
        QFETCH(int, value);
        TransferOptions o;
        QCOMPARE(TransferSettings::apply(TransferSettings::Setting(setting), text, &o), value >= 0);
        QCOMPARE(values(o)[setting], value >= 0 ? value : values(TransferOptions())[setting]);
    }
};

QTEST_GUILESS_MAIN(TestSettingsAndLog)
#include "tst_settingsandlog.moc"
