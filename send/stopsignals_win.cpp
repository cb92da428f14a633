#include "stopsignals.h"

#include <atomic>

#include <windows.h>

namespace {
std::atomic<StopSignals *> g_stopSignals { nullptr };
// Set once the event loop has ended and the ports are closed.
HANDLE g_finished = nullptr;
// Windows ends the process a few seconds after a closed console's handler returns.
constexpr DWORD CLOSE_WAIT_MS = 4500;

// Runs in a thread the system starts for it: hands the stop to the event loop. Closing the console or
// logging off ends the process once the handler returns, so then it waits for the cancel to go out first.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    StopSignals *stopSignals = g_stopSignals.load();
    if (!stopSignals)
        return FALSE;
    QMetaObject::invokeMethod(
        stopSignals, [stopSignals] { emit stopSignals->sigStop(); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_finished, CLOSE_WAIT_MS);
    return TRUE;
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{ }

StopSignals::~StopSignals()
{
    g_stopSignals = nullptr;
    if (g_finished)
        SetEvent(g_finished);
}

// Console events come to a thread of their own, never to the program's threads: nothing to hold back.
bool StopSignals::block()
{
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return g_finished != nullptr;
}

void StopSignals::catchSignals()
{
    g_stopSignals = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
