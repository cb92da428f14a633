#include "localsetting.h"
#include "transfersettings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestLocalSetting : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();

    void firstStartWritesDefaults();
    void readsExistingFile_data();
    void readsExistingFile();
    void resetWritesDefaults();
    void foundFromAnotherWorkingDirectory();
    void unwritableFolderFallsBack();
    void transferSettings_data();
    void transferSettings();

private:
    static QString folder() { return QCoreApplication::applicationDirPath() + "/config"; }
    static void writeIni(const QByteArray &text);
    static QList<QByteArray> iniLines();
};

void TestLocalSetting::init()
{
    // The test binary lives in a build folder, so its settings folder may go.
    QVERIFY(QDir(folder()).removeRecursively());
}

void TestLocalSetting::cleanupTestCase()
{
    init();
}

void TestLocalSetting::writeIni(const QByteArray &text)
{
    static int written = 0;
    QVERIFY(QDir().mkpath(folder()));
    QFile file(folder() + "/config.ini");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    QVERIFY(file.flush());
    // QSettings caches parsed files by path, size and time: a time of its own keeps rows apart.
    QVERIFY(file.setFileTime(
        QDateTime::currentDateTime().addSecs(-100 - ++written), QFile::FileModificationTime));
}

QList<QByteArray> TestLocalSetting::iniLines()
{
    QFile file(folder() + "/config.ini");
    return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
}

void TestLocalSetting::firstStartWritesDefaults()
{
    const LocalSetting setting;
    QCOMPARE(setting.getIniPath(), folder() + "/config.ini");
    QCOMPARE(setting.getLogStr(), QString());
    QCOMPARE(setting.getLogLevel(), 0);
    QVERIFY(QFile::exists(setting.getIniPath()));
    const QList<QByteArray> lines = iniLines();
    QCOMPARE(lines.first(), QByteArray("[LOG]"));
    QVERIFY(lines.contains("log_level=0"));
    QVERIFY(lines.contains("log_str="));
    for (const char *line : { "[TRANSFER]", "protocol=ymodem", "packets=mixed", "reply_timeout=10",
             "first_reply_timeout=60", "start_timeout=0", "retries=10" })
        QVERIFY2(lines.contains(line), line);
    // The defaults written are the defaults the engine uses.
    const TransferOptions read = TransferSettings::fromSettings(setting);
    const TransferOptions defaults;
    QCOMPARE(read.replyTimeoutMs, defaults.replyTimeoutMs);
    QCOMPARE(read.firstReplyTimeoutMs, defaults.firstReplyTimeoutMs);
    QCOMPARE(read.startTimeoutMs, defaults.startTimeoutMs);
    QCOMPARE(read.retries, defaults.retries);
}

void TestLocalSetting::readsExistingFile_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("level");
    QTest::newRow("board") << QByteArray("[LOG]\nlog_level=3\nlog_str=board\n") << "board" << 3;
    QTest::newRow("level only") << QByteArray("[LOG]\nlog_level=2\n") << "" << 2;
    QTest::newRow("not a number") << QByteArray("[LOG]\nlog_str=x\nlog_level=abc\n") << "x" << 0;
    QTest::newRow("other section") << QByteArray("[OTHER]\nlog_level=3\nlog_str=y\n") << "" << 0;
    QTest::newRow("empty file") << QByteArray() << "" << 0;
}

void TestLocalSetting::readsExistingFile()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, label);
    QFETCH(int, level);
    writeIni(ini);
    const LocalSetting setting;
    QCOMPARE(setting.getLogStr(), label);
    QCOMPARE(setting.getLogLevel(), level);
    // Reading never writes the defaults over what the user put there.
    QFile file(setting.getIniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ini);
}

void TestLocalSetting::resetWritesDefaults()
{
    writeIni("[LOG]\nlog_level=3\nlog_str=board\n");
    LocalSetting setting;
    setting.reset();
    QCOMPARE(setting.getLogStr(), QString());
    QCOMPARE(setting.getLogLevel(), 0);
    const QList<QByteArray> lines = iniLines();
    QVERIFY(lines.contains("log_level=0"));
    QVERIFY(lines.contains("log_str="));
    QVERIFY(!lines.contains("log_str=board"));
}

void TestLocalSetting::foundFromAnotherWorkingDirectory()
{
    writeIni("[LOG]\nlog_level=1\nlog_str=far\n");
    const QString home = QDir::currentPath();
    QTemporaryDir elsewhere;
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    const LocalSetting setting;
    QDir::setCurrent(home);
    QCOMPARE(setting.getLogStr(), QString("far"));
    QCOMPARE(setting.getLogLevel(), 1);
    QVERIFY(QDir(elsewhere.path()).isEmpty());
}

// An installed program cannot write beside its executable; not even root can make a folder under /proc.
void TestLocalSetting::unwritableFolderFallsBack()
{
    QTemporaryDir user;
    QCOMPARE(LocalSetting::chooseFolder(QStringLiteral("/proc/kelpo/config"), user.path() + "/kelpo"),
        user.path() + "/kelpo");
    QVERIFY(QFileInfo(user.path() + "/kelpo").isDir());
    QCOMPARE(LocalSetting::chooseFolder(folder(), user.path()), folder());
    QCOMPARE(
        LocalSetting::chooseFolder(QStringLiteral("/proc/kelpo"), QStringLiteral("/proc/kelpo2")), QString());
}

void TestLocalSetting::transferSettings_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("packets");
    QTest::addColumn<int>("replyMs");
    QTest::addColumn<int>("startMs");
    QTest::addColumn<int>("retries");

    QTest::newRow("all set") << QByteArray(
        "protocol=XMODEM-1K\npackets=1k\nreply_timeout=2.5\nstart_timeout=30\n"
        "retries=3\n") << int(TransferOptions::XModem1K)
                             << int(TransferOptions::OneK) << 2500 << 30000 << 3;
    QTest::newRow("unreadable values keep their defaults")
        << QByteArray("protocol=zmodem\npackets=2k\nreply_timeout=0\nstart_timeout=-1\nretries=2.5\n")
        << int(TransferOptions::YModem) << int(TransferOptions::Mixed) << 10000 << 0 << 10;
    QTest::newRow("out of range") << QByteArray("reply_timeout=3601\nretries=101\n")
                                  << int(TransferOptions::YModem) << int(TransferOptions::Mixed) << 10000 << 0
                                  << 10;
    QTest::newRow("no section") << QByteArray() << int(TransferOptions::YModem) << int(TransferOptions::Mixed)
                                << 10000 << 0 << 10;
}

void TestLocalSetting::transferSettings()
{
    QFETCH(QByteArray, section);
    QFETCH(int, protocol);
    QFETCH(int, packets);
    QFETCH(int, replyMs);
    QFETCH(int, startMs);
    QFETCH(int, retries);
    writeIni("[LOG]\nlog_level=0\n[TRANSFER]\n" + section);
    const TransferOptions options = TransferSettings::fromSettings(LocalSetting());
    QCOMPARE(int(options.protocol), protocol);
    QCOMPARE(int(options.packets), packets);
    QCOMPARE(options.replyTimeoutMs, replyMs);
    QCOMPARE(options.startTimeoutMs, startMs);
    QCOMPARE(options.retries, retries);
}

QTEST_GUILESS_MAIN(TestLocalSetting)
#include "tst_localsetting.moc"
