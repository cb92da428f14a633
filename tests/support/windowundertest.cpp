#include "windowundertest.h"

#include <QTest>

WindowUnderTest::WindowUnderTest(const QStringList &initialPorts)
    : ports(initialPorts)
    , window([this] { return ports; }, PORT_POLL_MS)
    , console(find<Console>("textBrowser"))
    , names(find<QComboBox>("cb_names"))
    , bauds(find<QComboBox>("cb_bauds"))
    , refresh(find<QPushButton>("bt_refresh"))
    , open(find<QPushButton>("bt_open"))
    , file(find<QLineEdit>("le_file"))
    , upload(find<QPushButton>("bt_upload"))
    , stop(find<QPushButton>("bt_stopUpdate"))
    , progress(find<QProgressBar>("progressBar"))
    , m_warningAnswerer(
          QMessageBox::staticMetaObject,
          [this](QWidget *modal) {
              auto *box = static_cast<QMessageBox *>(modal);
              warnings.append({ box->windowTitle(), box->text(), box->standardButtons(), state() });
              box->button(QMessageBox::Ok)->click();
          },
          true)
{ }

bool WindowUnderTest::complete() const
{
    return console && names && bauds && refresh && open && file && upload && stop && progress;
}

QStringList WindowUnderTest::consoleLines() const
{
    return console->toPlainText().split(QLatin1Char('\n'));
}

bool WindowUnderTest::consoleHas(const QString &line) const
{
    return consoleLines().contains(line);
}

QStringList WindowUnderTest::portEntries() const
{
    QStringList entries;
    for (int i = 0; i < names->count(); ++i)
        entries << names->itemText(i);
    return entries;
}

bool WindowUnderTest::choosePort(const QString &entry)
{
    if (!ports.contains(entry))
        ports << entry;
    if (!QTest::qWaitFor([&] { return names->findText(entry) >= 0; }))
        return false;
    names->setCurrentIndex(names->findText(entry));
    return true;
}

QString WindowUnderTest::state() const
{
    const auto enabled = [](bool on) { return on ? QStringLiteral("enabled") : QStringLiteral("disabled"); };
    const bool portControls = refresh->isEnabled();
    const QString port = portControls == names->isEnabled() && portControls == bauds->isEnabled()
        ? enabled(portControls)
        : QStringLiteral("mixed");
    return QStringLiteral("%1 %2 %3; port controls %4; Download %5; Cancel %6")
        .arg(open->text(), open->isChecked() ? QStringLiteral("checked") : QStringLiteral("unchecked"),
            enabled(open->isEnabled()), port, enabled(upload->isEnabled()), enabled(stop->isEnabled()));
}
