// A loopback plug for one UART of the guest that scripts/test-uart.sh boots, loaded into QEMU with
// LD_PRELOAD. QEMU joins the guest's UART to a host terminal (-chardev serial,path=...); this
// library makes that terminal (a pseudo-terminal of its own) and plays the plug on its far side,
// wired as a test plug for RS-232 is:
// - transmit to receive: every byte the UART sends comes back, at the pace the UART takes it (a
//   UART that stops reading holds its own transmitter back, as the plug's echo waits);
// - RTS to CTS, DTR to DSR, DCD and RI: QEMU reads and drives the modem lines with ioctl calls on
//   the terminal, which a pseudo-terminal does not have, so they are answered here;
// - a break the UART sends comes back as a break, through QEMU's monitor (QMP chardev-send-break),
//   since a terminal cannot pass a break on to QEMU.
// QEMU's settings of the terminal are passed on with output processing off (QEMU asks for it, which
// would put a carriage return before every line feed), so no byte is changed.
//
// Environment: VEXORA_UART_PLUG the path of a symbolic link to the terminal, for QEMU's
// -chardev serial,path=; VEXORA_UART_PLUG_QMP the path of QEMU's QMP socket and
// VEXORA_UART_PLUG_CHARDEV the id of the chardev. Without VEXORA_UART_PLUG the library only
// passes every call on.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);
using TcsetattrFunction = int (*)(int, int, const termios*);

IoctlFunction RealIoctl()
{
    static const auto real = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

TcsetattrFunction RealTcsetattr()
{
    static const auto real = reinterpret_cast<TcsetattrFunction>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real;
}

class Plug {
public:
    bool Start();
    bool Owns(int fd) const;
    // The lines as QEMU reads them back: the outputs it set and the inputs they are wired to.
    int Lines() const;
    void SetOutputs(int lines) { outputs_ = lines & (TIOCM_DTR | TIOCM_RTS); }
    void SendBreak();

private:
    void Run();
    bool Echo();
    void DeliverBreaks();
    bool TalkToMonitor(const std::string& command);

    int master_ = -1;
    int keep_ = -1; // the terminal held open, so that its far side never reads a hang-up
    dev_t terminal_ = 0;
    int breakFd_ = -1;
    std::atomic<int> outputs_{TIOCM_DTR | TIOCM_RTS};
    // Bytes read from the UART that the terminal has not taken back yet.
    unsigned char pending_[4096];
    std::size_t pendingFrom_ = 0;
    std::size_t pendingTo_ = 0;
    int monitor_ = -1;
};

Plug g_plug;

bool Plug::Start()
{
    const char* link = std::getenv("VEXORA_UART_PLUG");
    if (!link || !*link)
        return false;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0)
        return false;
    keep_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (keep_ < 0 || ::fstat(keep_, &info) != 0)
        return false;
    terminal_ = info.st_rdev;
    termios raw{};
    ::tcgetattr(keep_, &raw);
    ::cfmakeraw(&raw);
    RealTcsetattr()(keep_, TCSANOW, &raw);
    ::unlink(link);
    if (::symlink(name, link) != 0)
        return false;
    breakFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (breakFd_ < 0)
        return false;
    std::thread([this] { Run(); }).detach();
    return true;
}

bool Plug::Owns(int fd) const
{
    struct stat info {};
    return terminal_ != 0 && ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == terminal_;
}

int Plug::Lines() const
{
    const int out = outputs_;
    int lines = out;
    if (out & TIOCM_RTS)
        lines |= TIOCM_CTS;
    if (out & TIOCM_DTR)
        lines |= TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
    return lines;
}

void Plug::SendBreak()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(breakFd_, &one, sizeof one);
}

