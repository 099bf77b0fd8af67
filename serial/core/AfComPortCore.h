/// \file
/// The port core: owns one serial device while it is open, configures it, runs its event thread
/// and write thread, and serves its owner (queueing output, reading input, purging, status, modem
/// lines). Every event of the event thread goes to one owner callback.
//
// Locks, always taken in this order (none is ever taken while a later one is held):
// - FDeviceLock: device status and line errors, reads (and their OVERLAPPED record), the input
//   purge, the event thread's object, and the whole of stopping the device;
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

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfObject.h>
#include <vexora/serial/AfThread.h>
#include <vexora/serial/platform/AfWinTypes.h>
#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial {

/// What the event thread reports to the core's owner.
enum TAfCoreEvent : std::uint8_t {
    ceOutputEmpty,    ///< The transmit ring ran empty after a completed write; Data 0.
    ceCommEvent,      ///< WaitCommEvent completed; Data is the EV_ mask as the device gave it.
    ceInputPending,   ///< No comm event for 200 ms and input is queued; Data is cbInQue.
    ceThreadException ///< An exception reached the event thread; Data 0, Exception carries it.
};

/// The owner callback, called on the event thread with the core as Sender, one event at a time.
/// For ceThreadException, Exception holds the exception (the receiver owns it from then on and may
/// rethrow it); for every other kind it is null. A device that stops serving event waits (it went
/// away) is reported this way once per open, as EAfComPortCoreError `"Device COM<n> failed"`. An
/// exception that the callback raises is reported back to it as ceThreadException, and the thread
/// goes on; a silent abort (EAbort) that the callback raises is dropped, also from the report of
/// an exception (an owner that cannot pass the report on). An exception other than EAbort raised
/// while it handles a ceThreadException ends the event thread: the port stays open but reports
/// nothing more. The event thread waits for every call, and while it does, no other event is
/// reported: the callback should hand over and return.
using TAfCPTCoreEvent = std::function<void(TObject* Sender, TAfCoreEvent EventKind, platform::DWORD Data,
                                           std::exception_ptr Exception)>;

/// Raised by the core when an open fails or a DCB is refused; carries only its message.
class VEXORA_SERIAL_API EAfComPortCoreError : public Exception {
public:
    using Exception::Exception;
};

/// The device name of COM `Number`: the path it is mapped to on this machine (ComPortDevicePath),
/// else `"COM<n>"`, which CreateFileA then reports as not found. Any thread; looks at the port
/// directory and may scan /dev.
VEXORA_SERIAL_API std::string ComDeviceName(int Number);

class TAfComPortEventThread;
class TAfComPortWriteThread;
struct TAfEventThreadContext;
struct TAfWriteThreadContext;

/// The port core: one serial device while it is open, with its event thread and write thread. The
/// port component owns one for its whole life; a program may also use one on its own.
///
///     TAfComPortCore core;
///     core.SetDCB(LineSettingsToDCB(settings));  // a zero DCB is refused at the open
///     core.OnCoreEvent = [](TObject*, TAfCoreEvent kind, DWORD data, std::exception_ptr) { ... };
///     core.Open(3);                               // raises EAfComPortCoreError
///     core.WriteData(frame, 11);
///     ...
///     core.Close();
///
/// Threads. The owner calls every member from one thread of its own (the port component: the
/// user-interface thread). The owner callback runs on the event thread; from there it may call
/// GetComStat, TakeLineErrors, ReadData, PurgeInput and the output members. WriteData,
/// PurgeOutput, OutputUsed and OutputFree may be called on any thread.
///
/// Errors. Open raises EAfComPortCoreError when a step fails, and SetDCB when the device refuses
/// the DCB; every other member reports by its result (false, 0, -1, zeros), also on a closed core.
///
/// Costs. Open and Close block (see there). Every other member takes at most one of the core's
/// locks for a moment, allocates nothing and never waits for the line; a read copies from the
/// driver's input queue, a write into the transmit ring, which the write thread hands to the
/// device in place. While the port is idle the event thread sleeps; it polls every 200 ms only
/// while unread input is queued, to remind the owner with ceInputPending.
class VEXORA_SERIAL_API TAfComPortCore : public TObject {
public:
    /// A closed core: input queue 8192, output queue 4096, event thread tpNormal, write thread
    /// tpHigher, a zero DCB. Creates two events and the locks; raises nothing.
    TAfComPortCore();
    /// Close, then releases the events and the locks.
    ~TAfComPortCore() override;

