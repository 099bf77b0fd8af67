// The comm platform on real UARTs: the 8250 driver of the guest, a loopback plug on one port and a
// PCI card that is unplugged (UartGuest.h). Every port has modem lines, so the driver serves each
// through its I/O thread; traffic across the null-modem pair is uart_serial_test's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "LineDcb.h"
#include "ProcessProbes.h"
#include "UartGuest.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TBytes = std::vector<std::uint8_t>;

TBytes Pattern(std::size_t count, unsigned seed)
{
    TBytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 251 + seed);
    return bytes;
}

// An open port as the port core uses it: overlapped, reads that never wait, one OVERLAPPED with
// its own event per kind of operation.
class TPort {
public:
    explicit TPort(const std::string& path, DWORD inQueue = 4096)
    {
        Handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE) << path << ": " << GetLastError();
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(Handle, &timeouts));
        EXPECT_TRUE(SetupComm(Handle, inQueue, 4096));
        for (OVERLAPPED* overlapped : {&Wait, &Write, &Read})
            overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~TPort()
    {
        Close();
        for (OVERLAPPED* overlapped : {&Wait, &Write, &Read})
            CloseHandle(overlapped->hEvent);
    }
    TPort(const TPort&) = delete;
    TPort& operator=(const TPort&) = delete;

    bool Close()
    {
        const bool closed = Handle == INVALID_HANDLE_VALUE || CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
        return closed;
    }

    // ERROR_SUCCESS, ERROR_IO_PENDING or the error of an overlapped write of `bytes`, which must
    // live until it ends.
    DWORD StartWrite(const TBytes& bytes)
    {
        DWORD written = 0;
        return WriteFile(Handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &Write)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }
    // The error the last write ended with, waiting for it at most `limit`; WAIT_TIMEOUT if it
    // has not ended by then.
    DWORD EndOfWrite(std::chrono::milliseconds limit)
    {
        if (WaitForSingleObject(Write.hEvent, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
            return WAIT_TIMEOUT;
        DWORD written = 0;
        return GetOverlappedResult(Handle, &Write, &written, FALSE) ? ERROR_SUCCESS : GetLastError();
    }

    // The events of `mask` from now on are waited for by Await().
    void Watch(DWORD mask) { EXPECT_TRUE(SetCommMask(Handle, mask)); }
    // The events of the watched mask that came within `limit`, collected until all of `wanted`
    // have come; 0 when none came.
    DWORD Await(DWORD wanted, std::chrono::milliseconds limit)
    {
        DWORD seen = 0;
        const auto end = Clock::now() + limit;
        while ((seen & wanted) != wanted && Clock::now() < end) {
            DWORD mask = 0;
            if (!WaitCommEvent(Handle, &mask, &Wait)) {
                EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
                WaitForSingleObject(Wait.hEvent, static_cast<DWORD>(std::max<long long>(left.count(), 0)));
                DWORD mode = 0;
                GetCommMask(Handle, &mode);
                SetCommMask(Handle, mode); // ends the wait if it is still outstanding
                DWORD unused = 0;
                GetOverlappedResult(Handle, &Wait, &unused, TRUE);
            }
            seen |= mask;
        }
        return seen;
    }
    // Everything received until `count` bytes came or `limit` passed, reading as EV_RXCHAR tells.
    TBytes Receive(std::size_t count, std::chrono::milliseconds limit)
    {
        TBytes bytes;
        Watch(EV_RXCHAR);
        const auto end = Clock::now() + limit;
        while (bytes.size() < count) {
            BYTE buffer[4096];
            DWORD got = 0;
            const auto want = static_cast<DWORD>(std::min(sizeof buffer, count - bytes.size()));
            EXPECT_TRUE(ReadFile(Handle, buffer, want, &got, &Read)) << GetLastError();
            bytes.insert(bytes.end(), buffer, buffer + got);
            if (got > 0)
                continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || Await(EV_RXCHAR, left) == 0)
                break;
        }
        return bytes;
    }
    DWORD Modem()
    {
        DWORD status = 0;
        EXPECT_TRUE(GetCommModemStatus(Handle, &status));
        return status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);
    }
    // Waits until the modem lines of `lines` are all as in `status` (the driver reads them back
    // from the UART, which QEMU updates from the plug).
    bool AwaitModem(DWORD lines, DWORD status)
    {
        for (const auto end = Clock::now() + 3s; Clock::now() < end; std::this_thread::sleep_for(10ms))
            if ((Modem() & lines) == status)
                return true;
        return false;
    }
    // Drops what the line still brings (the plug's echo of an earlier test) until it is quiet.
    void Settle()
    {
        while (!Receive(4096, 300ms).empty()) {
        }
        EXPECT_TRUE(PurgeComm(Handle, PURGE_RXCLEAR));
    }
    COMSTAT Status(DWORD* errors = nullptr)
    {
        COMSTAT stat{};
        DWORD collected = 0;
        EXPECT_TRUE(ClearCommError(Handle, &collected, &stat)) << GetLastError();
        if (errors)
            *errors = collected;
        return stat;
    }

    HANDLE Handle = INVALID_HANDLE_VALUE;
    OVERLAPPED Wait{}, Write{}, Read{};
};

