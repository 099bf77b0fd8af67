// Inside the port core: its event thread, which waits for the device's comm events and hands them
// to the core's owner callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfObject.h>

#include "AfComPortCoreThread_p.h"

namespace vexora::serial {

// What the core hands its event thread. Every handle stays the core's.
struct TAfEventThreadContext {
    platform::HANDLE Handle = platform::INVALID_HANDLE_VALUE; // the open device
    platform::DWORD EventMask = 0;            // the events the device was told to report (SetCommMask)
    std::int32_t ComNumber = 0;               // for the message of a device that failed
    platform::HANDLE ThreadStarted = nullptr; // set once, as the loop is about to begin
    platform::HANDLE OutputEmpty = nullptr;   // auto reset: the write thread's ring ran empty
    TObject* Sender = nullptr;                // the core: the Sender of every report
    TAfCPTCoreEvent OnCoreEvent;              // the owner callback, as it was at the open
    // The core's status query: the received bytes not read yet, the line errors collected on the
    // way. Takes the core's device lock; 0 once the device is being stopped.
    std::function<platform::DWORD()> QueuedInput;
};

class TAfComPortEventThread : public TAfComPortCoreThread {
public:
    explicit TAfComPortEventThread(TAfEventThreadContext Context);
    ~TAfComPortEventThread() override;

    void StopThread() override;
    // The Sender of the event thread that is the calling thread (its core); null on any other
    // thread.
    static const TObject* RunningCore();

protected:
    void Execute() override;
    void HandleException() override;

private:
    void FireEvent(TAfCoreEvent Kind, platform::DWORD Data);
    void HandleWaitCompleted();
    void PollInput();
    // Reports, once per open, that the device stopped serving event waits.
    void DeviceFailed();

    const platform::DWORD FWaitMask;
    const std::int32_t FComNumber;
    const platform::HANDLE FOutputEmpty;
    TObject* const FSender;
    const std::function<platform::DWORD()> FQueuedInput;
    platform::DWORD FEventMask = 0;
    bool FWaitPending = false;
    // Input may be queued unread: the 200 ms poll runs only then.
    bool FInputQueued = false;
    platform::OVERLAPPED FWaitOverlapped{};
    TAfCPTCoreEvent FOnCoreEvent;
    // Cleared by StopThread: no report leaves the thread from then on.
    std::atomic<bool> FReporting{true};
    bool FDeviceFailed = false;
};

} // namespace vexora::serial
