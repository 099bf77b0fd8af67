// The port core: owns one serial device while it is open, configures it, runs its event thread
// and write thread, and serves its owner (queueing output, reading input, purging, status, modem
// lines). Every event of the event thread goes to one owner callback.
//
// Locks, always taken in this order (none is ever taken while a later one is held):
// - FDeviceLock: device status and line errors, reads, the input purge, the event thread's
//   object, and the whole of stopping the device;
// - FPurgeLock: one output purge at a time, each with the write thread's answer to its own
//   request; the write thread's object stays alive while a purge holds it;
// - FWriteLock: the write thread's ring and object, and the start of every device write, so that
//   a purge (which clears the ring and aborts the device's writes under it) lands either before a
//   run is taken or after the device has it, never in between.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "AfCircularBuffer.h"
#include "AfExceptions.h"
#include "AfObject.h"
#include "AfThread.h"
#include "platform/AfWinTypes.h"
#include "platform/Dcb.h"

// What the event thread reports to the core's owner.
enum TAfCoreEvent : std::uint8_t {
    ceOutputEmpty,    // the transmit ring ran empty after a completed write; Data 0
    ceCommEvent,      // WaitCommEvent completed; Data is the EV_ mask as the device gave it
    ceInputPending,   // no comm event for 200 ms and input is queued; Data is cbInQue
    ceThreadException // an exception reached the event thread; Data 0, Exception carries it
};

// The owner callback, called on the event thread with the core as Sender. For
// ceThreadException, Exception holds the exception (the receiver owns it from then on and may
// rethrow it); for every other kind it is null. A device that stops serving event waits (it went
// away) is reported this way once per open, as EAfComPortCoreError "Device COM<n> failed". A
// silent abort (EAbort) that the callback raises is dropped, also from the report of an exception
// (an owner that cannot pass the report on), and the thread goes on.
using TAfCPTCoreEvent =
    std::function<void(TObject* Sender, TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Exception)>;

// Raised by the core when an open fails or a DCB is refused; carries only its message.
class EAfComPortCoreError : public Exception {
public:
    using Exception::Exception;
};

// The device name of COM `Number`: the path it is mapped to on this machine, else "COM<n>".
std::string ComDeviceName(int Number);

class TAfComPortEventThread;
class TAfComPortWriteThread;

class TAfComPortCore : public TObject {
public:
    TAfComPortCore();
    ~TAfComPortCore() override;

    // False, with nothing done, when already open; true after a complete open. Raises
    // EAfComPortCoreError when a step fails, leaving the core closed with no handle and no thread.
    bool Open(std::int32_t ComNumber);
    void Close();
    bool IsOpen() const { return FOpened.load(std::memory_order_acquire); }
    HANDLE Handle() const { return FHandle; }

    ::DCB DCB() const { return FDCB; }
    // Applies the DCB at once while active (raises "Error setting parameters from DCB" when the
    // device refuses it; the core then holds the state in force).
    void SetDCB(const ::DCB& Value);

    // Used from the next open on.
    TAfCPTCoreEvent OnCoreEvent;

    std::int32_t InQueueSize() const { return FInQueueSize; }
    std::int32_t OutQueueSize() const { return FOutQueueSize; }
    void SetInQueueSize(std::int32_t Value) { FInQueueSize = Value; }
    void SetOutQueueSize(std::int32_t Value) { FOutQueueSize = Value; }
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value);
    void SetWriteThreadPriority(TThreadPriority Value);

    std::int32_t ComNumber() const { return FComNumber; }
    DWORD EventMask() const { return FEventMask; }
    std::string DeviceName() const;

    // Not active: zeros. Otherwise ClearCommError; its error bits add to the line errors.
    void GetComStat(COMSTAT& Stat);
    // The line errors collected since the last call (0 when not active).
    DWORD TakeLineErrors();
    bool EscapeFunction(DWORD Func);
    // True only when all Count bytes fitted into the transmit ring; nothing queued otherwise.
    bool WriteData(const void* Buffer, std::int32_t Count);
    // Bytes copied into Buffer (0 to Count); -1 when not active.
    std::int32_t ReadData(void* Buffer, std::int32_t Count);
    bool PurgeInput();
    bool PurgeOutput();
    std::int32_t OutputUsed();
    std::int32_t OutputFree();

private:
    friend class TAfComPortCoreThread;
    friend class TAfComPortEventThread;
    friend class TAfComPortWriteThread;

    void StartDevice();
    void StopDevice();
    void ApplyTimeouts();
    void ApplyQueueSizes();
    void ApplyEventMask();
    void ApplyDCB();
    void WaitThreadStarted();
    // FDeviceLock for callers on any thread. On the event thread it gives up (false) once the
    // device is being stopped, since the stopping thread holds the lock while it waits for the
    // event thread to end.
    bool EnterDeviceLock();
    bool OnEventThread() const;
    // A new worker thread of this core; a failure to make it raises "Error creating threads".
    template <class TWorker> TWorker* NewThread();

    std::atomic<bool> FActive{false};
    std::int32_t FComNumber = 0;
    ::DCB FDCB{};
    DWORD FEventMask = 0x1B9;
    HANDLE FHandle;
    std::atomic<bool> FOpened{false};
    DWORD FLineErrors = 0;
    std::int32_t FInQueueSize = 8192;
    std::int32_t FOutQueueSize = 4096;
    CRITICAL_SECTION FDeviceLock;
    CRITICAL_SECTION FPurgeLock;
    CRITICAL_SECTION FWriteLock;
    TAfComPortEventThread* FEventThread = nullptr; // set and cleared under FDeviceLock
    HANDLE FThreadStarted;
    HANDLE FOutputEmpty;
    TAfComPortWriteThread* FWriteThread = nullptr; // cleared under FPurgeLock and FWriteLock
    std::atomic<TThreadPriority> FWriteThreadPriority{tpHigher};
    std::atomic<TThreadPriority> FEventThreadPriority{tpNormal};
};

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
