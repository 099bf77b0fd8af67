#include "AfComPortCore.h"

#include "AfSafeSync.h"
#include "AfUtils.h"
#include "platform/AfComMapping.h"
#include "platform/AfWin.h"

namespace {

// Holds a critical section for one scope.
class TAfSectionGuard {
public:
    explicit TAfSectionGuard(CRITICAL_SECTION& Section) : FSection(Section)
    {
        EnterCriticalSection(&FSection);
    }
    ~TAfSectionGuard() { LeaveCriticalSection(&FSection); }
    TAfSectionGuard(const TAfSectionGuard&) = delete;
    TAfSectionGuard& operator=(const TAfSectionGuard&) = delete;

private:
    CRITICAL_SECTION& FSection;
};

// The core whose event thread is the calling thread, if any.
thread_local const TAfComPortCore* tEventThreadCore = nullptr;

constexpr DWORD kEventPollMs = 200;
// How long the event thread waits for the device lock before it looks whether a stop has begun.
constexpr DWORD kDeviceLockTryMs = 10;
constexpr DWORD kPurgeWaitMs = 2000;
constexpr DWORD kThreadStartMs = 3000;

std::string WithComNumber(const char* Prefix, std::int32_t Number, const char* Suffix = "")
{
    return std::string(Prefix) + std::to_string(Number) + Suffix;
}

bool IsSilentAbort(const std::exception_ptr& Error)
{
    if (!Error)
        return false;
    try {
        std::rethrow_exception(Error);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::string ComDeviceName(int Number)
{
    std::string path = ComPortDevicePath(Number);
    return path.empty() ? WithComNumber("COM", Number) : path;
}

// ---- TAfComPortCore ----------------------------------------------------------------------------

TAfComPortCore::TAfComPortCore() : FHandle(INVALID_HANDLE_VALUE)
{
    InitializeCriticalSection(&FDeviceLock);
    InitializeCriticalSection(&FPurgeLock);
    InitializeCriticalSection(&FWriteLock);
    FThreadStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FOutputEmpty = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

TAfComPortCore::~TAfComPortCore()
{
    Close();
    DisposeHandle(FThreadStarted);
    DisposeHandle(FOutputEmpty);
    DeleteCriticalSection(&FWriteLock);
    DeleteCriticalSection(&FPurgeLock);
    DeleteCriticalSection(&FDeviceLock);
}

bool TAfComPortCore::Open(std::int32_t ComNumber)
{
    if (FOpened)
        return false;
    if (ComNumber <= 0)
        throw EAfComPortCoreError(WithComNumber("Invalid port number (COM", ComNumber, ")"));
    FComNumber = ComNumber;
    FHandle = INVALID_HANDLE_VALUE;
    StartDevice();
    return true;
}

void TAfComPortCore::Close()
{
    if (!FOpened)
        return;
    StopDevice();
    FOpened = false;
}

void TAfComPortCore::SetDCB(const ::DCB& Value)
{
    FDCB = Value;
    if (FActive)
        ApplyDCB();
}

void TAfComPortCore::SetEventThreadPriority(TThreadPriority Value)
{
    if (FEventThreadPriority.exchange(Value) == Value)
        return;
    // The thread object lives until the stop, which holds the device lock; a stop already under
    // way gets the lock refused on the event thread, whose priority no longer matters then.
    if (!FActive || !EnterDeviceLock())
        return;
    if (FActive && FEventThread != nullptr)
        FEventThread->SetPriority(Value);
    LeaveCriticalSection(&FDeviceLock);
}

void TAfComPortCore::SetWriteThreadPriority(TThreadPriority Value)
{
    if (FWriteThreadPriority.exchange(Value) == Value)
        return;
    TAfSectionGuard guard(FWriteLock);
    if (FActive && FWriteThread != nullptr)
        FWriteThread->SetPriority(Value);
}

std::string TAfComPortCore::DeviceName() const
{
    return ComDeviceName(FComNumber);
}

bool TAfComPortCore::OnEventThread() const
{
    return tEventThreadCore == this;
}

bool TAfComPortCore::EnterDeviceLock()
{
    if (!OnEventThread()) {
        EnterCriticalSection(&FDeviceLock);
        return true;
    }
    // Other holders (a read, a status query, an input purge) keep the lock only for a moment.
    // A stop keeps it until this thread has ended, so waiting for it would never end; a stop
    // clears FActive before it takes the lock.
    while (!AfEnterCriticalSectionWithin(&FDeviceLock, kDeviceLockTryMs)) {
        if (!FActive)
            return false;
    }
    return true;
}

void TAfComPortCore::GetComStat(COMSTAT& Stat)
{
    Stat = COMSTAT{};
    if (!FActive || !EnterDeviceLock())
        return;
    DWORD errors = 0;
    if (ClearCommError(FHandle, &errors, &Stat))
        FLineErrors |= errors;
    else
        Stat = COMSTAT{};
    LeaveCriticalSection(&FDeviceLock);
}

DWORD TAfComPortCore::TakeLineErrors()
{
    if (!FActive || !EnterDeviceLock())
        return 0;
    const DWORD errors = FLineErrors;
    FLineErrors = 0;
    LeaveCriticalSection(&FDeviceLock);
    return errors;
}

bool TAfComPortCore::EscapeFunction(DWORD Func)
{
    if (!FActive)
        return false;
    return EscapeCommFunction(FHandle, Func) != FALSE;
}

bool TAfComPortCore::WriteData(const void* Buffer, std::int32_t Count)
{
    if (!FActive)
        return false;
    HANDLE dataReady;
    {
        TAfSectionGuard guard(FWriteLock);
        if (FWriteThread == nullptr || !FWriteThread->QueueData(Buffer, Count))
            return false;
        dataReady = FWriteThread->DataReady();
    }
    // Set once the lock is free, so that the woken thread does not run into it. A purge in
    // between leaves the thread an empty ring, which it passes over; a close in between has
    // closed the event, which SetEvent then refuses (handle values are never used again).
    SetEvent(dataReady);
    return true;
}

std::int32_t TAfComPortCore::ReadData(void* Buffer, std::int32_t Count)
{
    if (!FActive || !EnterDeviceLock())
        return -1;
    const std::int32_t result = FEventThread != nullptr ? FEventThread->ReadData(Buffer, Count) : -1;
    LeaveCriticalSection(&FDeviceLock);
    return result;
}

bool TAfComPortCore::PurgeInput()
{
    if (!FActive || !EnterDeviceLock())
        return false;
    const bool result = PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE;
    LeaveCriticalSection(&FDeviceLock);
    return result;
}

bool TAfComPortCore::PurgeOutput()
{
    if (!FActive)
        return false;
    // A stop clears FWriteThread under this lock before it ends the thread, and a second purger
    // waits here until the first has its answer.
    TAfSectionGuard guard(FPurgeLock);
    return FActive && FWriteThread != nullptr && FWriteThread->PurgeOutput();
}

std::int32_t TAfComPortCore::OutputUsed()
{
    if (!FActive)
        return 0;
    TAfSectionGuard guard(FWriteLock);
    return FWriteThread != nullptr ? FWriteThread->UsedCount() : 0;
}

std::int32_t TAfComPortCore::OutputFree()
{
    if (!FActive)
        return 0;
    TAfSectionGuard guard(FWriteLock);
    return FWriteThread != nullptr ? FWriteThread->FreeCount() : 0;
}

void TAfComPortCore::StartDevice()
{
    if (FComNumber != 0) {
        FHandle = CreateFileA(DeviceName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND)
                throw EAfComPortCoreError(WithComNumber("Invalid port number (COM", FComNumber, ")"));
            throw EAfComPortCoreError(WithComNumber("Can't open device COM", FComNumber));
        }
    }
    FEventThread = nullptr;
    FWriteThread = nullptr;
    try {
        ApplyTimeouts();
        ApplyQueueSizes();
        ApplyEventMask();
        ApplyDCB();
        FLineErrors = 0;

        ResetEvent(FThreadStarted);
        auto* writeThread = NewThread<TAfComPortWriteThread>();
        {
            TAfSectionGuard guard(FWriteLock);
            FWriteThread = writeThread;
        }
        WaitThreadStarted();
        FWriteThread->SetPriority(FWriteThreadPriority);

        FActive = true;

        ResetEvent(FThreadStarted);
        {
            // The new thread's first report may already read through the core.
            TAfSectionGuard guard(FDeviceLock);
            FEventThread = NewThread<TAfComPortEventThread>();
        }
        WaitThreadStarted();
        TAfSectionGuard guard(FDeviceLock);
        FEventThread->SetPriority(FEventThreadPriority);

        FOpened = true;
    } catch (...) {
        StopDevice();
        throw;
    }
}

void TAfComPortCore::StopDevice()
{
    if (FHandle == INVALID_HANDLE_VALUE)
        return;
    FActive = false;
    {
        TAfSectionGuard device(FDeviceLock);
        PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        TAfComPortWriteThread* writeThread;
        {
            // A purge under way keeps the thread until it has its answer.
            TAfSectionGuard purge(FPurgeLock);
            TAfSectionGuard write(FWriteLock);
            writeThread = FWriteThread;
            FWriteThread = nullptr;
        }
        if (writeThread != nullptr)
            writeThread->StopThread();
        if (FEventThread != nullptr) {
            TAfComPortEventThread* thread = FEventThread;
            FEventThread = nullptr;
            thread->StopThread();
        }
    }
    DisposeHandle(FHandle);
}

void TAfComPortCore::ApplyTimeouts()
{
    const COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!SetCommTimeouts(FHandle, &timeouts))
        throw EAfComPortCoreError("Error setting timeouts");
}

void TAfComPortCore::ApplyQueueSizes()
{
    // A negative size cannot be a queue; it fails like a size the driver refuses.
    if (FInQueueSize < 0 || FOutQueueSize < 0 ||
        !SetupComm(FHandle, static_cast<DWORD>(FInQueueSize), static_cast<DWORD>(FOutQueueSize)))
        throw EAfComPortCoreError("Error initializing buffers");
}

void TAfComPortCore::ApplyEventMask()
{
    if (!SetCommMask(FHandle, FEventMask))
        throw EAfComPortCoreError(" Error setting EventMask");
}

void TAfComPortCore::ApplyDCB()
{
    if (!SetCommState(FHandle, &FDCB)) {
        GetCommState(FHandle, &FDCB);
        throw EAfComPortCoreError("Error setting parameters from DCB");
    }
}

template <class TWorker> TWorker* TAfComPortCore::NewThread()
{
    try {
        return new TWorker(this);
    } catch (const std::exception&) {
        // The platform had no thread, event or memory for it.
        throw EAfComPortCoreError("Error creating threads");
    }
}

void TAfComPortCore::WaitThreadStarted()
{
    if (WaitForSingleObject(FThreadStarted, kThreadStartMs) != WAIT_OBJECT_0)
        throw EAfComPortCoreError("Error creating threads");
}

// ---- TAfComPortCoreThread ----------------------------------------------------------------------

TAfComPortCoreThread::TAfComPortCoreThread(TAfComPortCore* Core)
    : TThread(true), FStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)), FCore(Core),
      FHandle(Core->FHandle)
{
}

