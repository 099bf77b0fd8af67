#include "AfTtyBackend.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AfTermios.h"

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

class TtyBackend final : public AfCommBackend {
public:
    explicit TtyBackend(int fd) : fd_(fd)
    {
        int lines = 0;
        modemLines_ = Control(fd_, TIOCMGET, &lines) == 0;
        serial_icounter_struct counters{};
        counters_ = Control(fd_, TIOCGICOUNT, &counters) == 0;
    }

    ~TtyBackend() override
    {
        // The exclusive mode belongs to the terminal, not to this descriptor: drop it so that
        // the device is free again even while someone else keeps it open.
        Control(fd_, TIOCNXCL, 0);
        ::close(fd_);
    }

    int DataFd() const override { return fd_; }

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
        termios2 applied{};
        const bool readBack = Control(fd_, TCGETS2, &applied) == 0;
        // A UART driver asked for a rate its clock cannot make runs on at another one and reports
        // success (the 8250 keeps the rate it had): refused here, with the line left as it was.
        if (readBack && !RateKept(dcb.BaudRate, applied)) {
            Control(fd_, TCSETS2, &before);
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
        }
        return true;
    }

    int LineStatusPollMs() const override { return (modemLines_ || counters_) ? kLineStatusPollMs : 0; }

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
    // Whether the driver runs the line at `rate` (within what a receiver tolerates).
    static bool RateKept(DWORD rate, const termios2& applied)
    {
        DCB took{};
        AfTermiosToDcb(applied, took);
        const auto difference = took.BaudRate > rate ? took.BaudRate - rate : rate - took.BaudRate;
        return static_cast<std::uint64_t>(difference) * 100 <= static_cast<std::uint64_t>(rate) * kRateTolerancePercent;
    }

    static constexpr DWORD kRateTolerancePercent = 3;
    // Modem-line changes and line errors are noticed within this time: the rhythm in which the
    // port's event thread reminds its owner of unread input, and no faster.
    static constexpr int kLineStatusPollMs = 200;
    static constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

    int fd_;
    bool modemLines_ = false;
    bool counters_ = false;
    bool frameKept_ = true;
    tcflag_t acceptedFrame_ = CS8;
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
