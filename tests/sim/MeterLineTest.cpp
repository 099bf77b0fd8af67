// The simulator in this process, on its pseudo-terminal: the COM entry, a whole Read, the line
// speed it hears at and the timing of its answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <asm/termbits.h>
#include <cctype>
#include <span>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"
#include "MBusDecode.h"
#include "MBusTelegram.h"
#include "MeterFrames.h"
#include "SimTestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kPortDir = AfTestPortDirectory();

TMeterSimOptions OnCom(int number)
{
    TMeterSimOptions options;
    options.ComNumber = number;
    return options;
}

// The request a builder of the tool writes, with the builder's arguments behind the telegram.
template <typename... Params>
TBytes Built(int (*build)(std::span<std::uint8_t>, Params...), std::type_identity_t<Params>... args)
{
    TTelegramBuf telegram{};
    return {telegram.begin(), telegram.begin() + build(telegram, args...)};
}

// Time on the wire of `count` bytes at 2400 baud, 8E1, rounded down.
std::chrono::milliseconds AtLineRate(std::size_t count)
{
    return std::chrono::milliseconds(count * 11 * 1000 / 2400);
}

bool Decodes(const TBytes& frame, bool user)
{
    TTelegramBuf telegram{};
    std::copy_n(frame.begin(), std::min(frame.size(), telegram.size()), telegram.begin());
    return (user ? DecodeUserFrame(telegram, 1, {}).Status : DecodeConfigFrame(telegram, 1).Status) ==
           TMBusDecodeStatus::dsDecoded;
}

// A line of the log: the date and time to the millisecond, then `text`.
bool IsLogLine(const std::string& line, const std::string& text)
{
    const std::string stamp = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() != stamp.size() + text.size() || line.compare(stamp.size(), text.size(), text) != 0)
        return false;
    for (std::size_t i = 0; i < stamp.size(); ++i)
        if (stamp[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != stamp[i])
            return false;
    return true;
}

TEST(MeterLine, ServesAReadThroughItsComEntryLogsItAndRemovesTheEntry)
{
    std::string entry;
    {
        TRunningSimulator sim(OnCom(101));
        entry = sim.Sim().EntryPath();
        EXPECT_EQ(ComPortDevicePath(101), sim.Sim().DevicePath());
        TMasterLine line(entry, 2400);
        auto exchange = [&](const TBytes& request, std::size_t answer) {
            line.Send(request);
            return line.Receive(answer, 5000);
        };
        const auto start = Clock::now();
        EXPECT_EQ(exchange(Built(BuildSelectTelegram, 1, MBusSelectConfigData), 1), TBytes{0xE5});
        EXPECT_GE(Clock::now() - start, AtLineRate(11) + 50ms);
        EXPECT_TRUE(Decodes(exchange(Built(BuildDataRequest, 1), 64), false));
        EXPECT_EQ(exchange(Built(BuildSelectTelegram, 1, MBusSelectUserData), 1), TBytes{0xE5});
        const TBytes user = exchange(Built(BuildDataRequest, 1), 48);
        EXPECT_TRUE(Decodes(user, true));

        const std::vector<std::string> lines = sim.LogLines();
        auto logged = [&](const std::string& text) {
            return std::any_of(lines.begin(), lines.end(),
                               [&](auto& logLine) { return IsLogLine(logLine, text); });
        };
        EXPECT_TRUE(logged("RX 68 05 05 68 53 01 51 0F 02 B6 16"));
        EXPECT_TRUE(logged("RX 10 5B 01 5C 16"));
        EXPECT_TRUE(logged("TX E5"));
        EXPECT_TRUE(logged("TX " + TMeterLog::Hex(user)));
    }
    struct stat gone {};
    EXPECT_NE(::lstat(entry.c_str(), &gone), 0); // not even a dangling link
}

TEST(MeterLine, AStopBeforeTheRunEndsTheRunAtOnce)
{
    TMeterSimulator sim(OnCom(104));
    sim.Stop();
    sim.Run();
    EXPECT_EQ(sim.Heard(), 0u);
}

