// Steps an operator takes in the window, for the window's tests: each fails the running test when the
// window does not follow. The file dialog starts in ./Bin/ of the current folder (see FirmwareFolder).
#pragma once

#include "modalanswerer.h"
#include "testdata.h"

#include <QByteArray>
#include <QString>
#include <memory>

class PtyPair;
class RbReceiver;
class WindowUnderTest;

// How long a whole download through rb may take, even on a loaded machine under the sanitizers.
constexpr int TRANSFER_TIMEOUT_MS = 30000;

extern const char PREPARE_LINE[];
extern const char COMPLETED_LINE[];
extern const char CANCELLED_LINE[];

// The controls' states, in the words of WindowUnderTest::state().
extern const QString CLOSED;
extern const QString OPENING;
extern const QString OPEN;
extern const QString CLOSING;
extern const QString TRANSFERRING;
// The port was lost and waits for the operator's Close.
extern const QString FAILED;

// What the file dialog offered; the answer is a path typed into its name field, or an empty path to cancel.
struct DialogSeen
{
    QString title;
    QString directory;
    // Whether the dialog let the operator pick the file the test looked for.
    bool offered = false;
};
std::unique_ptr<ModalAnswerer> answerFileDialog(
    const QString &path, const QString &lookFor, DialogSeen *seen);

// A pseudo-terminal as the port list shows it.
QString ptyEntry(const PtyPair &pty);
// Types into whatever has the keyboard focus, as key events reach a window from the platform.
void typeKeys(const QString &text);

void showAndActivate(WindowUnderTest &u);
void openPort(WindowUnderTest &u, const QString &entry);
void closePort(WindowUnderTest &u);
// Closes a port whose far end (rb) may have gone already.
void closeVanishedPort(WindowUnderTest &u);
// Chooses the file at path with the folder button and the file dialog; an empty path cancels the dialog.
void browse(WindowUnderTest &u, const QString &path);
// Presses Download and waits until the session waits for its receiver.
void pressDownload(WindowUnderTest &u);
// Presses Download with rb on the far end and lets rb begin once the session waits for it.
void startDownload(WindowUnderTest &u, RbReceiver &rb);
// One whole download of the file at path to a fresh rb, through the window's own controls.
void download(WindowUnderTest &u, const QString &path);
// Opens a port to a device that prints text, and closes it once the text is in the console.
void deviceSays(WindowUnderTest &u, const QByteArray &text, const QString &lastLine);
