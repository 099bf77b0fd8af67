// The event thread of a port core: waits for comm events, the output-empty signal and its stop,
// polls unread input every 200 ms, and hands each event to the core's owner callback.
#include <utility>

#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfComPortEventThread_p.h"

namespace vexora::serial {

using namespace platform;

namespace {

// The core whose event thread is the calling thread, if any.
thread_local const TObject* t_runningCore = nullptr;

constexpr DWORD kEventPollMs = 200;

} // namespace

const TObject* TAfComPortEventThread::RunningCore()
{
    return t_runningCore;
}

TAfComPortEventThread::TAfComPortEventThread(TAfEventThreadContext Context)
    : TAfComPortCoreThread(Context.Handle, Context.ThreadStarted), FWaitMask(Context.EventMask),
      FComNumber(Context.ComNumber), FOutputEmpty(Context.OutputEmpty), FSender(Context.Sender),
      FQueuedInput(std::move(Context.QueuedInput)), FOnCoreEvent(std::move(Context.OnCoreEvent))
{
    FWaitOverlapped.hEvent = INVALID_HANDLE_VALUE;
    Resume();
}

TAfComPortEventThread::~TAfComPortEventThread()
{
    DisposeHandle(FWaitOverlapped.hEvent);
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
        explicit TEventThreadMark(const TObject* Core) { t_runningCore = Core; }
        ~TEventThreadMark() { t_runningCore = nullptr; }
    } mark(FSender);
    try {
        FWaitOverlapped = OVERLAPPED{};
        FWaitOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(FOutputEmpty);
        const HANDLE waitSet[3] = {FStopEvent, FWaitOverlapped.hEvent, FOutputEmpty};
        FWaitPending = false;
        FInputQueued = false;
        const bool arrivalEndsWait = (FWaitMask & EV_RXCHAR) != 0;
        SignalStarted();

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
    // The owner may leave the bytes unread: the next poll, the only place where this thread asks
    // the driver for its count, finds out and reminds it. The owner that reads asks for the
    // count itself, so the event costs the driver one query, not two.
    if (FEventMask & EV_RXCHAR)
        FInputQueued = true;
    FireEvent(ceCommEvent, FEventMask);
}

void TAfComPortEventThread::PollInput()
{
    const DWORD queued = FQueuedInput ? FQueuedInput() : 0;
    FInputQueued = queued > 0;
    if (queued > 0)
        FireEvent(ceInputPending, queued);
}

void TAfComPortEventThread::DeviceFailed()
{
    if (FDeviceFailed || Terminated() || !FReporting)
        return;
    FDeviceFailed = true;
    try {
        throw EAfComPortCoreError(WithComNumber("Device COM", FComNumber, " failed"));
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
        FOnCoreEvent(FSender, Kind, Data, nullptr);
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
            FOnCoreEvent(FSender, ceThreadException, 0, std::move(error));
        } catch (const EAbort&) {
            // The owner could not pass the report on (its receiver is disabled, or it has none):
            // the report is dropped, and the thread goes on.
        }
    } else if (!Terminated()) {
        ShowThreadException();
    }
}

} // namespace vexora::serial