TEST(MeterLine, HearsOnlyAtItsOwnBaudRateWhichRegister24Changes)
{
    TRunningSimulator sim(OnCom(102));
    TMasterLine line(sim.Sim().DevicePath(), 9600);
    line.Send(Built(BuildDataRequest, 1));
    ASSERT_TRUE(sim.Sim().WaitHeard(1, 10s));
    // Answers keep their order, so an answer to the request at 9600 would come first.
    line.SetBaud(2400);
    line.Send(Built(BuildSelectTelegram, 1, MBusSelectUserData));
    EXPECT_EQ(line.Receive(1, 5000), TBytes{0xE5});

    // Address 5 at 9600 baud, acknowledged at 2400; then only 9600 reaches the meter.
    line.Send(Built(BuildRegisterWrite, 1, 0x24, 0x0A006005));
    EXPECT_EQ(line.Receive(1, 5000), TBytes{0xE5});
    line.Send(Built(BuildDataRequest, 5));
    ASSERT_TRUE(sim.Sim().WaitHeard(4, 10s));
    // The speed set as the tool sets it, through the comm platform.
    HANDLE port = CreateFileA("COM102", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 9600;
    ASSERT_TRUE(SetCommState(port, &dcb));
    CloseHandle(port);
    line.Send(Built(BuildDataRequest, 5));
    const TBytes frame = line.Receive(48, 5000);
    ASSERT_EQ(frame.size(), 48u);
    EXPECT_EQ(frame[5], 5);
}

TEST(MeterLine, MetersSharingTheLineAnswerOnlyAtTheirOwnRateAndAddress)
{
    TMeterSimOptions options = OnCom(107);
    options.MoreMeters = {{.Address = 2, .Baud = 9600, .Q4mA = 300}};
    TRunningSimulator sim(options);
    TMasterLine line(sim.Sim().DevicePath(), 0);
    // A scan of addresses 1 to 3 at both rates, the one meter there last: answers keep their order,
    // so once its E5 is in, every earlier telegram has been dealt with.
    for (const auto& [baud, found] : {std::pair{2400, 1}, std::pair{9600, 2}}) {
        line.SetBaud(baud);
        for (int address = 1; address <= 3; ++address)
            if (address != found)
                line.Send(ShortFrame(0x40, static_cast<std::uint8_t>(address)));
        line.Send(ShortFrame(0x40, static_cast<std::uint8_t>(found)));
        EXPECT_EQ(line.Receive(1, 5000), TBytes{0xE5}) << baud;
    }
    const std::vector<std::string> lines = sim.LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find(" TX ") != l.npos; }), 2);

    line.Send(ShortFrame(0x5B, 2));
    const TBytes frame = line.Receive(48, 5000);
    ASSERT_EQ(frame.size(), 48u);
    EXPECT_EQ(frame, BuildUserDataFrame(sim.Sim().State(1), frame[15]));
}

TEST(MeterLine, OnASerialDeviceRegistersNothingAndTheDeviceFollowsTheMetersSpeed)
{
    // A pseudo-terminal's port side stands in for the UART the meter is wired to; the test holds
    // the other end of the cable.
    AfPtyPort cable;
    TMeterSimOptions options = OnCom(107);
    options.Device = cable.DevicePath();
    TRunningSimulator sim(options);
    EXPECT_EQ(sim.Sim().EntryPath(), "");
    EXPECT_EQ(ComPortDevicePath(107), "");
    const auto speed = [&cable] {
        termios2 t{};
        ::ioctl(cable.MasterFd(), TCGETS2, &t);
        return t.c_ospeed;
    };
    EXPECT_EQ(speed(), 2400u);
    ASSERT_TRUE(cable.Send(Built(BuildSelectTelegram, 1, MBusSelectUserData)));
    EXPECT_EQ(cable.Receive(1, 5000), TBytes{0xE5});
    // Address 1 at 9600 baud: the device takes the new speed once the acknowledgement is out.
    ASSERT_TRUE(cable.Send(Built(BuildRegisterWrite, 1, 0x24, 0x0A006001)));
    EXPECT_EQ(cable.Receive(1, 5000), TBytes{0xE5});
    for (const auto end = Clock::now() + 5s; speed() != 9600 && Clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(speed(), 9600u);
    ASSERT_TRUE(cable.Send(Built(BuildDataRequest, 1)));
    EXPECT_EQ(cable.Receive(48, 5000).size(), 48u);
}

TEST(MeterLine, AnswersAfterTheRequestsTimeOnTheWireAndAtTheLinesPaceEchoFirst)
{
    TMeterSimOptions options = OnCom(103);
    options.Faults.Echo = true;
    options.Faults.LateMs = 300;
    TRunningSimulator sim(options);
    TMasterLine line(sim.Sim().DevicePath(), 2400);
    // Two data requests in one go, the second with the frame count bit. Both echoes come back at
    // once and in order, ahead of the answers, which wait for their time.
    const TBytes requests = HexBytes("10 5B 01 5C 16 10 7B 01 7C 16");
    const auto start = Clock::now();
    line.Send(requests);
    EXPECT_EQ(line.Receive(requests.size(), 5000), requests);
    EXPECT_EQ(line.Receive(48, 5000).size(), 48u);
    // Request, reaction, lateness and the frame itself at 2400 baud: a lower bound only.
    EXPECT_GE(Clock::now() - start, AtLineRate(5) + 50ms + 300ms + AtLineRate(48) - 2ms);
    EXPECT_EQ(line.Receive(48, 5000).size(), 48u);
}

} // namespace