// ---- line settings

TEST(UartLine, SettingsAreSetAndReadBackThroughTheDriver)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    TPort port(GuestUarts().Loop);
    const DCB lines[] = {LineDcb(110, 7, EVENPARITY, TWOSTOPBITS),
                         LineDcb(300),
                         LineDcb(2400, 8, EVENPARITY),
                         LineDcb(9600, 7, ODDPARITY, TWOSTOPBITS),
                         LineDcb(19200, 6, MARKPARITY),
                         LineDcb(31250, 7, SPACEPARITY),
                         LineDcb(57600, 5, NOPARITY, ONE5STOPBITS),
                         LineDcb(115200, 8, NOPARITY, TWOSTOPBITS),
                         LineDcb(4800, 5, ODDPARITY, ONE5STOPBITS)};
    for (const DCB& line : lines) {
        SCOPED_TRACE(testing::Message()
                     << line.BaudRate << " baud, " << int(line.ByteSize) << " bits, parity "
                     << int(line.Parity) << ", stop bits code " << int(line.StopBits));
        ASSERT_TRUE(SetCommState(port.Handle, &line)) << GetLastError();
        DCB back{};
        ASSERT_TRUE(GetCommState(port.Handle, &back));
        EXPECT_EQ(back.BaudRate, line.BaudRate);
        EXPECT_EQ(back.ByteSize, line.ByteSize);
        EXPECT_EQ(back.Parity, line.Parity);
        EXPECT_EQ(back.StopBits, line.StopBits);
    }
    // Above what the UART's clock can make (115200 baud from 1.8432 MHz): refused, and the line
    // stays as it was, as a refused DCB leaves it.
    for (const DWORD rate : {230400u, 921600u}) {
        const DCB line = LineDcb(rate);
        EXPECT_FALSE(SetCommState(port.Handle, &line)) << rate;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        DCB back{};
        ASSERT_TRUE(GetCommState(port.Handle, &back));
        EXPECT_EQ(back.BaudRate, 4800u);
        EXPECT_EQ(back.ByteSize, 5);
    }
}

// ---- modem lines, breaks and held output on the loopback plug

