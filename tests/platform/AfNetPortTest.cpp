// Network ports as comm devices: the Telnet codec of the RFC 2217 backend, opens that fail and
// why, gateways that go wrong (tiny TCP peers of the test), and ser2net as a real gateway on a
// pseudo-terminal that stands in for the far serial port.
#include <gtest/gtest.h>

#include <algorithm>
#include <asm/termbits.h>
#include <chrono>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"
#include "LineDcb.h"
#include "NetGateways.h"
#include "comm/AfNetPort_p.h"
#include "comm/AfTelnetCodec_p.h"

namespace {

using namespace std::chrono_literals;
using TBytes = std::vector<BYTE>;
using Codec = AfTelnetCodec;

const std::string kPortDir = AfTestPortDirectory();
constexpr BYTE IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240;

// ---- the codec ---------------------------------------------------------------------------------

// What a client that has greeted the gateway makes of what the gateway sends, read by read.
struct TCodecCase {
    const char* Name;
    std::vector<TBytes> Reads;   // the stream from the gateway, as the reads cut it
    TBytes Data;                 // the serial port's data in it
    TBytes Reply;                // the client's answers to the gateway's option requests
    std::vector<TBytes> ComPort; // COM port subnegotiations: command, value
    bool Agreed = false;         // the gateway agreed that the client speaks the COM port option
    TBytes Escaped = {};         // the client's stream for Data, where the case says
};

TEST(TelnetCodecTest, TheStreamDecodesAndEncodesAsEachCaseSays)
{
    const std::vector<TCodecCase> cases = {
        {"PlainData", {{1, 2, 3}}, {1, 2, 3}, {}, {}, false, {1, 2, 3}},
        {"DoubledIacIsOneDataByte", {{1, IAC, IAC, 2}}, {1, IAC, 2}, {}, {}, false, {1, IAC, IAC, 2}},
        {"IacPairCutBetweenReads", {{1, IAC}, {IAC, 2}}, {1, IAC, 2}, {}, {}},
        {"OnlyIacs", {{IAC, IAC, IAC}, {IAC}}, {IAC, IAC}, {}, {}, false, {IAC, IAC, IAC, IAC}},
        // ser2net's opening: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO
        // COM-PORT. BINARY and COM-PORT answer the greeting; SGA is taken, ECHO refused.
        {"GatewayOpeningAsSer2netSendsIt",
         {{IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DONT, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44}},
         {},
         {IAC, DO, 3, IAC, WILL, 3, IAC, DONT, 1},
         {},
         true},
        {"RequestCutBetweenReads", {{IAC}, {DO}, {44, 7}}, {7}, {}, {}, true},
        {"RequestsInForceAreNotAnsweredAgain",
         {{IAC, WILL, 3}, {IAC, WILL, 3, IAC, DO, 3}, {IAC, DO, 3}},
         {},
         {IAC, DO, 3, IAC, WILL, 3},
         {}},
        {"UnknownOptionsAreRefused", {{IAC, WILL, 24, IAC, DO, 31}}, {}, {IAC, DONT, 24, IAC, WONT, 31}, {}},
        {"ComPortRefused", {{IAC, DONT, 44}}, {}, {}, {}, false},
        {"SwitchingOffIsConfirmed",
         {{IAC, WILL, 0, IAC, DO, 0}, {IAC, WONT, 0, IAC, DONT, 0}},
         {},
         {IAC, DONT, 0, IAC, WONT, 0},
         {}},
        {"CommandsBetweenDataAreLeftOut", {{1, IAC, 241, 2, IAC, 249, 3}}, {1, 2, 3}, {}, {}},
        {"NotificationCutAcrossReads",
         {{5, IAC, SB, 44}, {107}, {0x30, IAC}, {SE, 6}},
         {5, 6},
         {},
         {{107, 0x30}}},
        {"IacInAValueIsDoubled",
         {{IAC, SB, 44, 101, 0, 0, IAC, IAC, 0, IAC, SE}},
         {},
         {},
         {{101, 0, 0, IAC, 0}}},
        {"OtherOptionsSubnegotiationsAreLeftOut", {{IAC, SB, 24, 1, IAC, SE, 9}}, {9}, {}, {}},
        {"SubnegotiationBrokenOffByACommand",
         {{IAC, SB, 44, 107, 0x10, IAC, WILL, 3, 9}},
         {9},
         {IAC, DO, 3},
         {}},
        {"OverlongSubnegotiationIsDropped",
         {{IAC, SB, 44, 107}, TBytes(Codec::kMaxSubnegotiation, 0x10), {IAC, SE, 8}},
         {8},
         {},
         {}},
    };
    for (const TCodecCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Codec codec;
        TBytes greeting;
        codec.Greet(greeting);
        ASSERT_EQ(greeting, (TBytes{IAC, WILL, 44, IAC, WILL, 0, IAC, DO, 0}));
        TBytes data, reply;
        std::vector<TBytes> comPort;
        for (const TBytes& read : c.Reads) {
            TBytes out(read.size() + 1, 0xEE);
            const std::size_t n = codec.Decode(read.data(), read.size(), out.data(), reply, comPort);
            ASSERT_LE(n, read.size());
            EXPECT_EQ(out.back(), 0xEE) << "written past the read's size";
            data.insert(data.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
        }
        EXPECT_EQ(data, c.Data);
        EXPECT_EQ(reply, c.Reply);
        EXPECT_EQ(comPort, c.ComPort);
        EXPECT_EQ(codec.ComPortAgreed(), c.Agreed);
        // What the client sends decodes to the data again.
        TBytes escaped;
        Codec::Escape(c.Data.data(), c.Data.size(), escaped);
        EXPECT_TRUE(c.Escaped.empty() || escaped == c.Escaped);
        Codec peer;
        TBytes back(escaped.size()), ignored;
        back.resize(peer.Decode(escaped.data(), escaped.size(), back.data(), ignored, comPort));
        EXPECT_EQ(back, c.Data);
    }
    // A command with an IAC in its value: a baud rate of 0x0000FF00.
    TBytes command;
    Codec::ComPortCommand(Codec::kSetBaudRate, {0, 0, IAC, 0}, command);
    EXPECT_EQ(command, (TBytes{IAC, SB, 44, 1, 0, 0, IAC, IAC, 0, IAC, SE}));
}

// ---- opens and gateways that go wrong ----------------------------------------------------------

HANDLE OpenPort(const std::string& name)
{
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The M-Bus line: 8 data bits, even parity.
DCB EvenLine(DWORD baud)
{
    DCB dcb = LineDcb(baud, 8, EVENPARITY);
    dcb.fParity = 1;
    return dcb;
}

// An open network port with the core's settings, and an OVERLAPPED each for a wait, a write and a
// read.
class NetPortTest : public testing::Test {
protected:
    static constexpr int kCom = 151;

    // Opens `address` as COM kCom.
    ::testing::AssertionResult Open(const std::string& address)
    {
        AfRegisterTestCom(kCom, address);
        FPort = OpenPort("COM" + std::to_string(kCom));
        if (FPort == INVALID_HANDLE_VALUE)
            return ::testing::AssertionFailure() << "error " << GetLastError();
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        const DCB dcb = EvenLine(2400);
        if (!SetCommTimeouts(FPort, &timeouts) || !SetupComm(FPort, 4096, 2048) ||
            !SetCommMask(FPort, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING) ||
            !SetCommState(FPort, &dcb))
            return ::testing::AssertionFailure() << "set-up error " << GetLastError();
        return ::testing::AssertionSuccess();
    }
    void SetUp() override
    {
        for (OVERLAPPED* overlapped : {&FWait, &FWrite, &FRead})
            overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        EXPECT_TRUE(FPort == INVALID_HANDLE_VALUE || CloseHandle(FPort));
        for (OVERLAPPED* overlapped : {&FWait, &FWrite, &FRead})
            CloseHandle(overlapped->hEvent);
        AfUnregisterTestCom(kCom);
    }
    // Writes `bytes` and waits for the write's end: its result and error.
    std::pair<BOOL, DWORD> Write(const TBytes& bytes)
    {
        DWORD written = 0;
        BOOL done = WriteFile(FPort, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &FWrite);
        if (!done && GetLastError() == ERROR_IO_PENDING)
            done = GetOverlappedResult(FPort, &FWrite, &written, TRUE);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        EXPECT_TRUE(!done || written == bytes.size());
        return {done, error};
    }
    // Reads what has come until `count` bytes are in or `timeout` passes, by EV_RXCHAR waits.
    TBytes Read(std::size_t count, std::chrono::milliseconds timeout)
    {
        TBytes bytes;
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < count && std::chrono::steady_clock::now() < until) {
            BYTE buffer[1024];
            DWORD read = 0;
            if (!ReadFile(FPort, buffer, sizeof buffer, &read, &FRead))
                break;
            bytes.insert(bytes.end(), buffer, buffer + read);
            if (read > 0)
                continue;
            DWORD mask = 0;
            if (!WaitCommEvent(FPort, &mask, &FWait))
                WaitForSingleObject(FWait.hEvent, 50);
            SetCommMask(FPort, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING); // ends it
        }
        return bytes;
    }

    HANDLE FPort = INVALID_HANDLE_VALUE;
    OVERLAPPED FWait{}, FWrite{}, FRead{};
};

// A network port that cannot be opened says why, in GetLastError and in its description.
TEST_F(NetPortTest, AnOpenThatFailsSaysWhy)
{
    const std::string closed = std::to_string(FreeLocalPort());
    const struct {
        std::string Address;
        DWORD Error;
        std::string Problem;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + closed, ERROR_CONNECTION_REFUSED, "connection refused"},
        {"tcp://127.0.0.1:" + closed, ERROR_CONNECTION_REFUSED, "connection refused"},
        // .invalid never resolves (RFC 6761).
        {"tcp://gateway.invalid:2217", ERROR_BAD_NETPATH, "the host name does not resolve"},
        {"tcp://127.0.0.1", ERROR_FILE_NOT_FOUND, "not a network port's address"},
        {"rfc2217://:2217", ERROR_FILE_NOT_FOUND, "not a network port's address"},
        {"tcp://127.0.0.1:65536", ERROR_FILE_NOT_FOUND, "not a network port's address"},
        {"tcp://127.0.0.1:2217/x", ERROR_FILE_NOT_FOUND, "not a network port's address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Address);
        AfRegisterTestCom(kCom, c.Address);
        EXPECT_EQ(ComPortDevicePath(kCom), c.Address);
        EXPECT_EQ(OpenPort("COM" + std::to_string(kCom)), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.Error);
        EXPECT_EQ(AfDescribeSerialDevice(c.Address).Problem.substr(0, c.Problem.size()), c.Problem);
    }
}

// A port directory entry names a network port by its address; the listing shows the address, and
// the address finds its COM number, or gets one of its own. Nothing connects meanwhile.
TEST_F(NetPortTest, ANetworkPortIsListedByItsAddressAndFoundByIt)
{
    TTcpPeer peer(TTcpPeer::TBehaviour::Silent);
    const std::string address = peer.Address("rfc2217://");
    AfRegisterTestCom(kCom, address);
    const auto ports = AfListComPorts();
    const auto listed =
        std::find_if(ports.begin(), ports.end(), [](const auto& port) { return port.Number == kCom; });
    ASSERT_NE(listed, ports.end());
    EXPECT_EQ(listed->Device, address);
    EXPECT_EQ(AfComPortSummary(*listed), address);
    EXPECT_EQ(AfComNumberForDevice(address), kCom);
    const std::string other = peer.Address("tcp://");
    const int assigned = AfComNumberForDevice(other);
    EXPECT_GT(assigned, kCom);
    EXPECT_EQ(ComPortDevicePath(assigned), other);
    EXPECT_EQ(AfComNumberForDevice("tcp://127.0.0.1"), 0);
    AssignComPort(assigned, {});
    EXPECT_EQ(peer.Accepted(), 0);
}

// A listener whose queue is full (backlog 0, one connection waiting) lets a connection wait for
// good: the open gives up at its time-out.
TEST(NetConnectTest, AConnectionNeverAcceptedEndsAtTheTimeOut)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    DWORD error = ERROR_SUCCESS;
    std::string reason;
    const int filler = AfConnectTcp("127.0.0.1", port, 2000, error, reason);
    ASSERT_GE(filler, 0) << reason;
    EXPECT_EQ(AfConnectTcp("127.0.0.1", port, 200, error, reason), -1);
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_EQ(reason, "no connection within 200 ms");
    ::close(filler);
    ::close(listener);
}

class GatewayFaultTest : public NetPortTest, public testing::WithParamInterface<const char*> {};

// A gateway that takes the connection and then says nothing: the port opens and works, and
// simply hears nothing; an idle port costs nothing meanwhile.
TEST_P(GatewayFaultTest, AGatewayThatNeverAnswersIsAPortThatHearsNothing)
{
    TTcpPeer peer(TTcpPeer::TBehaviour::Silent);
    ASSERT_TRUE(Open(peer.Address(GetParam())));
    EXPECT_EQ(Write({0x10, 0x5B, 0x01, 0x5C, 0x16}), std::make_pair(TRUE, ERROR_SUCCESS));
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(FPort, &status));
    EXPECT_TRUE(PurgeComm(FPort, PURGE_RXABORT | PURGE_RXCLEAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(FPort, &mask, &FWait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const double cpu = ProcessCpuSeconds();
    EXPECT_EQ(WaitForSingleObject(FWait.hEvent, 300), WAIT_TIMEOUT);
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05) << "an idle port keeps a thread busy";
    EXPECT_EQ(Read(1, 0ms), TBytes{});
    EXPECT_EQ(peer.Accepted(), 1);
}

// The gateway closes the connection while a read waits for the answer: the pending wait and every
// later operation fail with the error of a device that has gone, and nothing spins.
TEST_P(GatewayFaultTest, AConnectionClosedDuringAReadIsADeviceGone)
{
    TTcpPeer peer(TTcpPeer::TBehaviour::CloseOnRequest);
    ASSERT_TRUE(Open(peer.Address(GetParam())));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(FPort, &mask, &FWait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Write({0x10, 0x5B, 0x01, 0x5C, 0x16}); // the request the peer hangs up on
    ASSERT_EQ(WaitForSingleObject(FWait.hEvent, 5000), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(FPort, &FWait, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    BYTE buffer[16];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(FPort, buffer, sizeof buffer, &read, &FRead));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Write({1}), std::make_pair(FALSE, ERROR_DEVICE_NOT_CONNECTED));
    const double cpu = ProcessCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05) << "a port whose connection has ended keeps a thread busy";
}

INSTANTIATE_TEST_SUITE_P(Kinds, GatewayFaultTest, testing::Values("rfc2217://", "tcp://"),
                         [](const auto& info) { return std::string(info.param).substr(0, 3); });

// ---- ser2net ------------------------------------------------------------------------------------

// The far port's line as ser2net set it on the pseudo-terminal.
termios2 FarLine(const AfPtyPort& pty)
{
    termios2 line{};
    ::ioctl(pty.MasterFd(), TCGETS2, &line);
    return line;
}

class Ser2netTest : public NetPortTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        NetPortTest::SetUp();
        FGateway = std::make_unique<TSer2net>(FFar.DevicePath());
        FAddress = GetParam() ? FGateway->Rfc2217Address() : FGateway->TcpAddress();
        ASSERT_TRUE(Open(FAddress));
    }
    void TearDown() override
    {
        NetPortTest::TearDown();
        FGateway.reset();
    }
    // A round trip through the gateway: everything sent before it has been dealt with.
    void RoundTrip()
    {
        ASSERT_EQ(Write({0x42}).first, TRUE);
        ASSERT_EQ(FFar.Receive(1, 5000), TBytes{0x42});
        ASSERT_TRUE(FFar.Send({0x43}));
        ASSERT_EQ(Read(1, 5s), TBytes{0x43});
    }

