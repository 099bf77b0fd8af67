// Inside the port core: its two worker threads. Only the core's own files include this header;
// an owner of a core sees neither thread. The lock order and what each lock guards are stated
// in AfComPortCore.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "AfCircularBuffer.h"
#include "AfComPortCore.h"
#include "AfThread.h"
#include "platform/AfWinTypes.h"

// A message that names a COM number: Prefix, the number, Suffix.
inline std::string WithComNumber(const char* Prefix, std::int32_t Number, const char* Suffix = "")
{
    return std::string(Prefix) + std::to_string(Number) + Suffix;
}

// What both worker threads share: the stop event, the core, the device handle, the reporting of
// exceptions and the stop sequence.
class TAfComPortCoreThread : public TThread {
public:
    explicit TAfComPortCoreThread(TAfComPortCore* Core);
    ~TAfComPortCoreThread() override;

    // Stops the thread, waits for its end and deletes it. Called by the core, inside its
    // FDeviceLock; the object is gone when this returns.
    virtual void StopThread();

protected:
    // Called from inside an exception handler.
    virtual void HandleException();
    // Shows FException on the thread that owns the notification channel.
    void ShowThreadException();

    std::exception_ptr FException;
    HANDLE FStopEvent;
    TAfComPortCore* FCore;
    HANDLE FHandle;
};

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

class TAfComPortWriteThread : public TAfComPortCoreThread {
public:
    explicit TAfComPortWriteThread(TAfComPortCore* Core);
    ~TAfComPortWriteThread() override;

    void StopThread() override;
    // Appends all Count bytes to the ring (true) or nothing (false). The caller then wakes the
    // thread by setting DataReady().
    bool QueueData(const void* Buffer, std::int32_t Count);
    HANDLE DataReady() const { return FDataReady; }
    // Drops what is queued and aborts the device's transmit side; false when the thread did not
    // answer within 2000 ms (nothing purged then). One purger at a time: the caller holds the
    // core's FPurgeLock.
    bool PurgeOutput();

    // Ring counts; the caller holds the core's FWriteLock.
    std::int32_t UsedCount() const { return FBuffer.UsedCount(); }
    std::int32_t FreeCount() const { return FBuffer.FreeCount(); }

protected:
    void Execute() override;

private:
    // A run of the ring handed to the device, and the purge count when it was taken.
    struct TRun {
        DWORD Requested = 0;
        std::uint32_t PurgeCount = 0;
    };
    enum class TStart { Nothing, Done, Pending };

    // Writes the next run and waits for its end; purge requests are answered meanwhile.
    void WriteNextRun(const HANDLE (&BusySet)[3]);
    // Takes the next run and starts its device write, both under FWriteLock.
    TStart StartWrite(TRun& Run, DWORD& Written);
    void CompleteWrite(DWORD Written, const TRun& Run);

    HANDLE FPurgeDone;
    HANDLE FPurgeRequest;
    HANDLE FDataReady;
    OVERLAPPED FWriteOverlapped{};
    TAfCircularBuffer FBuffer;
    // Counts purges (under FWriteLock), so that a write that completes after a purge does not
    // remove bytes that were queued after it.
    std::uint32_t FPurgeCount = 0;
};