void Plug::Run()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr); // QEMU's signals are for QEMU's threads
    for (;;) {
        const bool holding = pendingFrom_ < pendingTo_;
        pollfd fds[2] = {{master_, static_cast<short>(holding ? POLLOUT : POLLIN), 0}, {breakFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            DeliverBreaks();
        if ((fds[0].revents & (POLLIN | POLLOUT)) && !Echo())
            return;
    }
}

bool Plug::Echo()
{
    if (pendingFrom_ == pendingTo_) {
        const ssize_t n = ::read(master_, pending_, sizeof pending_);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        pendingFrom_ = 0;
        pendingTo_ = static_cast<std::size_t>(n);
    }
    const ssize_t n = ::write(master_, pending_ + pendingFrom_, pendingTo_ - pendingFrom_);
    if (n > 0)
        pendingFrom_ += static_cast<std::size_t>(n);
    return n >= 0 || errno == EAGAIN || errno == EINTR;
}

void Plug::DeliverBreaks()
{
    std::uint64_t count = 0;
    if (::read(breakFd_, &count, sizeof count) != sizeof count)
        return;
    const char* chardev = std::getenv("VEXORA_UART_PLUG_CHARDEV");
    const std::string command = std::string(R"({"execute":"chardev-send-break","arguments":{"id":")") +
                                (chardev ? chardev : "") + "\"}}\n";
    if (!TalkToMonitor(command))
        std::fprintf(stderr, "loop plug: the break could not be sent back\n");
}

// Sends one command to QEMU's monitor and reads its answer; connects at the first use.
bool Plug::TalkToMonitor(const std::string& command)
{
    const auto line = [this](std::string& text) {
        text.clear();
        char c;
        while (::read(monitor_, &c, 1) == 1) {
            if (c == '\n')
                return true;
            text += c;
        }
        return false;
    };
    std::string answer;
    if (monitor_ < 0) {
        const char* path = std::getenv("VEXORA_UART_PLUG_QMP");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!path || std::strlen(path) >= sizeof address.sun_path)
            return false;
        std::strcpy(address.sun_path, path);
        monitor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(monitor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(monitor_);
            monitor_ = -1;
            return false;
        }
        const std::string hello = "{\"execute\":\"qmp_capabilities\"}\n";
        if (!line(answer) || ::write(monitor_, hello.data(), hello.size()) < 0 || !line(answer))
            return false;
    }
    if (::write(monitor_, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
        return false;
    // Events may come before the answer.
    while (line(answer))
        if (answer.find("\"return\"") != std::string::npos || answer.find("\"error\"") != std::string::npos)
            return answer.find("\"return\"") != std::string::npos;
    return false;
}

// Started when QEMU loads the library, after g_plug is initialised (same file, so in order). The
// variable is dropped, so that no program QEMU might start plays a plug of its own.
const bool g_started = [] {
    if (!std::getenv("VEXORA_UART_PLUG"))
        return false;
    const bool started = g_plug.Start();
    if (!started)
        std::fprintf(stderr, "loop plug: cannot set up the terminal (%s)\n", std::strerror(errno));
    ::unsetenv("VEXORA_UART_PLUG");
    return started;
}();

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
        g_plug.Owns(fd)) {
        int* lines = static_cast<int*>(argument);
        const int outputs = g_plug.Lines() & (TIOCM_DTR | TIOCM_RTS);
        if (request == TIOCMGET)
            *lines = g_plug.Lines();
        else if (request == TIOCMSET)
            g_plug.SetOutputs(*lines);
        else if (request == TIOCMBIS)
            g_plug.SetOutputs(outputs | *lines);
        else
            g_plug.SetOutputs(outputs & ~*lines);
        return 0;
    }
    return RealIoctl()(fd, request, argument);
}

extern "C" int tcsendbreak(int fd, int duration) noexcept
{
    if (g_plug.Owns(fd)) {
        g_plug.SendBreak();
        return 0;
    }
    using Function = int (*)(int, int);
    static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "tcsendbreak"));
    return real(fd, duration);
}

extern "C" int tcsetattr(int fd, int actions, const termios* attributes) noexcept
{
    if (!g_plug.Owns(fd) || !attributes)
        return RealTcsetattr()(fd, actions, attributes);
    // QEMU asks for output processing, and so for a carriage return before every line feed.
    termios copy = *attributes;
    copy.c_oflag = 0;
    return RealTcsetattr()(fd, actions, &copy);
}