TAfComPortCoreThread::~TAfComPortCoreThread()
{
    DisposeHandle(FStopEvent);
}

void TAfComPortCoreThread::StopThread()
{
    Terminate();
    SetEvent(FStopEvent);
    WaitFor();
    delete this;
}

void TAfComPortCoreThread::HandleException()
{
    FException = std::current_exception();
    // Nobody is shown anything once the thread is being stopped: the stopping thread is waiting
    // for this one to end.
    if (!IsSilentAbort(FException) && !Terminated())
        ShowThreadException();
    FException = nullptr;
}

void TAfComPortCoreThread::ShowThreadException()
{
    const std::exception_ptr error = FException;
    SafeSyncSynchronize([error] { ApplicationHandleException(error); });
}

// ---- TAfComPortEventThread ---------------------------------------------------------------------

TAfComPortEventThread::TAfComPortEventThread(TAfComPortCore* Core)
    : TAfComPortCoreThread(Core), FOnCoreEvent(Core->OnCoreEvent)
{
    FWaitOverlapped.hEvent = INVALID_HANDLE_VALUE;
    FReadOverlapped.hEvent = INVALID_HANDLE_VALUE;
    Resume();
}

TAfComPortEventThread::~TAfComPortEventThread()
{
    DisposeHandle(FWaitOverlapped.hEvent);
    DisposeHandle(FReadOverlapped.hEvent);
}