    /// Opens COM `ComNumber` exclusively and starts it: time-outs, queue sizes, event mask, DCB,
    /// then the write thread and the event thread, each waited for until it runs. False, with
    /// nothing done, when already open; true after a complete open. Raises EAfComPortCoreError
    /// when a step fails, leaving the core closed with no handle and no thread: `"Invalid port
    /// number (COM<n>)"` for a number of 0 or less or a port that does not exist, `"Can't open
    /// device COM<n>"` for one that exists but cannot be opened (held by another program, no
    /// permission), "Error setting timeouts", "Error initializing buffers" (also for a negative
    /// queue size), " Error setting EventMask", "Error setting parameters from DCB" (the DCB then
    /// holds the device's state) and "Error creating threads" (no thread to be had, or a thread
    /// that did not start within 3000 ms). Blocks for the device's open and set-up and for both
    /// threads' start; allocates the transmit ring (OutQueueSize bytes) and the two threads.
    bool Open(std::int32_t ComNumber);
    /// If open: purges both directions, stops the write thread (dropping what is queued; it waits
    /// up to 2000 ms for the thread's answer to the purge), stops the event thread (no report
    /// after that), waits for both to end and closes the device; otherwise nothing. Blocks until
    /// both threads have ended; on the thread that owns the notification channel it serves the
    /// channel meanwhile, so a report that is being handed over ends. Holds the device lock
    /// throughout: on the event thread, reads and status queries give up (-1, zeros) rather than
    /// wait for it. Raises nothing.
    void Close();
    /// Whether the core is open: true only after a complete Open, false again after Close. Any
    /// thread.
    bool IsOpen() const { return FOpened.load(std::memory_order_acquire); }
    /// The device handle while open (for GetCommConfig and the like); INVALID_HANDLE_VALUE when
    /// closed. The owner's thread.
    platform::HANDLE Handle() const { return FHandle; }

    /// The DCB last set, or the device's state read back after a refusal.
    platform::DCB DCB() const { return FDCB; }
    /// Stores the DCB (the core changes no field of it). While open it is applied at once, which
    /// raises "Error setting parameters from DCB" when the device refuses it; the core then holds
    /// the state in force (read back from the device) and the device keeps it. While closed it is
    /// applied at the next open. The owner's thread; costs a device call while open.
    void SetDCB(const platform::DCB& Value);

    /// The owner callback. The event thread takes a copy at each open, so a change takes effect at
    /// the next open; set it on the owner's thread.
    TAfCPTCoreEvent OnCoreEvent;

    /// The driver's input queue size (SetupComm) for the next open; default 8192.
    std::int32_t InQueueSize() const { return FInQueueSize; }
    /// The driver's output queue size and the capacity of the transmit ring, for the next open;
    /// default 4096.
    std::int32_t OutQueueSize() const { return FOutQueueSize; }
    /// Used from the next open on (a size of 0 or less makes that open fail).
    void SetInQueueSize(std::int32_t Value) { FInQueueSize = Value; }
    /// Used from the next open on (a negative size makes that open fail; 0 refuses every write).
    void SetOutQueueSize(std::int32_t Value) { FOutQueueSize = Value; }
    /// The event thread's priority; default tpNormal.
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    /// The write thread's priority; default tpHigher.
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    /// Stores the level; while open the running event thread gets it at once (under the device
    /// lock), otherwise the next one.
    void SetEventThreadPriority(TThreadPriority Value);
    /// Stores the level; while open the running write thread gets it at once (under the write
    /// lock), otherwise the next one.
    void SetWriteThreadPriority(TThreadPriority Value);

    /// The COM number of the current or last open; 0 before the first.
    std::int32_t ComNumber() const { return FComNumber; }
    /// The events the event thread waits for: 0x1B9, EV_RXCHAR, EV_CTS, EV_DSR, EV_RLSD, EV_ERR
    /// and EV_RING.
    platform::DWORD EventMask() const { return FEventMask; }
    /// ComDeviceName(ComNumber()).
    std::string DeviceName() const;

