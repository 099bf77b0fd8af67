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
// It also plays the guest's line to QEMU's monitor: a second terminal of its own, which QEMU joins
// to one more guest UART, carries one QMP command per line from the guest (a test that pulls a USB
// adapter out and plugs it back in with device_del and device_add at the moment it needs), and
// takes back "ok" or "error <QEMU's answer>" for each.
//
// Environment: VEXORA_UART_PLUG the path of a symbolic link to the plug's terminal, for QEMU's
// -chardev serial,path=; VEXORA_UART_PLUG_QMP the path of QEMU's QMP socket and
// VEXORA_UART_PLUG_CHARDEV the id of the plug's chardev; VEXORA_UART_MONITOR_LINE the path of a
// symbolic link to the monitor line's terminal. Without VEXORA_UART_PLUG and
// VEXORA_UART_MONITOR_LINE the library only passes every call on.
#include <algorithm>
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
#include <mutex>
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

// A raw pseudo-terminal of this library's own: Open links its port side at `link` for QEMU's
// -chardev serial,path= and holds it open, so that its far side never reads a hang-up; false when
// that fails.
struct Terminal {
    int Master = -1;
    int Keep = -1;
    dev_t Device = 0;

    bool Open(const char* link);
};

bool Terminal::Open(const char* link)
{
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 ||
        ptsname_r(Master, name, sizeof name) != 0)
        return false;
    Keep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (Keep < 0 || ::fstat(Keep, &info) != 0)
        return false;
    Device = info.st_rdev;
    termios raw{};
    ::tcgetattr(Keep, &raw);
    ::cfmakeraw(&raw);
    RealTcsetattr()(Keep, TCSANOW, &raw);
    ::unlink(link);
    return ::symlink(name, link) == 0;
}

// QEMU's monitor (QMP), reached through its socket at the first command; one command at a time.
class Monitor {
public:
    // Sends one command (a line of QMP) and reads its answer: empty when QEMU carried it out,
    // otherwise what it answered, or why no answer came. A device_del is carried out once the
    // device has gone (QEMU's DEVICE_DELETED), so that the same id and chardev can be added again.
    std::string Execute(const std::string& command);

private:
    bool Connect();
    // The next line from the monitor, waiting at most 10 s.
    bool Line(std::string& text);

    std::mutex lock_;
    int socket_ = -1;
};

Monitor g_monitor;

std::string Monitor::Execute(const std::string& command)
{
    std::lock_guard guard(lock_);
    if (socket_ < 0 && !Connect())
        return "no monitor";
    const std::string line = command + "\n";
    if (::write(socket_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "the monitor took no command";
    // The device a device_del removes: its DEVICE_DELETED event may come before the answer.
    std::string deleted;
    if (const auto at = command.find("\"device_del\""); at != std::string::npos) {
        const auto id = command.find("\"id\"", at);
        const auto from = command.find('"', command.find(':', id) + 1);
        if (id != std::string::npos && from != std::string::npos)
            deleted =
                "\"device\": \"" + command.substr(from + 1, command.find('"', from + 1) - from - 1) + "\"";
    }
    bool answered = false;
    std::string answer;
    while (Line(answer)) {
        if (answer.find("\"error\"") != std::string::npos)
            return answer;
        answered = answered || answer.find("\"return\"") != std::string::npos;
        if (!deleted.empty() && answer.find("DEVICE_DELETED") != std::string::npos &&
            answer.find(deleted) != std::string::npos)
            deleted.clear();
        if (answered && deleted.empty())
            return {};
    }
    return answered ? "the device was not deleted" : "the monitor gave no answer";
}

bool Monitor::Connect()
{
    const char* path = std::getenv("VEXORA_UART_PLUG_QMP");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!path || std::strlen(path) >= sizeof address.sun_path)
        return false;
    std::strcpy(address.sun_path, path);
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    const std::string hello = "{\"execute\":\"qmp_capabilities\"}\n";
    std::string answer;
    return Line(answer) &&
           ::write(socket_, hello.data(), hello.size()) == static_cast<ssize_t>(hello.size()) && Line(answer);
}

bool Monitor::Line(std::string& text)
{
    text.clear();
    char c;
    pollfd ready{socket_, POLLIN, 0};
    while (::poll(&ready, 1, 10000) == 1 && ::read(socket_, &c, 1) == 1) {
        if (c == '\n')
            return true;
        text += c;
    }
    return false;
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

    int master_ = -1;
    dev_t terminal_ = 0;
    int breakFd_ = -1;
    std::atomic<int> outputs_{TIOCM_DTR | TIOCM_RTS};
    // Bytes read from the UART that the terminal has not taken back yet.
    unsigned char pending_[4096];
    std::size_t pendingFrom_ = 0;
    std::size_t pendingTo_ = 0;
};

Plug g_plug;

bool Plug::Start()
{
    const char* link = std::getenv("VEXORA_UART_PLUG");
    Terminal terminal;
    if (!link || !*link || !terminal.Open(link))
        return false;
    master_ = terminal.Master;
    terminal_ = terminal.Device;
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
                                (chardev ? chardev : "") + "\"}}";
    if (!g_monitor.Execute(command).empty())
        std::fprintf(stderr, "loop plug: the break could not be sent back\n");
}

// The guest's line to the monitor: every line that comes in goes to QEMU's monitor as a command,
// and its outcome goes back as a line.
class MonitorLine {
public:
    bool Start();

private:
    void Run();

    int master_ = -1;
    std::string heard_;
};

MonitorLine g_monitorLine;

bool MonitorLine::Start()
{
    const char* link = std::getenv("VEXORA_UART_MONITOR_LINE");
    Terminal terminal;
    if (!link || !*link || !terminal.Open(link))
        return false;
    master_ = terminal.Master;
    std::thread([this] { Run(); }).detach();
    return true;
}

void MonitorLine::Run()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0 && errno != EINTR)
            return;
        char buffer[512];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        heard_.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        for (std::size_t end; (end = heard_.find('\n')) != std::string::npos;) {
            std::string command = heard_.substr(0, end);
            heard_.erase(0, end + 1);
            command.erase(command.find_last_not_of('\r') + 1);
            if (command.find_first_not_of(' ') == std::string::npos)
                continue;
            // Only QMP: anything else (a guest terminal's echo) would make QEMU answer with more.
            const std::string outcome =
                command.front() == '{' ? g_monitor.Execute(command) : "not a QMP command";
            const std::string answer = (outcome.empty() ? "ok" : "error " + outcome) + "\n";
            for (std::size_t at = 0; at < answer.size();) {
                const ssize_t written = ::write(master_, answer.data() + at, answer.size() - at);
                if (written > 0)
                    at += static_cast<std::size_t>(written);
                else if (written < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                else
                    ::poll(nullptr, 0, 10);
            }
        }
    }
}

// Started when QEMU loads the library, after g_plug and g_monitorLine are initialised (same file,
// so in order). The variables are dropped, so that no program QEMU might start plays a plug of its
// own.
const bool g_started = [] {
    bool started = true;
    if (std::getenv("VEXORA_UART_PLUG") && !g_plug.Start()) {
        std::fprintf(stderr, "loop plug: cannot set up the terminal (%s)\n", std::strerror(errno));
        started = false;
    }
    if (std::getenv("VEXORA_UART_MONITOR_LINE") && !g_monitorLine.Start()) {
        std::fprintf(stderr, "loop plug: cannot set up the monitor line (%s)\n", std::strerror(errno));
        started = false;
    }
    ::unsetenv("VEXORA_UART_PLUG");
    ::unsetenv("VEXORA_UART_MONITOR_LINE");
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