void TAfComPortEventThread::StopThread()
{
    FReporting = false;
    Terminate();
    SetCommMask(FHandle, 0);
    PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    TAfComPortCoreThread::StopThread();
}

void TAfComPortEventThread::Execute()
{
    // The OS thread may run other threads afterwards: the mark goes however Execute is left.
    struct TEventThreadMark {
        explicit TEventThreadMark(const TAfComPortCore* Core) { tEventThreadCore = Core; }
        ~TEventThreadMark() { tEventThreadCore = nullptr; }
    } mark(FCore);
    try {
        FWaitOverlapped = OVERLAPPED{};
        FReadOverlapped = OVERLAPPED{};
        FWaitOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        FReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(FCore->FOutputEmpty);
        const HANDLE waitSet[3] = {FStopEvent, FWaitOverlapped.hEvent, FCore->FOutputEmpty};
        FWaitPending = false;
        FInputQueued = false;
        const bool arrivalEndsWait = (FCore->FEventMask & EV_RXCHAR) != 0;
        SetEvent(FCore->FThreadStarted);

        // After a failed event wait, one poll period passes before the next try.
        bool pause = false;
        while (!Terminated()) {
            if (!FWaitPending && !pause) {
                if (WaitCommEvent(FHandle, &FEventMask, &FWaitOverlapped))
                    HandleWaitCompleted();
                else if (GetLastError() == ERROR_IO_PENDING)
                    FWaitPending = true;
                else {
                    DeviceFailed();
                    pause = true;
                }
            }
            if (!FWaitPending && !pause)
                continue;

            const bool pausing = pause;
            pause = false;
            // The poll is for unread input; when none is queued, the arrival of a byte ends the
            // wait by itself, so the thread sleeps until something happens.
            const DWORD timeout = pausing || FInputQueued || !arrivalEndsWait ? kEventPollMs : INFINITE;
            switch (WaitForMultipleObjects(3, waitSet, FALSE, timeout)) {
            case WAIT_OBJECT_0:
                Terminate();
                break;
            case WAIT_OBJECT_0 + 1: {
                DWORD transferred = 0;
                if (GetOverlappedResult(FHandle, &FWaitOverlapped, &transferred, FALSE)) {
                    FWaitPending = false;
                    HandleWaitCompleted();
                } else {
                    // The wait ended but its result is lost (the device went away): start over
                    // after a pause rather than finding the same signalled event again at once.
                    ResetEvent(FWaitOverlapped.hEvent);
                    FWaitPending = false;
                    DeviceFailed();
                    pause = true;
                }
                break;
            }
            case WAIT_OBJECT_0 + 2:
                FireEvent(ceOutputEmpty, 0);
                break;
            case WAIT_TIMEOUT:
                if (!pausing)
                    FWaitPending = true;
                PollInput();
                break;
            default:
                throw EAfComPortCoreError("Event thread cannot wait for device events");
            }
        }
    } catch (...) {
        HandleException();
    }
    DisposeHandle(FWaitOverlapped.hEvent);
}

