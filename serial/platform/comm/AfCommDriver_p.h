// Inside the comm platform: the small user-space driver behind one open comm handle.
//
// The driver moves bytes in one of two ways, chosen at the open:
// - Directly, for a device that has nothing to report but its bytes (a pseudo-terminal): the
//   callers' own threads take the input in. A read or a status query takes what the device holds,
//   and a wait on the event of a pending WaitCommEvent watches the device itself (the driver is the
//   event's AfWaitSource) and serves it when it shows input. A write goes to the device at once;
//   only output that the device cannot take at once brings up an I/O thread, which feeds it while
//   the caller does other things. An idle port runs no thread of the driver's and costs nothing.
// - Through an I/O thread, for a device with modem lines, line errors or a notify descriptor: it
//   sleeps in poll() on the device and on a wake-up descriptor of its own, fills the input queue,
//   feeds pending writes, watches modem lines and line errors, runs the DTR/DSR handshake and
//   completes overlapped operations. It wakes only for that work: the backend announces line
//   changes (or asks to be polled where its device cannot), and line errors are read when bytes
//   come in, with which they arrive; an open port with nothing to do does not wake.
// Either way the input queue has the SetupComm size. While it is full the device is not read: its
// bytes stay in the kernel, which holds the sender back by its own flow control (or counts an
// overrun), and reading resumes as soon as a caller's read makes room. Everything the callers see
// (queue, events, pending operations and their results) is kept here under one lock, which is
// given up while the device is read; one reader of the device at a time (the pump lock, taken
// before the driver lock), and an input purge or a new queue size waits for the read in flight,
// so that no byte that came after the purge is dropped and none is read without room. The
// callers' OVERLAPPED records are written under that lock too, when an operation starts and when
// it ends (also by a close), Internal last and atomically, for HasOverlappedIoCompleted.
//
// Each operation returns ERROR_SUCCESS, ERROR_IO_PENDING (overlapped operation started) or the
// error that failed it; AfCommApi.cpp turns that into the Win32 result and GetLastError.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/AfCommBackend_p.h"
#include "sync/AfHandles_p.h"
#include "sync/AfWaitable_p.h"

