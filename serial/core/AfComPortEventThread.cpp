// The event thread of a port core: waits for comm events, the output-empty signal and its stop,
// polls unread input every 200 ms, and hands each event to the core's owner callback.
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfComPortEventThread_p.h"

namespace {

// The core whose event thread is the calling thread, if any.
thread_local const TAfComPortCore* t_runningCore = nullptr;

constexpr DWORD kEventPollMs = 200;

} // namespace

const TAfComPortCore* TAfComPortEventThread::RunningCore()
{
    return t_runningCore;
}

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
        explicit TEventThreadMark(const TAfComPortCore* Core) { t_runningCore = Core; }
        ~TEventThreadMark() { t_runningCore = nullptr; }
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