void TAfComPortEventThread::HandleWaitCompleted()
{
    ResetEvent(FWaitOverlapped.hEvent);
    if (FEventMask == 0) {
        FWaitPending = true;
        return;
    }
    FireEvent(ceCommEvent, FEventMask);
    // Whether the owner left input unread, for which the poll has to remind it.
    if (FEventMask & EV_RXCHAR) {
        COMSTAT stat{};
        FCore->GetComStat(stat);
        FInputQueued = stat.cbInQue > 0;
    }
}

void TAfComPortEventThread::PollInput()
{
    COMSTAT stat{};
    FCore->GetComStat(stat);
    FInputQueued = stat.cbInQue > 0;
    if (stat.cbInQue > 0)
        FireEvent(ceInputPending, stat.cbInQue);
}

void TAfComPortEventThread::DeviceFailed()
{
    if (FDeviceFailed || Terminated() || !FReporting)
        return;
    FDeviceFailed = true;
    try {
        throw EAfComPortCoreError(WithComNumber("Device COM", FCore->FComNumber, " failed"));
    } catch (...) {
        HandleException();
    }
}

void TAfComPortEventThread::FireEvent(TAfCoreEvent Kind, DWORD Data)
{
    FException = nullptr;
    if (!FReporting || !FOnCoreEvent)
        return;
    try {
        FOnCoreEvent(FCore, Kind, Data, nullptr);
    } catch (...) {
        HandleException();
    }
}

