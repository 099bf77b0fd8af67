#include "UsbGuest.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string FirstLine(const std::filesystem::path& Path)
{
    std::ifstream file(Path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The monitor line, opened raw once: no echo, which would send QEMU's answers back as commands.
int MonitorFd()
{
    static const int fd = [] {
        const int opened = ::open(GuestMonitorLine().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (opened >= 0 && ::tcgetattr(opened, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(opened, TCSANOW, &raw);
            ::tcflush(opened, TCIOFLUSH);
        }
        return opened;
    }();
    return fd;
}

// One line from the monitor line, or empty when none came within Limit.
std::string AnswerLine(int Fd, std::chrono::milliseconds Limit)
{
    std::string line;
    const auto end = Clock::now() + Limit;
    while (Clock::now() < end) {
        pollfd ready{Fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (::poll(&ready, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0)
            break;
        char c;
        if (::read(Fd, &c, 1) != 1)
            break;
        if (c == '\n')
            return line;
        line += c;
    }
    return {};
}

bool AwaitDevice(const TUsbAdapter& Adapter, bool Present, std::chrono::milliseconds Limit)
{
    for (const auto end = Clock::now() + Limit; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
        const std::string device = UsbAdapterDevice(Adapter);
        if (Present ? !device.empty() && std::filesystem::exists(device) : device.empty())
            return true;
    }
    return false;
}

} // namespace

const std::string& GuestMonitorLine()
{
    static const std::string line = [] {
        const char* value = std::getenv("VEXORA_UART_MONITOR");
        return std::string(value ? value : "");
    }();
    return line;
}

std::string UsbAdapterDevice(const TUsbAdapter& Adapter)
{
    std::error_code error;
    for (const auto& tty : std::filesystem::directory_iterator("/sys/class/tty", error)) {
        const std::string name = tty.path().filename();
        // ttyUSB<n>/device is the adapter's port, below its interface, below the USB device.
        if (name.starts_with("ttyUSB") && FirstLine(tty.path() / "device/../../serial") == Adapter.Serial)
            return "/dev/" + name;
    }
    return {};
}

std::string MonitorCommand(const std::string& Command)
{
    const int fd = MonitorFd();
    if (fd < 0)
        return "no monitor line";
    const std::string line = Command + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "the monitor line took no command";
    const std::string answer = AnswerLine(fd, 10s);
    return answer == "ok" ? std::string() : answer.empty() ? "no answer" : answer;
}

bool PullOut(const TUsbAdapter& Adapter, std::chrono::milliseconds Limit)
{
    const std::string outcome =
        MonitorCommand(std::string(R"({"execute":"device_del","arguments":{"id":")") + Adapter.Id + "\"}}");
    return outcome.empty() && AwaitDevice(Adapter, false, Limit);
}

std::string PlugIn(const TUsbAdapter& Adapter, std::chrono::milliseconds Limit)
{
    const std::string outcome =
        MonitorCommand(std::string(R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":")") +
                       Adapter.Id + R"(","chardev":")" + Adapter.Chardev + R"(","serial":")" +
                       Adapter.Serial + R"(","bus":"xhci.0","port":")" + Adapter.UsbPort + "\"}}");
    return outcome.empty() && AwaitDevice(Adapter, true, Limit) ? UsbAdapterDevice(Adapter) : std::string();
}
