#include "localsetting.h"

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
    void keepsWindowChoices();
    void foundFromAnotherWorkingDirectory();

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
    QCOMPARE(setting.metaObject()->className(), "LocalSetting");
    QCOMPARE(setting.getIniPath(), folder() + "/config.ini");
    QCOMPARE(setting.getLogStr(), QString());
    QCOMPARE(setting.getLogLevel(), 0);
    QVERIFY(QFile::exists(setting.getIniPath()));
    const QList<QByteArray> lines = iniLines();
    QCOMPARE(lines.first(), QByteArray("[LOG]"));
    QVERIFY(lines.contains("log_level=0"));
    QVERIFY(lines.contains("log_str="));
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

// The window's choices go to their own section and come back on the next start; a reset forgets them.
void TestLocalSetting::keepsWindowChoices()
{
    writeIni("[LOG]\nlog_level=2\nlog_str=board\n");
    {
        LocalSetting setting;
        QCOMPARE(setting.getWindowPort(), QString());
        QCOMPARE(setting.getWindowBaud(), 0);
        QCOMPARE(setting.getWindowFile(), QString());
        setting.setWindowPort("ttyUSB0");
        setting.setWindowBaud(230400);
        setting.setWindowFile("/srv/fw/zImage");
        setting.save();
    }
    QVERIFY(iniLines().contains("[WINDOW]"));
    LocalSetting next;
    QCOMPARE(next.getWindowPort(), QString("ttyUSB0"));
    QCOMPARE(next.getWindowBaud(), 230400);
    QCOMPARE(next.getWindowFile(), QString("/srv/fw/zImage"));
    QCOMPARE(next.getLogLevel(), 2);
    QCOMPARE(next.getLogStr(), QString("board"));

    next.reset();
    const LocalSetting afterReset;
    QCOMPARE(afterReset.getWindowPort(), QString());
    QCOMPARE(afterReset.getWindowBaud(), 0);
    QCOMPARE(afterReset.getWindowFile(), QString());
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

QTEST_GUILESS_MAIN(TestLocalSetting)
#include "tst_localsetting.moc"
