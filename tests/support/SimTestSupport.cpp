#include "SimTestSupport.h"

#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

#include "MBusTelegram.h"

TBytes HexBytes(const std::string& text)
{
    TBytes bytes;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

TBytes ShortFrame(std::uint8_t c, std::uint8_t a)
{
    return {0x10, c, a, static_cast<std::uint8_t>(c + a), 0x16};
}

TBytes LongFrame(std::uint8_t c, std::uint8_t a, std::uint8_t ci, const TBytes& data)
{
    const auto length = static_cast<std::uint8_t>(data.size() + 3);
    TBytes frame{0x68, length, length, 0x68, c, a, ci};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(MBusChecksum(std::span(frame).subspan(4, length)));
    frame.push_back(0x16);
    return frame;
}

TMasterLine::TMasterLine(const std::string& device, int baud)
{
    FFd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0)
        throw std::runtime_error("cannot open " + device);
    if (baud > 0)
        SetBaud(baud);
}

TMasterLine::~TMasterLine()
{
    ::close(FFd);
}

void TMasterLine::SetBaud(int baud)
{
    termios2 t{};
    ::ioctl(FFd, TCGETS2, &t);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | PARENB | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baud);
    if (::ioctl(FFd, TCSETS2, &t) != 0)
        throw std::runtime_error("cannot set the line speed");
}

void TMasterLine::Send(const TBytes& bytes)
{
    if (::write(FFd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot write the line");
}

TBytes TMasterLine::Receive(std::size_t count, int timeoutMs)
{
    TBytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
        std::uint8_t buffer[256];
        const ssize_t n = ::read(FFd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
            continue;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd fd{FFd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left.count()));
    }
    return bytes;
}

TRunningSimulator::TRunningSimulator(const TMeterSimOptions& options) : FSim(options, &FLog)
{
    FLog.AddSink([this](const std::string& line) {
        std::lock_guard guard(FLock);
        FLines.push_back(line);
    });
    FThread = std::thread([this] { FSim.Run(); });
}

TRunningSimulator::~TRunningSimulator()
{
    FSim.Stop();
    FThread.join();
}

std::vector<std::string> TRunningSimulator::LogLines()
{
    std::lock_guard guard(FLock);
    return FLines;
}