TEST(UartLoop, ModemLinesFollowTheWiringAndRaiseTheirEvents)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    TPort port(GuestUarts().Loop);
    const DCB line = LineDcb(9600);
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    constexpr DWORD kAll = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON;
    constexpr DWORD kFromDtr = MS_DSR_ON | MS_RLSD_ON | MS_RING_ON;
    ASSERT_TRUE(port.AwaitModem(kAll, kAll)) << port.Modem();
    // Settings changed on a port that has been open for a while, as the tool changes them: the
    // 8250 switches its modem-status interrupt off at every change of the terminal's attributes.
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    const struct {
        DWORD Function;
        DWORD Lines;  // after it
        DWORD Events; // that it raises
    } steps[] = {
        {CLRRTS, kFromDtr, EV_CTS},
        {CLRDTR, 0, EV_DSR | EV_RLSD},
        {SETDTR, kFromDtr, EV_DSR | EV_RLSD | EV_RING},
        {SETRTS, kAll, EV_CTS},
    };
    constexpr DWORD kWatched = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Function);
        port.Watch(kWatched);
        ASSERT_TRUE(EscapeCommFunction(port.Handle, step.Function));
        EXPECT_EQ(port.Await(step.Events, 3s), step.Events);
        EXPECT_EQ(port.Modem(), step.Lines);
    }
}

TEST(UartLoop, BreakComesBackAsABreak)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    TPort port(GuestUarts().Loop);
    const DCB line = LineDcb(9600);
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    port.Watch(EV_BREAK);
    ASSERT_TRUE(EscapeCommFunction(port.Handle, SETBREAK));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(EscapeCommFunction(port.Handle, CLRBREAK));
    EXPECT_EQ(port.Await(EV_BREAK, 3s), EV_BREAK);
    DWORD errors = 0;
    port.Status(&errors);
    EXPECT_EQ(errors & CE_BREAK, CE_BREAK);
}

// Output held by a handshake line the plug wires back: the write stays pending (the bytes have not
// left the port), a purge ends it and drops its bytes, and a close does not wait for them.
struct THandshake {
    const char* Name;
    bool Cts; // RTS/CTS, else DTR/DSR
    DWORD Hold, Release, Line;
};

class UartHeldOutput : public testing::TestWithParam<THandshake> {};

