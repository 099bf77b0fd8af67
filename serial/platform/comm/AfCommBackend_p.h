// Inside the comm platform: the device under one open comm handle. The driver (AfCommDriver) owns
// one backend and does all queueing, events and overlapped completion itself; a backend only moves
// bytes and applies line settings. Production devices are terminals (AfTtyBackend); a test can
// register its own devices under a path prefix (AfCommRegistry_p.h) so that CreateFileA reaches them
// exactly like a terminal, COM mapping included.
//
// Threading: the driver calls a backend only while it holds its own lock, except Read and Write,
// which it calls without the lock, one Read at a time and one Write at a time (from the I/O thread
// or a caller's thread); so a backend sees at most one Read, one Write and one other call at a
// time. Every call must return at once (no blocking I/O).
//
// Not an extension point for programs: the interface carries the driver's locking and descriptor
// rules above, which are not frozen while the component is at 0.x. Another kind of port (a
// network port over RFC 2217 or raw TCP) becomes one more backend inside the platform.
#pragma once

#include <cstddef>

#include <vexora/serial/platform/AfWinTypes.h>
#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial::platform {

// Modem lines and cumulative line-error counters of a device.
struct AfLineStatus {
    DWORD modem = 0; // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON
    DWORD frame = 0;
    DWORD parity = 0;
    DWORD overrun = 0; // the receiver lost bytes (hardware or driver buffer overrun)
    DWORD breaks = 0;
    // Rings that have ended (RI falling; a device that counts both edges counts them too), so that
    // a ring that began and ended between two looks is not lost; 0 when the device does not count.
    DWORD rings = 0;
};

// Output lines for AfCommBackend::SetLines.
inline constexpr DWORD AF_LINE_DTR = 0x1;
inline constexpr DWORD AF_LINE_RTS = 0x2;

class AfCommBackend {
public:
    virtual ~AfCommBackend() = default;

    // A descriptor that the driver polls for input (POLLIN) and, while a write waits for room,
    // for output (POLLOUT); POLLHUP/POLLERR mean that the device is gone. -1 when the backend
    // signals everything through NotifyFd().
    virtual int DataFd() const = 0;
    // A descriptor that becomes readable when the backend has news (input, room for output, line
    // status, disappearance); the driver then calls ClearNotify() and retries everything. -1 when
    // there is none.
    virtual int NotifyFd() const { return -1; }
    virtual void ClearNotify() {}

    // Non-blocking transfer: > 0 bytes moved, 0 nothing possible now, < 0 the device is gone.
    virtual long Read(void* buffer, std::size_t count) = 0;
    virtual long Write(const void* buffer, std::size_t count) = 0;

    // Applies a DCB that the driver has already checked for sense. Returns ERROR_SUCCESS or the
    // error that refused it (the device then keeps its previous state).
    virtual DWORD SetState(const DCB& dcb) = 0;
    // Reads the device's line settings into `dcb` (rate, frame, flow control, special
    // characters); fields the device does not keep are left as they are.
    virtual DWORD GetState(DCB& dcb) = 0;

    // Raises the output lines of `on` and lowers those of `off` (AF_LINE_ bits). Devices without
    // modem lines ignore this and return ERROR_SUCCESS.
    virtual DWORD SetLines(DWORD on, DWORD off) = 0;
    virtual DWORD SetBreak(bool on) = 0;
    // Suspends (false) or resumes (true) output as if XOFF or XON had been received.
    virtual DWORD SetOutputFlow(bool on) = 0;

    // Reads modem lines and line-error counters. False when the device reports neither (a
    // pseudo-terminal); the driver then never polls for them. Line errors and breaks come with
    // received bytes, so the driver reads the status again whenever bytes came in.
    virtual bool GetLineStatus(AfLineStatus& status) = 0;
    // How often the driver polls GetLineStatus while the port is open, in ms; <= 0 when the
    // backend announces modem-line changes through NotifyFd() instead. Asked again after every
    // notification: a backend may find out only then that the lines have to be polled.
    virtual int LineStatusPollMs() const = 0;
    // The driver has found the device gone and calls nothing more but the destructor: the backend
    // lets go of what it holds in the device's kernel driver, so that the system can remove the
    // device while the handle is still open. Called under the driver's lock.
    virtual void Gone() {}

    // Drops bytes held by the device or its kernel driver (also at every open: a port starts with
    // empty queues).
    virtual void FlushInput() = 0;
    virtual void FlushOutput() = 0;

    // Bytes the device has taken that have not left it yet (its driver's transmit queue), or -1
    // when it cannot tell (a pseudo-terminal). With a count, a write is done once its bytes have
    // left; without, once the device has taken them.
    virtual long OutputQueued() { return -1; }
};

} // namespace vexora::serial::platform