    AfPtyPort FFar;
    std::unique_ptr<TSer2net> FGateway;
    std::string FAddress;
};

// Every byte value crosses both ways unchanged, IAC included, as the gateway's own test of each.
TEST_P(Ser2netTest, EveryByteValueCrossesBothWaysUnchanged)
{
    TBytes all(512);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<BYTE>(i);
    ASSERT_EQ(Write(all).first, TRUE);
    EXPECT_EQ(FFar.Receive(all.size(), 5000), all);
    const TBytes back(all.rbegin(), all.rend());
    ASSERT_TRUE(FFar.Send(back));
    EXPECT_EQ(Read(back.size(), 5s), back);
}

// Over RFC 2217 the line settings reach the far port; over raw TCP they stay with the handle. Either
// way GetCommState reads back what was set, and DTR, RTS and breaks, which ser2net on a port
// without modem lines never answers, hold nothing up.
TEST_P(Ser2netTest, LineSettingsReachTheFarPortOverRfc2217Only)
{
    DCB dcb = EvenLine(9600);
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(FPort, &dcb));
    for (const DWORD function : {CLRDTR, SETDTR, CLRRTS, SETRTS})
        EXPECT_TRUE(EscapeCommFunction(FPort, function)) << function;
    EXPECT_EQ(EscapeCommFunction(FPort, SETBREAK), GetParam() ? TRUE : FALSE);
    EXPECT_EQ(EscapeCommFunction(FPort, CLRBREAK), GetParam() ? TRUE : FALSE);
    RoundTrip();
    DCB back{};
    back.DCBlength = sizeof back;
    ASSERT_TRUE(GetCommState(FPort, &back));
    EXPECT_EQ(std::make_tuple(back.BaudRate, back.ByteSize, back.Parity, back.StopBits),
              std::make_tuple(DWORD{9600}, BYTE{7}, ODDPARITY, TWOSTOPBITS));
    // A pseudo-terminal keeps 8 data bits without parity whatever it is told; its rate, stop bits
    // and the odd-parity flag show what the gateway set.
    const termios2 far = FarLine(FFar);
    const tcflag_t frame = far.c_cflag & (PARODD | CSTOPB);
    if (GetParam()) {
        EXPECT_EQ(far.c_ospeed, 9600u);
        EXPECT_EQ(frame, PARODD | CSTOPB);
    } else {
        EXPECT_EQ(far.c_ospeed, 2400u); // the gateway's own 2400e81
        EXPECT_EQ(frame, 0u);
    }
    DWORD status = 0xFFFF;
    EXPECT_TRUE(GetCommModemStatus(FPort, &status));
    EXPECT_EQ(status, 0u); // ser2net's "local": no modem lines
}

// ser2net serves one client at a time, and tells the next one so as it closes the connection. A
// port opened at once after another was closed gets the gateway all the same; one opened while
// another holds the gateway is refused, with the gateway's words.
TEST_P(Ser2netTest, AGatewayThatServesAnotherClientRefusesTheOpenWithItsReason)
{
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(CloseHandle(FPort));
        FPort = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(Open(FAddress)) << i;
        RoundTrip();
    }
    const std::string other = GetParam() ? FGateway->TcpAddress() : FGateway->Rfc2217Address();
    AfRegisterTestCom(kCom + 1, other);
    EXPECT_EQ(OpenPort("COM" + std::to_string(kCom + 1)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(AfDescribeSerialDevice(other).Problem,
              "the gateway ended the connection at once (\"Port's device already in use\")");
    AfUnregisterTestCom(kCom + 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Ser2netTest, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "rfc2217" : "tcp"); });

} // namespace