void TAfComPortEventThread::HandleException()
{
    FException = std::current_exception();
    struct TClear {
        std::exception_ptr& Field;
        ~TClear() { Field = nullptr; }
    } clear{FException};
    if (IsSilentAbort(FException))
        return;
    if (FReporting && FOnCoreEvent) {
        // The receiver gets the exception itself; this thread keeps no hold on it.
        std::exception_ptr error = std::move(FException);
        try {
            FOnCoreEvent(FCore, ceThreadException, 0, std::move(error));
        } catch (const EAbort&) {
            // The owner could not pass the report on (its receiver is disabled, or it has none):
            // the report is dropped, and the thread goes on.
        }
    } else if (!Terminated()) {
        ShowThreadException();
    }
}

std::int32_t TAfComPortEventThread::ReadData(void* Buffer, std::int32_t Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    DWORD read = 0;
    if (!ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), &read, &FReadOverlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            if (GetOverlappedResult(FHandle, &FReadOverlapped, &read, TRUE))
                ResetEvent(FReadOverlapped.hEvent);
        }
    }
    return static_cast<std::int32_t>(read);
}

// ---- TAfComPortWriteThread ---------------------------------------------------------------------

TAfComPortWriteThread::TAfComPortWriteThread(TAfComPortCore* Core)
    : TAfComPortCoreThread(Core), FPurgeDone(INVALID_HANDLE_VALUE), FPurgeRequest(INVALID_HANDLE_VALUE),
      FDataReady(INVALID_HANDLE_VALUE), FBuffer(Core->FOutQueueSize)
{
    FWriteOverlapped.hEvent = INVALID_HANDLE_VALUE;
    FPurgeDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FPurgeRequest = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FDataReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Resume();
}

TAfComPortWriteThread::~TAfComPortWriteThread()
{
    DisposeHandle(FWriteOverlapped.hEvent);
    DisposeHandle(FPurgeDone);
    DisposeHandle(FPurgeRequest);
    DisposeHandle(FDataReady);
}

void TAfComPortWriteThread::StopThread()
{
    PurgeOutput();
    TAfComPortCoreThread::StopThread();
}

bool TAfComPortWriteThread::QueueData(const void* Buffer, std::int32_t Count)
{
    TAfSectionGuard guard(FCore->FWriteLock);
    return FBuffer.Write(Buffer, Count);
}