    /// Not active: zeros. Otherwise ClearCommError, under the device lock; its error bits add to
    /// the line errors (TakeLineErrors), and cbInQue is the input not read yet. On a device error
    /// the COMSTAT is zeros.
    void GetComStat(platform::COMSTAT& Stat);
    /// The CE_ line errors that GetComStat calls (the event thread's polls included) collected
    /// since the last call, and resets them; 0 when not active. Under the device lock.
    platform::DWORD TakeLineErrors();
    /// Active: EscapeCommFunction with `Func` (SETDTR, CLRDTR, SETRTS, CLRRTS and the like); its
    /// success. Not active: false. Takes no lock: the owner's thread only.
    bool EscapeFunction(platform::DWORD Func);
    /// Queues Count bytes for sending and wakes the write thread. True only when all Count bytes
    /// fitted into the transmit ring; nothing queued otherwise (also for Count below 1, a null
    /// Buffer, or when not active). Copies the bytes; never waits for the device.
    bool WriteData(const void* Buffer, std::int32_t Count);
    /// One read of what the driver has queued: the bytes copied into Buffer (0 to Count; 0 for
    /// Count below 1 or a null Buffer); -1 when not active, and on the event thread once a close
    /// has begun. Never waits for bytes to arrive. Under the device lock.
    std::int32_t ReadData(void* Buffer, std::int32_t Count);
    /// Reads exactly Count bytes, or none: true when Count bytes were copied into Buffer (also for
    /// Count 0); false, with nothing read, when fewer wait in the driver's input queue, for a
    /// negative Count or a null Buffer, when not active, and on the event thread once a close has
    /// begun. The bytes that were too few stay queued for the next read. Never waits for bytes to
    /// arrive. A status query and a read under one hold of the device lock; the status query's
    /// line errors add to TakeLineErrors' as GetComStat's do.
    bool ReadExactly(void* Buffer, std::int32_t Count);
    /// Drops the received bytes, queued and in the kernel; its success, false when not active.
    /// Under the device lock.
    bool PurgeInput();
    /// Drops what is queued for sending and aborts the device's writes (no ceOutputEmpty follows
    /// for them); true when done. False when not active, and when the write thread did not answer
    /// within 2000 ms (nothing purged then). One purge at a time; waits for the write thread's
    /// answer, which comes at once unless it is stuck.
    bool PurgeOutput();
    /// Bytes queued whose write has not completed yet; 0 when not active.
    std::int32_t OutputUsed();
    /// Room left in the transmit ring for WriteData; 0 when not active.
    std::int32_t OutputFree();

private:
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
    // FDeviceLock for a call that needs the device: false, without the lock, when not active (also
    // when the device began to stop while the caller waited for the lock).
    bool EnterActiveDevice();
    // One overlapped read of the device, at most Count bytes; under FDeviceLock.
    std::int32_t ReadDevice(void* Buffer, std::int32_t Count);
    // A zeroed read record with its event, cleared; at each open, before reads are let in.
    void ResetReadRecord();
    // What each worker thread is handed: the device and the objects of this core it meets.
    TAfEventThreadContext EventThreadContext();
    TAfWriteThreadContext WriteThreadContext();
    // A new worker thread of this core; a failure to make it raises "Error creating threads".
    template <class TWorker, class TContext> TWorker* NewThread(const TContext& Context);

    std::atomic<bool> FActive{false};
    std::int32_t FComNumber = 0;
    platform::DCB FDCB{};
    platform::DWORD FEventMask = 0x1B9;
    platform::HANDLE FHandle;
    std::atomic<bool> FOpened{false};
    platform::DWORD FLineErrors = 0;
    std::int32_t FInQueueSize = 8192;
    std::int32_t FOutQueueSize = 4096;
    platform::CRITICAL_SECTION FDeviceLock;
    platform::CRITICAL_SECTION FPurgeLock;
    platform::CRITICAL_SECTION FWriteLock;
    TAfComPortEventThread* FEventThread = nullptr; // set and cleared under FDeviceLock
    platform::OVERLAPPED FReadOverlapped{};        // every read's, under FDeviceLock
    platform::HANDLE FThreadStarted;
    platform::HANDLE FOutputEmpty;
    TAfComPortWriteThread* FWriteThread = nullptr; // cleared under FPurgeLock and FWriteLock
    std::atomic<TThreadPriority> FWriteThreadPriority{tpHigher};
    std::atomic<TThreadPriority> FEventThreadPriority{tpNormal};
};

} // namespace vexora::serial
