#include "AfPtyPort.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string& PortDirName()
{
    static std::string dir;
    return dir;
}

// Removes the temporary port directory and whatever entries the tests left in it.
void RemovePortDirectory()
{
    const std::string& dir = PortDirName();
    if (DIR* folder = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                ::unlink((dir + "/" + name).c_str());
        }
        ::closedir(folder);
    }
    ::rmdir(dir.c_str());
}

std::string ComEntry(int number)
{
    return AfTestPortDirectory() + "/COM" + std::to_string(number);
}

} // namespace

const std::string& AfTestPortDirectory()
{
    static const std::string dir = [] {
        std::string pattern = "/tmp/vexora-test-ports-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make the test port directory");
        ::setenv("VEXORA_PORT_DIR", pattern.c_str(), 1);
        PortDirName() = pattern;
        std::atexit(RemovePortDirectory);
        return pattern;
    }();
    return dir;
}

void AfRegisterTestCom(int number, const std::string& target)
{
    const std::string entry = ComEntry(number);
    ::unlink(entry.c_str());
    if (::symlink(target.c_str(), entry.c_str()) != 0)
        throw std::runtime_error("cannot register " + entry);
}

void AfUnregisterTestCom(int number)
{
    ::unlink(ComEntry(number).c_str());
}

AfPtyPort::AfPtyPort(int comNumber) : comNumber_(comNumber)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot make a pseudo-terminal");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("cannot name the pseudo-terminal");
    devicePath_ = name;
    keep_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keep_ < 0)
        throw std::runtime_error("cannot open " + devicePath_);
    termios attributes{};
    ::tcgetattr(keep_, &attributes);
    ::cfmakeraw(&attributes);
    ::tcsetattr(keep_, TCSANOW, &attributes);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (comNumber_ > 0)
        AfRegisterTestCom(comNumber_, devicePath_);
}

AfPtyPort::~AfPtyPort()
{
    if (comNumber_ > 0)
        AfUnregisterTestCom(comNumber_);
    CloseFarEnd();
    if (keep_ >= 0)
        ::close(keep_);
}

std::string AfPtyPort::ComName() const
{
    return "COM" + std::to_string(comNumber_);
}

bool AfPtyPort::Send(const void* data, std::size_t count)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (count > 0 && master_ >= 0) {
        const ssize_t n = ::write(master_, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        pollfd fd{master_, POLLOUT, 0};
        ::poll(&fd, 1, 50);
    }
    return count == 0;
}

std::vector<std::uint8_t> AfPtyPort::Receive(std::size_t count, int timeoutMs)
{
    std::vector<std::uint8_t> data;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < count && master_ >= 0) {
        std::uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - data.size()));
        if (n > 0) {
            data.insert(data.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd fd{master_, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left));
    }
    return data;
}

std::vector<std::uint8_t> AfPtyPort::ReceiveUntilQuiet(int quietMs)
{
    std::vector<std::uint8_t> data;
    for (;;) {
        auto more = Receive(4096, quietMs);
        if (more.empty())
            return data;
        data.insert(data.end(), more.begin(), more.end());
    }
}

void AfPtyPort::CloseFarEnd()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}