TEST_P(UartHeldOutput, StaysPendingUntilPurgedAndDoesNotHoldTheClose)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    const THandshake& shake = GetParam();
    TPort port(GuestUarts().Loop);
    port.Settle();
    DCB line = LineDcb(9600);
    line.fOutxCtsFlow = shake.Cts;
    line.fOutxDsrFlow = !shake.Cts;
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    ASSERT_TRUE(port.AwaitModem(shake.Line, shake.Line));
    ASSERT_TRUE(EscapeCommFunction(port.Handle, shake.Hold));
    ASSERT_TRUE(port.AwaitModem(shake.Line, 0));

    const TBytes held = Pattern(100, 1);
    ASSERT_EQ(port.StartWrite(held), ERROR_IO_PENDING);
    EXPECT_EQ(port.EndOfWrite(500ms), WAIT_TIMEOUT);
    EXPECT_EQ(port.Status().cbOutQue, held.size());
    ASSERT_TRUE(PurgeComm(port.Handle, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(port.EndOfWrite(2s), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(port.Status().cbOutQue, 0u);

    // Released, the line carries what is written now, and nothing of the purged bytes.
    ASSERT_TRUE(EscapeCommFunction(port.Handle, shake.Release));
    ASSERT_TRUE(port.AwaitModem(shake.Line, shake.Line));
    const TBytes fresh = Pattern(10, 7);
    const DWORD started = port.StartWrite(fresh); // a line that takes it at once ends it at once
    ASSERT_TRUE(started == ERROR_SUCCESS ||
                (started == ERROR_IO_PENDING && port.EndOfWrite(2s) == ERROR_SUCCESS));
    EXPECT_EQ(port.Receive(held.size() + fresh.size(), 1500ms), fresh);

    // Held again: closing drops the held bytes at once rather than waiting for the line.
    ASSERT_TRUE(EscapeCommFunction(port.Handle, shake.Hold));
    ASSERT_TRUE(port.AwaitModem(shake.Line, 0));
    ASSERT_EQ(port.StartWrite(held), ERROR_IO_PENDING);
    const auto closing = Clock::now();
    EXPECT_TRUE(port.Close());
    EXPECT_LT(Clock::now() - closing, 5s);
}

INSTANTIATE_TEST_SUITE_P(Handshakes, UartHeldOutput,
                         testing::Values(THandshake{"RtsCts", true, CLRRTS, SETRTS, MS_CTS_ON},
                                         THandshake{"DtrDsr", false, CLRDTR, SETDTR, MS_DSR_ON}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- idle cost

TEST(UartLoop, AnIdleOpenPortDoesNotWake)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    const std::set<std::string> others = Threads(); // this one, and a sanitizer's own
    TPort port(GuestUarts().Loop);
    const DCB line = LineDcb(9600);
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    port.Settle();
    port.Watch(EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR);
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port.Handle, &mask, &port.Wait)); // as the port core waits
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::this_thread::sleep_for(200ms);
    const long before = Switches(others);
    std::this_thread::sleep_for(3s);
    const long woken = Switches(others) - before;
    std::printf("idle open port: its threads woke %ld times in 3 s\n", woken);
    EXPECT_EQ(woken, 0) << "an open port with nothing queued keeps waking";
    EXPECT_EQ(WaitForSingleObject(port.Wait.hEvent, 0), WAIT_TIMEOUT);
}

// ---- traffic through the I/O thread

TEST(UartLoop, EchoUnderRtsCtsFlowThroughASmallQueueLosesNothing)
{
    SKIP_WITHOUT_UART(GuestUarts().Loop);
    // A queue far smaller than the transfer, not read for a while: the driver leaves the rest in
    // the kernel (whose throttle drops RTS, and so the port's own CTS) and takes it once read.
    TPort port(GuestUarts().Loop, 256);
    DCB line = LineDcb(115200);
    line.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(port.Handle, &line));
    const TBytes out = Pattern(6 * 1024, 3);
    const DWORD started = port.StartWrite(out);
    ASSERT_TRUE(started == ERROR_SUCCESS || started == ERROR_IO_PENDING) << started;
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(port.Status().cbInQue, 256u);
    const TBytes got = port.Receive(out.size(), 60s);
    if (started == ERROR_IO_PENDING) {
        EXPECT_EQ(port.EndOfWrite(5s), ERROR_SUCCESS);
    }
    EXPECT_EQ(got.size(), out.size());
    EXPECT_TRUE(got == out);
    DWORD errors = 0;
    port.Status(&errors);
    EXPECT_EQ(errors, 0u);
}

// ---- a port that goes away

TEST(UartGone, AnUnpluggedPortEndsWhatIsPendingFailsWhatComesAndStaysIdle)
{
    SKIP_WITHOUT_UART(GuestUarts().Gone);
    const std::string path = GuestUarts().Gone;
    const std::string remove = "/sys/class/tty/" + path.substr(path.rfind('/') + 1) + "/device/remove";
    TPort port(path);
    port.Watch(EV_RXCHAR | EV_CTS | EV_DSR);
    DWORD mask = 0xffff;
    ASSERT_FALSE(WaitCommEvent(port.Handle, &mask, &port.Wait));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    std::ofstream(remove) << "1\n"; // the PCI card is unplugged
    ASSERT_EQ(WaitForSingleObject(port.Wait.hEvent, 3000), WAIT_OBJECT_0);
    DWORD unused = 0;
    EXPECT_FALSE(GetOverlappedResult(port.Handle, &port.Wait, &unused, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port.StartWrite(Pattern(8, 0)), ERROR_DEVICE_NOT_CONNECTED);
    COMSTAT stat{};
    EXPECT_FALSE(ClearCommError(port.Handle, nullptr, &stat));

    const double cpu = CpuMs();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuMs() - cpu, 100.0) << "the driver keeps busy with a device that has gone";
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

} // namespace