namespace vexora::serial::platform {

// The error of every operation on a device that has gone away (hung-up terminal, unplugged
// adapter), including the operations that were pending when it went.
inline constexpr DWORD AF_ERROR_DEVICE_GONE = ERROR_DEVICE_NOT_CONNECTED;

// Whether a DCB asks for something sensible that this platform can do: ERROR_SUCCESS,
// ERROR_INVALID_PARAMETER (rate 0, data bits outside 5-8, unknown parity or stop-bit codes, 1.5
// stop bits with more than 5 data bits, equal XON and XOFF characters, also without XON/XOFF) or
// ERROR_NOT_SUPPORTED (RTS toggle). Two stop bits with 5 data bits are fine: the line runs 1.5.
DWORD AfCheckDcb(const DCB& dcb);

// Whether the driver can keep the time-outs: ERROR_SUCCESS for reads that return at once with
// what is queued (ReadIntervalTimeout MAXDWORD, the read totals 0) and writes without a time
// limit (the write totals 0); ERROR_INVALID_PARAMETER for all three read values MAXDWORD;
// ERROR_NOT_SUPPORTED for everything else (reads that wait, writes that time out).
DWORD AfCheckTimeouts(const COMMTIMEOUTS& timeouts);

class AfCommDriver final : public AfHandleObject,
                           public AfWaitSource,
                           public std::enable_shared_from_this<AfCommDriver> {
public:
    static constexpr unsigned kKind = kAfCommDevice;
    static constexpr DWORD kDefaultInQueue = 4096;
    static constexpr DWORD kMaxQueue = 16u << 20;

    // `overlapped`: the handle was opened with FILE_FLAG_OVERLAPPED.
    AfCommDriver(std::unique_ptr<AfCommBackend> backend, bool overlapped);
    ~AfCommDriver() override;
    AfCommDriver(const AfCommDriver&) = delete;
    AfCommDriver& operator=(const AfCommDriver&) = delete;

    // Reads the device's state, drops what the device received before the open (a port starts
    // with empty queues) and starts the I/O thread where the device needs one.
    DWORD Start();
    // Ends pending operations with ERROR_OPERATION_ABORTED, stops the I/O thread and releases the
    // device at once.
    void Closed() override;

    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
    DWORD GetTimeouts(COMMTIMEOUTS& timeouts);
    DWORD Setup(DWORD inQueue, DWORD outQueue);
    DWORD SetMask(DWORD mask);
    DWORD GetMask(DWORD& mask);
    DWORD SetState(const DCB& dcb);
    DWORD GetState(DCB& dcb);
    DWORD WaitEvent(DWORD* mask, OVERLAPPED* overlapped);
    // Never waits: takes min(count, queued) bytes. Room made in a full queue lets the device's
    // held-back bytes in at once. Read and Write refuse a missing OVERLAPPED on an overlapped
    // handle.
    DWORD Read(void* buffer, DWORD count, DWORD& read, OVERLAPPED* overlapped);
    // The device reads straight from `buffer` until the write completes or is aborted.
    DWORD Write(const void* buffer, DWORD count, DWORD& written, OVERLAPPED* overlapped);
    DWORD Result(OVERLAPPED* overlapped, DWORD& transferred, bool wait);
    DWORD ClearError(DWORD& errors, COMSTAT* stat);
    DWORD Purge(DWORD flags);
    // SETDTR and CLRDTR are refused (ERROR_INVALID_PARAMETER) while the DTR line belongs to the
    // handshake.
    DWORD Escape(DWORD function);
    DWORD ModemStatus(DWORD& status);

    // AfWaitSource: a wait on the event of a pending wait or write watches the device.
    bool WatchFd(int& fd, short& events) override;
    void Serve() override;

private:
    enum class Kind { Wait, Write, Read };

    struct Operation {
        Kind kind = Kind::Read;
        bool done = false;
        bool synchronous = false; // a caller is blocked on it and removes it itself
        DWORD error = ERROR_SUCCESS;
        DWORD bytes = 0;
        HANDLE event = nullptr;
        std::shared_ptr<AfEventObject> eventObject; // the object of `event`, looked up once
        DWORD* mask = nullptr;                      // Wait: where the event mask goes
        const BYTE* data = nullptr;                 // Write: the caller's bytes
        DWORD length = 0;
        std::uint64_t leftAt = 0; // Write, all taken: the device's count of bytes taken after its last
    };

    using Lock = std::unique_lock<std::mutex>;

    DWORD Usable() const;
    bool Asynchronous(const OVERLAPPED* overlapped) const { return overlapped_ && overlapped; }
    // `resetEvent`: the operation's event is cleared at its start (not for an operation that ends
    // at once, whose event is only set).
    Operation* Begin(OVERLAPPED* key, Operation operation, DWORD& error, bool resetEvent = true);
    // Ends the operation: its result into `key`, its event set, the threads that await it woken.
    void Complete(OVERLAPPED* key, Operation& operation, DWORD error);
    // Under the lock: a wait on the operation's event watches the device while it is pending.
    void WatchWith(Operation& operation);
    DWORD AwaitDone(Lock& lock, OVERLAPPED* key, DWORD& bytes);
    void Prune();

    // Under the lock. Starts the I/O thread unless it runs already; false when it cannot.
    bool StartThread();
    void Run();
    // Wakes the I/O thread, if there is one.
    void Wake();
    // Takes in what the device holds, as room allows; true when bytes came in. Without the driver
    // lock; takes the pump lock, then the driver lock, which it gives up while it reads the device.
    bool PumpInput();
    void Append(const BYTE* data, std::size_t count);
    // Lets held-back input in again once the queue has room.
    void InputTaken();
    // The DTR handshake: DTR drops when the queue is within XoffLim bytes of full and rises again
    // at XonLim bytes or fewer.
    void UpdateInputFlow();
    // The DSR handshake: output waits while the device reports DSR off.
    bool OutputHeldByDsr() const;
    // Under the lock, which it gives up while it writes to the device.
    void PumpOutput(Lock& lock);
    // Under the lock: completes the writes whose bytes have left the device, and notes when to
    // look again for those whose bytes are still in it.
    void CompleteSent();
    // Under the lock: how many of the bytes taken so far have left the device.
    std::uint64_t Sent();
    void CheckLineStatus();
    void RaiseEvents(DWORD events);
    void DeviceGone();
    void EndWrites(DWORD error);
    void EndAll(DWORD error);

    std::mutex pump_; // one reader of the device at a time, and the scratch buffer
    std::mutex lock_;
    std::unique_ptr<AfCommBackend> backend_;
    const bool overlapped_;
    int wakeFd_ = -1;
    std::thread thread_;
    // Threads blocked until an operation is done (synchronous calls, GetOverlappedResult with
    // waiting); every completion wakes them.
    std::vector<AfParker*> awaiting_;

    bool started_ = false;
    bool direct_ = false; // the callers' threads move the bytes; no I/O thread
    bool closed_ = false;
    bool gone_ = false;
    bool writeBlocked_ = false;
    bool writing_ = false; // a device write runs without the lock
    std::condition_variable written_;
    bool inputHeld_ = false; // the queue was full when the I/O thread last looked
    bool dtrHeld_ = false;   // the DTR handshake has dropped DTR

    COMMTIMEOUTS timeouts_{MAXDWORD, 0, 0, 0, 0};
    DCB dcb_{};
    DWORD mask_ = 0;
    DWORD history_ = 0;
    DWORD errors_ = 0;

    // Input queue: a ring of `in_.size()` bytes.
    std::vector<BYTE> in_;
    std::size_t inHead_ = 0;
    std::size_t inCount_ = 0;
    // A device read runs without the lock; an input purge or a new queue size waits for it.
    bool reading_ = false;
    std::condition_variable readDone_;
    // Where the device is read to, without the driver lock; under the pump lock.
    std::vector<BYTE> scratch_;

    bool statusKnown_ = false;
    int statusPollMs_ = 0;
    AfLineStatus status_{};

    std::map<OVERLAPPED*, Operation> operations_;
    OVERLAPPED* wait_ = nullptr;
    std::deque<OVERLAPPED*> writes_;
    // A device that tells what it still holds to send (a UART's driver): the first `taken_` of
    // writes_ are wholly with the device, and complete once their bytes have left it, checked
    // again at `drainCheck_` (by the time the line needs for them).
    std::uint64_t handed_ = 0; // bytes the device has taken since the open
    std::size_t taken_ = 0;
    std::chrono::steady_clock::time_point drainCheck_{};
};

} // namespace vexora::serial::platform
