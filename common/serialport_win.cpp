#include "serialport.h"

#include "serialplatform.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include <windows.h>

namespace {
enum { ReadBlockSize = 4096, WriteBlockSize = 4096 };

QString systemText(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString result = length ? QString::fromWCharArray(text, int(length)).trimmed()
                                  : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return result;
}

enum class Outcome { Done, Stopped, Failed };

// Runs one overlapped operation, begun by start(), to its end, or cancels it when the stop event is set.
// Failed leaves the system's error code in *code.
template<typename Start>
Outcome runOverlapped(HANDLE port, OVERLAPPED *overlapped, HANDLE stop, Start start, DWORD *done, DWORD *code)
{
    *done = 0;
    *code = ERROR_SUCCESS;
    ResetEvent(overlapped->hEvent);
    if (!start() && GetLastError() != ERROR_IO_PENDING) {
        *code = GetLastError();
        return Outcome::Failed;
    }
    const HANDLE waits[2] = { overlapped->hEvent, stop };
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
        if (GetOverlappedResult(port, overlapped, done, FALSE))
            return Outcome::Done;
        *code = GetLastError();
        return Outcome::Failed;
    }
    if (woke != WAIT_OBJECT_0 + 1)
        *code = GetLastError();
    CancelIoEx(port, overlapped);
    GetOverlappedResult(port, overlapped, done, TRUE);
    return woke == WAIT_OBJECT_0 + 1 ? Outcome::Stopped : Outcome::Failed;
}
} // namespace

// Two threads of the port's own keep the line busy both ways, each with one overlapped operation at a time
// that the stop event ends. Reads are not built on WaitCommEvent, which some drivers (and Wine) do not serve
// well: a read returns as soon as a byte has come and the line has paused for a millisecond.
class SerialPort::Private
{
public:
    explicit Private(SerialPort *owner) : q(owner) { }

    void readLoop();
    void writeLoop();
    void fail(Error error, const QString &text, bool gone);
    // The port's signals come from the thread it lives in, as from any QObject, never from its own threads.
    template<typename Emit> void announce(Emit emitSignal)
    {
        QMetaObject::invokeMethod(q, emitSignal, Qt::QueuedConnection);
    }
    bool escape(DWORD function);

    SerialPort *q;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
    std::thread reader;
    std::thread writer;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    QByteArray received;
    // Bytes not yet taken by the line; the writer removes a block once it is written.
    QByteArray pending;
    qint64 writtenCount = 0;
    Error error = NoError;
    QString errorString;
    bool gone = false;
};

void SerialPort::Private::fail(Error failure, const QString &text, bool lost)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        error = failure;
        errorString = text;
        gone = gone || lost;
    }
    changed.notify_all();
    announce([this, failure] { emit q->sigErrorOccurred(failure); });
}

// Sets a modem line; a pseudo-terminal behind Wine has none and refuses.
bool SerialPort::Private::escape(DWORD function)
{
    if (port == INVALID_HANDLE_VALUE)
        return false;
    if (EscapeCommFunction(port, function))
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    error = UnsupportedOperationError;
    errorString = systemText(GetLastError());
    return false;
}

void SerialPort::Private::readLoop()
{
    OVERLAPPED overlapped {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    char block[ReadBlockSize];
    for (;;) {
        DWORD got = 0;
        DWORD code = ERROR_SUCCESS;
        const Outcome outcome = runOverlapped(
            port, &overlapped, stop,
            [&] { return ReadFile(port, block, sizeof block, nullptr, &overlapped); }, &got, &code);
        if (outcome == Outcome::Stopped)
            break;
        // A failed read on a serial port is a device that went away (unplugged, or its far end closed).
        if (outcome == Outcome::Failed) {
            fail(ResourceError, systemText(code), true);
            break;
        }
        if (got == 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex);
            received.append(block, int(got));
        }
        announce([this] { emit q->sigReadyRead(); });
    }
    CloseHandle(overlapped.hEvent);
}

void SerialPort::Private::writeLoop()
{
    OVERLAPPED overlapped {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        QByteArray block;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return stopping || !pending.isEmpty(); });
            if (stopping)
                break;
            block = pending.left(WriteBlockSize);
        }
        DWORD done = 0;
        DWORD code = ERROR_SUCCESS;
        const Outcome outcome = runOverlapped(
            port, &overlapped, stop,
            [&] { return WriteFile(port, block.constData(), DWORD(block.size()), nullptr, &overlapped); },
            &done, &code);
        if (outcome == Outcome::Stopped)
            break;
        if (outcome == Outcome::Failed) {
            fail(ResourceError, systemText(code), true);
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            pending.remove(0, int(done));
            writtenCount += done;
        }
        changed.notify_all();
        if (done > 0)
            announce([this, done] { emit q->sigBytesWritten(qint64(done)); });
    }
    CloseHandle(overlapped.hEvent);
}

