#include <vexora/serial/AfComPortCore.h>

#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfComPortEventThread_p.h"
#include "AfComPortWriteThread_p.h"

namespace vexora::serial {

using namespace platform;

namespace {

// How long the event thread waits for the device lock before it looks whether a stop has begun.
constexpr DWORD kDeviceLockTryMs = 10;
constexpr DWORD kThreadStartMs = 3000;

} // namespace

std::string ComDeviceName(int Number)
{
    std::string path = ComPortDevicePath(Number);
    return path.empty() ? WithComNumber("COM", Number) : path;
}

TAfComPortCore::TAfComPortCore() : FHandle(INVALID_HANDLE_VALUE)
{
    InitializeCriticalSection(&FDeviceLock);
    InitializeCriticalSection(&FPurgeLock);
    InitializeCriticalSection(&FWriteLock);
    FThreadStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FOutputEmpty = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    FReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

TAfComPortCore::~TAfComPortCore()
{
    Close();
    DisposeHandle(FThreadStarted);
    DisposeHandle(FOutputEmpty);
    DisposeHandle(FReadOverlapped.hEvent);
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

void TAfComPortCore::SetDCB(const platform::DCB& Value)
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
    return TAfComPortEventThread::RunningCore() == this;
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

bool TAfComPortCore::EnterActiveDevice()
{
    if (!FActive || !EnterDeviceLock())
        return false;
    if (FActive)
        return true;
    // The stop that held the lock has ended: the handle is going.
    LeaveCriticalSection(&FDeviceLock);
    return false;
}

void TAfComPortCore::GetComStat(COMSTAT& Stat)
{
    Stat = COMSTAT{};
    if (!EnterActiveDevice())
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
    if (!EnterActiveDevice())
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
    if (!EnterActiveDevice())
        return -1;
    const std::int32_t result = ReadDevice(Buffer, Count);
    LeaveCriticalSection(&FDeviceLock);
    return result;
}

bool TAfComPortCore::ReadExactly(void* Buffer, std::int32_t Count)
{
    if (Count < 0 || (Count > 0 && Buffer == nullptr) || !EnterActiveDevice())
        return false;
    // Only readers under the device lock take bytes from the driver's queue, so what the status
    // counts is still there for the read.
    COMSTAT stat{};
    DWORD errors = 0;
    bool read = false;
    if (ClearCommError(FHandle, &errors, &stat)) {
        FLineErrors |= errors;
        read = stat.cbInQue >= static_cast<DWORD>(Count) && ReadDevice(Buffer, Count) == Count;
    }
    LeaveCriticalSection(&FDeviceLock);
    return read;
}

std::int32_t TAfComPortCore::ReadDevice(void* Buffer, std::int32_t Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    DWORD read = 0;
    // With the time-outs of the open, a read returns at once with what is queued.
    if (!ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), &read, &FReadOverlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            if (GetOverlappedResult(FHandle, &FReadOverlapped, &read, TRUE))
                ResetEvent(FReadOverlapped.hEvent);
        }
    }
    return static_cast<std::int32_t>(read);
}

bool TAfComPortCore::PurgeInput()
{
    if (!EnterActiveDevice())
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
        ResetReadRecord();

        ResetEvent(FThreadStarted);
        auto* writeThread = NewThread<TAfComPortWriteThread>(WriteThreadContext());
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
            FEventThread = NewThread<TAfComPortEventThread>(EventThreadContext());
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

void TAfComPortCore::ResetReadRecord()
{
    const HANDLE event = FReadOverlapped.hEvent;
    FReadOverlapped = OVERLAPPED{};
    FReadOverlapped.hEvent = event;
    ResetEvent(event);
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

TAfEventThreadContext TAfComPortCore::EventThreadContext()
{
    TAfEventThreadContext context;
    context.Handle = FHandle;
    context.EventMask = FEventMask;
    context.ComNumber = FComNumber;
    context.ThreadStarted = FThreadStarted;
    context.OutputEmpty = FOutputEmpty;
    context.Sender = this;
    context.OnCoreEvent = OnCoreEvent;
    context.QueuedInput = [this] {
        COMSTAT stat{};
        GetComStat(stat);
        return stat.cbInQue;
    };
    return context;
}

TAfWriteThreadContext TAfComPortCore::WriteThreadContext()
{
    TAfWriteThreadContext context;
    context.Handle = FHandle;
    context.ThreadStarted = FThreadStarted;
    context.OutputEmpty = FOutputEmpty;
    context.WriteLock = &FWriteLock;
    context.RingSize = FOutQueueSize;
    return context;
}

template <class TWorker, class TContext> TWorker* TAfComPortCore::NewThread(const TContext& Context)
{
    try {
        return new TWorker(Context);
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

} // namespace vexora::serial