bool TAfComPortWriteThread::PurgeOutput()
{
    // An answer left over from a purger that gave up waiting belongs to nobody now.
    ResetEvent(FPurgeDone);
    SetEvent(FPurgeRequest);
    if (WaitForSingleObject(FPurgeDone, kPurgeWaitMs) != WAIT_OBJECT_0)
        return false;
    TAfSectionGuard guard(FCore->FWriteLock);
    ResetEvent(FDataReady);
    FBuffer.Clear();
    ++FPurgeCount;
    return PurgeComm(FHandle, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
}

void TAfComPortWriteThread::Execute()
{
    try {
        FWriteOverlapped = OVERLAPPED{};
        FWriteOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const HANDLE idleSet[3] = {FStopEvent, FPurgeRequest, FDataReady};
        const HANDLE busySet[3] = {FStopEvent, FPurgeRequest, FWriteOverlapped.hEvent};
        SetEvent(FCore->FThreadStarted);

        while (!Terminated()) {
            switch (WaitForMultipleObjects(3, idleSet, FALSE, INFINITE)) {
            case WAIT_OBJECT_0:
                Terminate();
                break;
            case WAIT_OBJECT_0 + 1:
                SetEvent(FPurgeDone);
                break;
            case WAIT_OBJECT_0 + 2:
                WriteNextRun(busySet);
                break;
            default:
                throw EAfComPortCoreError("Write thread cannot wait for data");
            }
        }
    } catch (...) {
        HandleException();
    }
    // A write still pending would go on reading the ring, which goes with this thread.
    PurgeComm(FHandle, PURGE_TXABORT);
    DisposeHandle(FWriteOverlapped.hEvent);
}

void TAfComPortWriteThread::WriteNextRun(const HANDLE (&BusySet)[3])
{
    TRun run;
    DWORD written = 0;
    switch (StartWrite(run, written)) {
    case TStart::Nothing:
        // Nothing queued, or the device refused the write: the bytes stay for the next round.
        return;
    case TStart::Done:
        CompleteWrite(written, run);
        return;
    case TStart::Pending:
        break;
    }
    for (;;) {
        switch (WaitForMultipleObjects(3, BusySet, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            Terminate();
            return;
        case WAIT_OBJECT_0 + 1:
            // The purge aborts the write; its end is still collected here, so that the record is
            // free before the next write starts and no write is ever left behind.
            SetEvent(FPurgeDone);
            break;
        case WAIT_OBJECT_0 + 2:
            if (GetOverlappedResult(FHandle, &FWriteOverlapped, &written, TRUE))
                CompleteWrite(written, run);
            else
                ResetEvent(FWriteOverlapped.hEvent);
            return;
        default:
            throw EAfComPortCoreError("Write thread cannot wait for its write");
        }
    }
}

TAfComPortWriteThread::TStart TAfComPortWriteThread::StartWrite(TRun& Run, DWORD& Written)
{
    // The device reads the run in place, and only producers, which append behind it, may touch
    // the ring while it does; the start never blocks, as the handle is overlapped.
    TAfSectionGuard guard(FCore->FWriteLock);
    Run.Requested = static_cast<DWORD>(FBuffer.ContiguousCount());
    Run.PurgeCount = FPurgeCount;
    if (Run.Requested == 0)
        return TStart::Nothing;
    if (WriteFile(FHandle, FBuffer.ReadPointer(), Run.Requested, &Written, &FWriteOverlapped))
        return TStart::Done;
    return GetLastError() == ERROR_IO_PENDING ? TStart::Pending : TStart::Nothing;
}

void TAfComPortWriteThread::CompleteWrite(DWORD Written, const TRun& Run)
{
    ResetEvent(FWriteOverlapped.hEvent);
    if (Written != Run.Requested)
        return;
    {
        TAfSectionGuard guard(FCore->FWriteLock);
        // A purge since the run was taken has dropped it already; what the ring holds now was
        // queued afterwards and has not been sent.
        if (Run.PurgeCount != FPurgeCount)
            return;
        FBuffer.Remove(static_cast<std::int32_t>(Run.Requested));
        if (FBuffer.UsedCount() > 0) {
            SetEvent(FDataReady);
            return;
        }
    }
    SetEvent(FCore->FOutputEmpty);
}
