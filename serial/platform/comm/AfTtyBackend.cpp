#include "comm/AfTtyBackend_p.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "comm/AfTermios_p.h"
#include "sync/AfWakeFd_p.h"

namespace vexora::serial::platform {

namespace {

DWORD ErrorOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// ioctl without the variadic-argument trap: the argument is always a pointer or an int.
template <class T> int Control(int fd, unsigned long request, T argument)
{
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

void EndWait(int) {}

// The signal that ends a line watcher's wait (TtyBackend::WatchLines), 0 when there is none: the
// highest real-time signal that nobody in the process handles, given an empty handler at the first
// use. The handler is installed without SA_RESTART, so that the ioctl it interrupts ends with EINTR
// instead of being restarted. It is only ever sent to a watcher thread.
int WakeSignal()
{
    static const int signal = [] {
        for (int candidate = SIGRTMAX; candidate >= SIGRTMIN; --candidate) {
            struct sigaction current {};
            if (::sigaction(candidate, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
                current.sa_handler != SIG_DFL)
                continue;
            struct sigaction action {};
            action.sa_handler = EndWait;
            sigemptyset(&action.sa_mask);
            if (::sigaction(candidate, &action, nullptr) == 0)
                return candidate;
        }
        return 0;
    }();
    return signal;
}

// How often each modem input line has changed (CTS, DSR, RI's ends, DCD); all 0 when the terminal
// does not count.
using LineCounts = std::array<int, 4>;

LineCounts CountLines(int fd)
{
    serial_icounter_struct counters{};
    if (Control(fd, TIOCGICOUNT, &counters) != 0)
        return {};
    return {counters.cts, counters.dsr, counters.rng, counters.dcd};
}

class TtyBackend final : public AfCommBackend {
public:
    explicit TtyBackend(int fd) : fd_(fd)
    {
        int lines = 0;
        modemLines_ = Control(fd_, TIOCMGET, &lines) == 0;
        serial_icounter_struct counters{};
        counters_ = Control(fd_, TIOCGICOUNT, &counters) == 0;
        if (modemLines_)
            StartWatching();
    }

    ~TtyBackend() override
    {
        StopWatching();
        if (notifyFd_ >= 0)
            ::close(notifyFd_);
        // The exclusive mode belongs to the terminal, not to this descriptor: drop it so that
        // the device is free again even while someone else keeps it open.
        Control(fd_, TIOCNXCL, 0);
        ::close(fd_);
    }

    int DataFd() const override { return fd_; }
    int NotifyFd() const override { return notifyFd_; }

    void ClearNotify() override { AfTakeWakeFd(notifyFd_); }

    long Read(void* buffer, std::size_t count) override
    {
        const ssize_t n = ::read(fd_, buffer, count);
        if (n > 0)
            return static_cast<long>(n);
        if (n == 0)
            return -1; // end of file: the terminal was hung up
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    long Write(const void* buffer, std::size_t count) override
    {
        const ssize_t n = ::write(fd_, buffer, count);
        if (n >= 0)
            return static_cast<long>(n);
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    DWORD SetState(const DCB& dcb) override
    {
        termios2 before{};
        if (Control(fd_, TCGETS2, &before) != 0)
            return ErrorOf(errno);
        termios2 attributes = before;
        AfDcbToTermios(dcb, attributes);
        if (Control(fd_, TCSETS2, &attributes) != 0)
            return ErrorOf(errno);
        RearmWatcher();
        termios2 applied{};
        const bool readBack = Control(fd_, TCGETS2, &applied) == 0;
        // A UART driver asked for a rate its clock cannot make runs on at another one and reports
        // success (the 8250 keeps the rate it had): refused here, with the line left as it was.
        if (readBack && !RateKept(dcb.BaudRate, applied)) {
            Control(fd_, TCSETS2, &before);
            RearmWatcher();
            return ERROR_INVALID_PARAMETER;
        }
        // Some terminals keep a frame of their own whatever they are told (a pseudo-terminal
        // always has 8 data bits and no parity); the frame last accepted is reported for them.
        frameKept_ = !readBack || (applied.c_cflag & kFrameBits) == (attributes.c_cflag & kFrameBits);
        acceptedFrame_ = attributes.c_cflag & kFrameBits;
        return ERROR_SUCCESS;
    }

    DWORD GetState(DCB& dcb) override
    {
        termios2 attributes{};
        if (Control(fd_, TCGETS2, &attributes) != 0)
            return ErrorOf(errno);
        // The frame is read back whole, data bits, parity and stop bits together: the code for
        // two stop bits depends on the data bits.
        if (!frameKept_)
            attributes.c_cflag = (attributes.c_cflag & ~kFrameBits) | acceptedFrame_;
        AfTermiosToDcb(attributes, dcb);
        return ERROR_SUCCESS;
    }

    DWORD SetLines(DWORD on, DWORD off) override
    {
        if (!modemLines_)
            return ERROR_SUCCESS;
        const int raise = ((on & AF_LINE_DTR) ? TIOCM_DTR : 0) | ((on & AF_LINE_RTS) ? TIOCM_RTS : 0);
        const int lower = ((off & AF_LINE_DTR) ? TIOCM_DTR : 0) | ((off & AF_LINE_RTS) ? TIOCM_RTS : 0);
        if (raise && Control(fd_, TIOCMBIS, &raise) != 0)
            return ErrorOf(errno);
        if (lower && Control(fd_, TIOCMBIC, &lower) != 0)
            return ErrorOf(errno);
        return ERROR_SUCCESS;
    }

    DWORD SetBreak(bool on) override
    {
        return Control(fd_, on ? TIOCSBRK : TIOCCBRK, 0) == 0 ? ERROR_SUCCESS : ErrorOf(errno);
    }

    DWORD SetOutputFlow(bool on) override
    {
        return Control(fd_, TCXONC, on ? TCOON : TCOOFF) == 0 ? ERROR_SUCCESS : ErrorOf(errno);
    }

    bool GetLineStatus(AfLineStatus& status) override
    {
        if (!modemLines_ && !counters_)
            return false;
        status = {};
        int lines = 0;
        if (modemLines_ && Control(fd_, TIOCMGET, &lines) == 0) {
            status.modem = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
                           ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
        }
        serial_icounter_struct counters{};
        if (counters_ && Control(fd_, TIOCGICOUNT, &counters) == 0) {
            status.frame = static_cast<DWORD>(counters.frame);
            status.parity = static_cast<DWORD>(counters.parity);
            status.overrun = static_cast<DWORD>(counters.overrun + counters.buf_overrun);
            status.breaks = static_cast<DWORD>(counters.brk);
            status.rings = static_cast<DWORD>(counters.rng);
        }
        return true;
    }

    // Line errors come with received bytes, which the driver waits for anyway: only modem lines
    // that nothing watches are polled.
    int LineStatusPollMs() const override
    {
        const bool watched = notifyFd_ >= 0 && !polled_.load(std::memory_order_acquire);
        return modemLines_ && !watched ? kLineStatusPollMs : 0;
    }

    void Gone() override { StopWatching(); }

    void FlushInput() override { Control(fd_, TCFLSH, TCIFLUSH); }
    void FlushOutput() override { Control(fd_, TCFLSH, TCOFLUSH); }

    long OutputQueued() override
    {
        // A pseudo-terminal's queue is the far end's unread input, not a line's.
        int queued = 0;
        if (!modemLines_ || Control(fd_, TIOCOUTQ, &queued) != 0)
            return -1;
        return queued;
    }

private:
    // ---- the watcher of the modem lines
    // A thread of the backend's own sleeps in TIOCMIWAIT until CTS, DSR, RI or DCD changes, and
    // announces the change through notifyFd_; the driver's I/O thread then reads the lines. An
    // idle port so wakes nobody. A terminal whose driver refuses TIOCMIWAIT is polled instead (a
    // pseudo-terminal has no modem lines and needs neither).
    //
    // On a UART neither a close nor a hang-up ends TIOCMIWAIT: only a line change or a signal
    // does, and until it ends the wait holds the port, so that the kernel cannot even remove an
    // unplugged card. So the watcher is stopped with a signal sent to it alone (WakeSignal), when
    // the handle closes and as soon as the driver finds the device gone.

    void StartWatching()
    {
        if (WakeSignal() == 0)
            return; // polled
        notifyFd_ = AfMakeWakeFd();
        if (notifyFd_ < 0)
            return;
        watching_ = true;
        try {
            // Counted before the driver first reads the lines: a change from now on is announced.
            watcher_ = std::thread([this, seen = CountLines(fd_)] { WatchLines(seen); });
        } catch (const std::system_error&) {
            watching_ = false;
            ::close(notifyFd_);
            notifyFd_ = -1;
        }
    }

    void WatchLines(LineCounts seen)
    {
        // The thread may have been started by one that blocks signals; the wake-up must reach it.
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, WakeSignal());
        ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
        while (!stopWatching_.load(std::memory_order_acquire)) {
            // A change after the last announcement and before the wait begins would not end the
            // wait: the counts show it. (One in the instant between this look and the start of
            // the wait shows only with the next change, or when a caller reads the lines.)
            if (const LineCounts now = CountLines(fd_); now != seen) {
                seen = now;
                Notify();
                continue;
            }
            const int result = ::ioctl(fd_, TIOCMIWAIT, kWatchedLines);
            const int error = errno;
            if (result == 0) {
                seen = CountLines(fd_);
                Notify();
            } else if (error != EINTR) {
                // EIO: hung up, which the driver finds on the device itself. Anything else: this
                // terminal's driver cannot wait for its lines, and the driver polls them.
                if (error != EIO && error != ENODEV)
                    polled_.store(true, std::memory_order_release);
                Notify();
                break;
            }
        }
        std::lock_guard guard(watchLock_);
        watching_ = false;
        watchEnded_.notify_all();
    }

    void Notify() { AfSignalWakeFd(notifyFd_); }

    // The 8250 switches its modem-status interrupt off at every change of the terminal's
    // attributes (unless RTS/CTS flow control or modem control keep it on), and a TIOCMIWAIT
    // switches it on only as it begins: a wait begun before the change would never end. The
    // signal makes the watcher begin a new one; should it come before the watcher is inside its
    // wait, the wait it begins next is new anyway.
    void RearmWatcher()
    {
        if (watcher_.joinable())
            ::pthread_kill(watcher_.native_handle(), WakeSignal());
    }

    void StopWatching()
    {
        if (!watcher_.joinable())
            return;
        stopWatching_.store(true, std::memory_order_release);
        {
            std::unique_lock lock(watchLock_);
            // The signal ends a wait in progress. One that arrives after the watcher has looked at
            // the stop flag and before its wait has begun ends nothing, so it is sent again until
            // the watcher has left.
            while (watching_) {
                ::pthread_kill(watcher_.native_handle(), WakeSignal());
                watchEnded_.wait_for(lock, kStopRetry);
            }
        }
        watcher_.join();
    }

    // Whether the driver runs the line at `rate` (within what a receiver tolerates).
    static bool RateKept(DWORD rate, const termios2& applied)
    {
        DCB took{};
        AfTermiosToDcb(applied, took);
        const auto difference = took.BaudRate > rate ? took.BaudRate - rate : rate - took.BaudRate;
        return static_cast<std::uint64_t>(difference) * 100 <=
               static_cast<std::uint64_t>(rate) * kRateTolerancePercent;
    }

    static constexpr DWORD kRateTolerancePercent = 3;
    // Where nothing waits for them, modem-line changes are noticed within this time: the rhythm in
    // which the port's event thread reminds its owner of unread input, and no faster.
    static constexpr int kLineStatusPollMs = 200;
    static constexpr unsigned long kWatchedLines = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;
    static constexpr std::chrono::milliseconds kStopRetry{10};
    static constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

    int fd_;
    bool modemLines_ = false;
    bool counters_ = false;
    bool frameKept_ = true;
    tcflag_t acceptedFrame_ = CS8;

    int notifyFd_ = -1; // the watcher's announcements; -1 without a watcher
    std::thread watcher_;
    std::atomic<bool> stopWatching_{false};
    std::atomic<bool> polled_{false}; // the terminal's driver refused TIOCMIWAIT
    std::mutex watchLock_;
    std::condition_variable watchEnded_;
    bool watching_ = false; // under watchLock_: the watcher has not ended
};

} // namespace

std::unique_ptr<AfCommBackend> AfOpenTty(const std::string& path, DWORD& error)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = ErrorOf(errno);
        return nullptr;
    }
    if (!S_ISCHR(info.st_mode)) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = ErrorOf(errno);
        return nullptr;
    }
    termios2 attributes{};
    if (Control(fd, TCGETS2, &attributes) != 0) {
        ::close(fd); // a character device, but no terminal
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // The lock refuses every second opener, root included; the exclusive mode also keeps out
    // programs that do not take the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorOf(errno);
        ::close(fd);
        return nullptr;
    }
    Control(fd, TIOCEXCL, 0);
    AfMakeRaw(attributes);
    if (Control(fd, TCSETS2, &attributes) != 0) {
        error = ErrorOf(errno);
        Control(fd, TIOCNXCL, 0);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TtyBackend>(fd);
}

} // namespace vexora::serial::platform
