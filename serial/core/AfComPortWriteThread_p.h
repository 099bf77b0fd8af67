// Inside the port core: its write thread, which owns the transmit ring and drains it into the
// device.
#pragma once

#include <cstdint>

#include <vexora/serial/AfCircularBuffer.h>
#include <vexora/serial/platform/AfWinTypes.h>

#include "AfComPortCoreThread_p.h"

namespace vexora::serial {

// What the core hands its write thread. The handles and the lock stay the core's.
struct TAfWriteThreadContext {
    platform::HANDLE Handle = platform::INVALID_HANDLE_VALUE; // the open device
    platform::HANDLE ThreadStarted = nullptr;                 // set once, as the loop is about to begin
    platform::HANDLE OutputEmpty = nullptr; // set whenever a completed write leaves the ring empty
    // The ring's lock (the core's FWriteLock): every access to the ring, and the start of every
    // device write.
    platform::CRITICAL_SECTION* WriteLock = nullptr;
    std::int32_t RingSize = 0; // the ring's capacity (the core's output queue size)
};

class TAfComPortWriteThread : public TAfComPortCoreThread {
public:
    explicit TAfComPortWriteThread(const TAfWriteThreadContext& Context);
    ~TAfComPortWriteThread() override;

    void StopThread() override;
    // Appends all Count bytes to the ring (true) or nothing (false). The caller then wakes the
    // thread by setting DataReady().
    bool QueueData(const void* Buffer, std::int32_t Count);
    platform::HANDLE DataReady() const { return FDataReady; }
    // Drops what is queued and aborts the device's transmit side; false when the thread did not
    // answer within 2000 ms (nothing purged then). One purger at a time: the caller holds the
    // core's FPurgeLock.
    bool PurgeOutput();

    // Ring counts; the caller holds the write lock.
    std::int32_t UsedCount() const { return FBuffer.UsedCount(); }
    std::int32_t FreeCount() const { return FBuffer.FreeCount(); }

protected:
    void Execute() override;

private:
    // A run of the ring handed to the device, and the purge count when it was taken.
    struct TRun {
        platform::DWORD Requested = 0;
        std::uint32_t PurgeCount = 0;
    };
    enum class TStart { Nothing, Done, Pending };

    // Writes the next run and waits for its end; purge requests are answered meanwhile.
    void WriteNextRun(const platform::HANDLE (&BusySet)[3]);
    // Takes the next run and starts its device write, both under FWriteLock.
    TStart StartWrite(TRun& Run, platform::DWORD& Written);
    void CompleteWrite(platform::DWORD Written, const TRun& Run);

    const platform::HANDLE FOutputEmpty;
    platform::CRITICAL_SECTION& FWriteLock;
    platform::HANDLE FPurgeDone;
    platform::HANDLE FPurgeRequest;
    platform::HANDLE FDataReady;
    platform::OVERLAPPED FWriteOverlapped{};
    TAfCircularBuffer FBuffer;
    // Counts purges (under FWriteLock), so that a write that completes after a purge does not
    // remove bytes that were queued after it.
    std::uint32_t FPurgeCount = 0;
};

} // namespace vexora::serial