SerialPort::SerialPort(QObject *parent) : QObject(parent), d(new Private(this))
{ }

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open(const QString &location, int baud)
{
    close();
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->gone = false;
        d->stopping = false;
    }
    const HANDLE port = CreateFileW(reinterpret_cast<const wchar_t *>(location.utf16()),
        GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            d->error = DeviceNotFoundError;
        else
            d->error = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? PermissionError
                                                                                      : OpenError;
        // A COM port opens for one program at a time: refused access means another one holds it.
        d->errorString = d->error == PermissionError
            ? QStringLiteral("locked by another program: %1").arg(systemText(code))
            : systemText(code);
        return false;
    }
    DCB settings {};
    settings.DCBlength = sizeof settings;
    COMMTIMEOUTS timeouts {};
    // A read waits for its first byte as long as it takes, then returns once the line pauses for 1 ms.
    timeouts.ReadIntervalTimeout = 1;
    bool set = GetCommState(port, &settings);
    if (set) {
        settings.BaudRate = DWORD(baud);
        settings.ByteSize = 8;
        settings.Parity = NOPARITY;
        settings.StopBits = ONESTOPBIT;
        settings.fBinary = TRUE;
        settings.fParity = FALSE;
        settings.fOutxCtsFlow = FALSE;
        settings.fOutxDsrFlow = FALSE;
        settings.fDsrSensitivity = FALSE;
        settings.fOutX = FALSE;
        settings.fInX = FALSE;
        settings.fErrorChar = FALSE;
        settings.fNull = FALSE;
        settings.fAbortOnError = FALSE;
        // Raised, as opening a terminal raises them on Linux.
        settings.fDtrControl = DTR_CONTROL_ENABLE;
        settings.fRtsControl = RTS_CONTROL_ENABLE;
        set = SetCommState(port, &settings) && SetCommTimeouts(port, &timeouts);
    }
    if (!set) {
        d->error = UnsupportedOperationError;
        d->errorString = systemText(GetLastError());
        CloseHandle(port);
        return false;
    }
    d->port = port;
    d->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    d->reader = std::thread(&Private::readLoop, d.get());
    d->writer = std::thread(&Private::writeLoop, d.get());
    return true;
}

bool SerialPort::isOpen() const
{
    return d->port != INVALID_HANDLE_VALUE;
}

void SerialPort::close()
{
    if (!isOpen())
        return;
    SetEvent(d->stop);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->changed.notify_all();
    d->reader.join();
    d->writer.join();
    CloseHandle(d->stop);
    CloseHandle(d->port);
    d->stop = nullptr;
    d->port = INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->received.clear();
    d->pending.clear();
}

qintptr SerialPort::handle() const
{
    return reinterpret_cast<qintptr>(d->port);
}

qint64 SerialPort::bytesAvailable() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->received.size();
}

QByteArray SerialPort::read(qint64 maxSize)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    const QByteArray block = d->received.left(int(maxSize));
    d->received.remove(0, block.size());
    return block;
}

qint64 SerialPort::write(const char *data, qint64 size)
{
    if (!isOpen())
        return -1;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->pending.append(data, int(size));
    }
    d->changed.notify_all();
    return size;
}

qint64 SerialPort::bytesToWrite() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->pending.size();
}

// The writer hands bytes to the line as soon as they are waiting.
bool SerialPort::flush()
{
    return isOpen();
}

bool SerialPort::waitForBytesWritten(int msecs)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->pending.isEmpty() || d->port == INVALID_HANDLE_VALUE)
        return false;
    const qint64 before = d->writtenCount;
    return d->changed.wait_for(lock, std::chrono::milliseconds(msecs), [this, before] {
        return d->writtenCount != before || d->error != NoError;
    }) && d->writtenCount != before;
}

bool SerialPort::setDataTerminalReady(bool set)
{
    return d->escape(set ? SETDTR : CLRDTR);
}

bool SerialPort::setRequestToSend(bool set)
{
    return d->escape(set ? SETRTS : CLRRTS);
}

SerialPort::Error SerialPort::error() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->error;
}

QString SerialPort::errorString() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->errorString;
}

void SerialPort::clearError()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->error = NoError;
    d->errorString.clear();
}

bool SerialPort::isGone() const
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->gone)
            return true;
    }
    return isOpen() && lineHungUp(handle());
}
