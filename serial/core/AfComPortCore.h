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
