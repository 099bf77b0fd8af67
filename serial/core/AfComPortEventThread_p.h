// Inside the port core: its event thread, which waits for the device's comm events and hands them
// to the core's owner callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "AfComPortCoreThread_p.h"

class TAfComPortEventThread : public TAfComPortCoreThread {
public:
    explicit TAfComPortEventThread(TAfComPortCore* Core);
    ~TAfComPortEventThread() override;

    void StopThread() override;
    // One read of what the device has queued, at most Count bytes; the count read.
    std::int32_t ReadData(void* Buffer, std::int32_t Count);
    // The core whose event thread is the calling thread; null on any other thread.
    static const TAfComPortCore* RunningCore();

protected:
    void Execute() override;
    void HandleException() override;

private:
    void FireEvent(TAfCoreEvent Kind, DWORD Data);
    void HandleWaitCompleted();
    void PollInput();
    // Reports, once per open, that the device stopped serving event waits.
    void DeviceFailed();

    DWORD FEventMask = 0;
    bool FWaitPending = false;
    // Input was queued when the thread last looked: the 200 ms poll runs only then.
    bool FInputQueued = false;
    OVERLAPPED FWaitOverlapped{};
    OVERLAPPED FReadOverlapped{};
    TAfCPTCoreEvent FOnCoreEvent;
    // Cleared by StopThread: no report leaves the thread from then on.
    std::atomic<bool> FReporting{true};
    bool FDeviceFailed = false;
};
