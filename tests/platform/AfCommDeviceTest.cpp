// The serial device operations on the controllable test device: modem lines, line errors, a slow
// line, refused settings and a device that disappears.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>
#include <utility>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "comm/AfCommBackend_p.h"

namespace {

const std::string kPortDir = AfTestPortDirectory();

constexpr DWORD kCoreMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RING;

double CpuMillis()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

class DevicePort : public ::testing::Test {
protected:
    void SetUp() override
    {
        device_.RegisterAsCom(150);
        port_ = CreateFileA("COM150", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(device_.IsOpen());
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
        ASSERT_TRUE(SetCommMask(port_, kCoreMask));
        for (OVERLAPPED* overlapped : {&wait_, &write_, &read_}) {
            *overlapped = {};
            overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }

    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        for (OVERLAPPED* overlapped : {&wait_, &write_, &read_})
            CloseHandle(overlapped->hEvent);
    }

    // Starts a wait, lets `cause` happen and returns the mask the wait ended with (0xFFFFFFFF if
    // it did not end within 2 s).
    template <class Cause> DWORD WaitFor(Cause cause)
    {
        DWORD mask = 0;
        if (WaitCommEvent(port_, &mask, &wait_))
            return mask | 0x80000000u; // ended at once: marked so that the test sees it
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        cause();
        if (WaitForSingleObject(wait_.hEvent, 2000) != WAIT_OBJECT_0)
            return 0xFFFFFFFFu;
        DWORD transferred = 0;
        if (!GetOverlappedResult(port_, &wait_, &transferred, FALSE))
            return 0; // ended with an error (the mask is 0 then as well)
        return mask;
    }

    AfTestDevice device_{"device-port"};
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED wait_{};
    OVERLAPPED write_{};
    OVERLAPPED read_{};
};

} // namespace

TEST_F(DevicePort, ModemLineChangesEndTheWaitWithTheirEvents)
{
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_CTS_ON); }), EV_CTS);
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_CTS_ON | MS_DSR_ON); }), EV_DSR);
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_DSR_ON | MS_RLSD_ON); }), EV_CTS | EV_RLSD);
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_DSR_ON | MS_RLSD_ON | MS_RING_ON); }), EV_RING);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);

    // A ring counts once: its end is no new ring, and one that began and ended unseen still is.
    EXPECT_EQ(WaitFor([&] {
                  device_.SetModemLines(MS_DSR_ON | MS_RLSD_ON);
                  device_.SetModemLines(MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON);
              }),
              EV_CTS);
    EXPECT_EQ(WaitFor([&] { device_.Ring(); }), EV_RING);

    // Events outside the mask are not reported.
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_EQ(WaitFor([&] {
                  device_.SetModemLines(0);
                  device_.Inject({1});
              }),
              EV_RXCHAR);
}

TEST_F(DevicePort, ModemStatusReadsTheLinesBeforeTheirChangeIsServed)
{
    device_.SetModemLines(MS_CTS_ON | MS_RLSD_ON, false);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
    // The events follow what the caller has seen.
    EXPECT_EQ(WaitFor([] {}) & ~0x80000000u, EV_CTS | EV_RLSD);
}

TEST_F(DevicePort, LineErrorsAreReportedAsEventAndCollectedOnce)
{
    EXPECT_EQ(WaitFor([&] { device_.AddLineErrors(1, 2, 0, 0); }), EV_ERR);
    device_.AddLineErrors(0, 0, 1, 0);
    // The next wait finds the overrun in the history and ends at once.
    EXPECT_EQ(WaitFor([] {}) & ~0x80000000u, EV_ERR);
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_CTS_ON); }), EV_CTS) << "an event reported twice";
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY | CE_OVERRUN);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
}

TEST_F(DevicePort, AFloodOfInputIsHeldBackAndArrivesWhole)
{
    // Far more than the queue and than one turn of the driver's reads: the device keeps what does
    // not fit, and each read lets more in without a new signal from the device.
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    std::vector<std::uint8_t> flood(200000);
    for (std::size_t i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
    device_.Inject(flood);
    std::vector<std::uint8_t> received;
    DWORD errors = 0;
    while (received.size() < flood.size()) {
        std::uint8_t buffer[64];
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
        EXPECT_LE(read, 16u);
        received.insert(received.end(), buffer, buffer + read);
        if (read == 0) {
            ASSERT_NE(WaitFor([] {}), 0xFFFFFFFFu) << "stuck after " << received.size() << " bytes";
        }
        COMSTAT stat{};
        DWORD more = 0;
        ASSERT_TRUE(ClearCommError(port_, &more, &stat));
        errors |= more;
    }
    EXPECT_TRUE(received == flood);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(device_.InputLeft(), 0u);
}

TEST_F(DevicePort, ReadingTheDeviceDoesNotHoldUpTheCallers)
{
    device_.StallReads();
    device_.Inject({1, 2, 3});
    ASSERT_TRUE(device_.WaitReadStalled(2000));
    // While the driver's read of the device has not returned, the handle still serves.
    std::promise<bool> served;
    std::thread caller([&] {
        COMSTAT stat{};
        DWORD errors = 0;
        DCB dcb{};
        const std::uint8_t byte = 7;
        DWORD written = 0;
        served.set_value(ClearCommError(port_, &errors, &stat) && GetCommState(port_, &dcb) &&
                         WriteFile(port_, &byte, 1, &written, &write_));
    });
    const bool inTime = served.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    device_.ResumeReads();
    caller.join();
    EXPECT_TRUE(inTime) << "a caller waited for the device read";
    EXPECT_EQ(WaitFor([] {}) & ~0x80000000u, EV_RXCHAR);
    std::uint8_t buffer[8];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + read), (std::vector<std::uint8_t>{1, 2, 3}));
}

// An input purge and a smaller queue, each made while the driver's read of the device has not
// returned, with bytes arriving once the call is back. A call that does not wait for the read lets
// that read bring the later bytes in: the purge then drops them, and the smaller queue overflows
// although the device could have held the surplus back.
TEST_F(DevicePort, PurgeAndQueueSizeLetTheReadInFlightEndFirst)
{
    // Runs `change` on another thread while a device read is stalled, then lets `later` arrive.
    // A change that returns while the read is stalled shows within the pause; one that waits for
    // the read gets it resumed after the pause.
    const auto whileReading = [&](auto change, const std::vector<std::uint8_t>& later) {
        device_.StallReads();
        device_.Inject({1});
        ASSERT_TRUE(device_.WaitReadStalled(2000));
        std::atomic<bool> arrived{false};
        std::thread caller([&] {
            change();
            device_.Inject(later);
            arrived = true;
        });
        const auto pause = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (!arrived && std::chrono::steady_clock::now() < pause)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        device_.ResumeReads();
        caller.join();
    };
    // Reads until `count` bytes came (or 5 s passed), with any line errors seen meanwhile.
    const auto readAll = [&](std::size_t count, DWORD& errors) {
        std::vector<std::uint8_t> received;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (received.size() < count && std::chrono::steady_clock::now() < limit) {
            std::uint8_t buffer[64];
            DWORD read = 0;
            EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
            received.insert(received.end(), buffer, buffer + read);
            DWORD more = 0;
            COMSTAT stat{};
            EXPECT_TRUE(ClearCommError(port_, &more, &stat));
            errors |= more;
            if (read == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return received;
    };

    whileReading([&] { EXPECT_TRUE(PurgeComm(port_, PURGE_RXCLEAR)); }, {2, 3});
    DWORD errors = 0;
    EXPECT_EQ(readAll(2, errors), (std::vector<std::uint8_t>{2, 3})) << "bytes after the purge lost";

    // The stalled read was sized for the default queue; the new one holds 4 bytes.
    const std::vector<std::uint8_t> later{10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    whileReading([&] { EXPECT_TRUE(SetupComm(port_, 4, 4)); }, later);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (device_.InputLeft() != 7 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(device_.InputLeft(), 7u) << "the device holds back what the queue has no room for";
    std::vector<std::uint8_t> expected{1};
    expected.insert(expected.end(), later.begin(), later.end());
    errors = 0;
    EXPECT_EQ(readAll(expected.size(), errors), expected);
    EXPECT_EQ(errors & CE_RXOVER, 0u);
}

TEST_F(DevicePort, InputPurgeDropsWhatTheDeviceStillHolds)
{
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    device_.Inject(std::vector<std::uint8_t>(100, 0x11));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (device_.InputLeft() != 84 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(device_.InputLeft(), 84u) << "the device holds back what the queue has no room for";

    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)); // and forget the arrivals from before it
    EXPECT_EQ(WaitFor([&] { device_.Inject({0x22}); }), EV_RXCHAR);
    std::uint8_t buffer[64];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + read), std::vector<std::uint8_t>{0x22})
        << "bytes from before the purge were read after it";
}

// Calls that the system answers in a way of its own: the result, the error and one value each
// reports (in `value`). The last one closes the port.
TEST_F(DevicePort, CallsAnswerAsTheSystemDoes)
{
    DWORD mask = 0;
    DWORD value = 0;
    std::uint8_t byte = 1;
    const auto waitForAByte = [&] {
        EXPECT_FALSE(WaitCommEvent(port_, &mask, &wait_));
        EXPECT_FALSE(HasOverlappedIoCompleted(&wait_));
        device_.Inject({byte});
        EXPECT_EQ(WaitForSingleObject(wait_.hEvent, 2000), WAIT_OBJECT_0);
    };
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.ByteSize = 5;
    dcb.StopBits = TWOSTOPBITS;
    const struct {
        const char* what;
        std::function<BOOL()> call;
        BOOL result;
        DWORD error; // after a failure
        DWORD value;
    } cases[] = {
        {"five data bits with two stop bits run 1.5",
         [&] {
             const BOOL set = SetCommState(port_, &dcb);
             DCB back{};
             GetCommState(port_, &back);
             value = back.StopBits;
             return set;
         },
         TRUE, 0, ONE5STOPBITS},
        {"an operation whose event is set is no longer pending",
         [&] {
             waitForAByte();
             value = static_cast<DWORD>(wait_.Internal);
             return HasOverlappedIoCompleted(&wait_);
         },
         TRUE, 0, ERROR_SUCCESS},
        {"a finished wait hands over a DWORD",
         [&] {
             waitForAByte();
             return GetOverlappedResult(port_, &wait_, &value, FALSE);
         },
         TRUE, 0, sizeof(DWORD)},
        {"a purge of nothing",
         [&] {
             value = 0;
             return PurgeComm(port_, 0);
         },
         FALSE, ERROR_INVALID_PARAMETER, 0},
        {"a read without OVERLAPPED on an overlapped handle",
         [&] { return ReadFile(port_, &byte, 1, &value, nullptr); }, FALSE, ERROR_INVALID_PARAMETER, 0},
        {"a write without OVERLAPPED on an overlapped handle",
         [&] {
             const BOOL result = WriteFile(port_, &byte, 1, &value, nullptr);
             value = static_cast<DWORD>(device_.TakeSent().size());
             return result;
         },
         FALSE, ERROR_INVALID_PARAMETER, 0},
        {"a wait that the close ends was aborted",
         [&] {
             EXPECT_FALSE(WaitCommEvent(port_, &mask, &wait_));
             const HANDLE closed = std::exchange(port_, INVALID_HANDLE_VALUE);
             CloseHandle(closed);
             return GetOverlappedResult(closed, &wait_, &value, FALSE);
         },
         FALSE, ERROR_OPERATION_ABORTED, 0},
    };
    for (const auto& c : cases) {
        SetLastError(ERROR_IO_PENDING); // stale: a failing call must set its own error
        value = 99;
        const BOOL result = c.call();
        EXPECT_EQ(result, c.result) << c.what;
        if (!result) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
        EXPECT_EQ(value, c.value) << c.what;
    }
}

TEST_F(DevicePort, DsrFlowHoldsOutputWhileDsrIsOff)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fOutxDsrFlow = 1;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5};
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data.data(), 5, &written, &write_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.fDsrHold, 1u);
    EXPECT_EQ(stat.cbOutQue, 5u);
    EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(device_.TakeSent().empty());

    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(MS_DSR_ON); }), EV_DSR);
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 2000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, FALSE));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(device_.TakeSent(), data);

    // DSR off again: the next write waits once more; without the flow control it goes at once.
    EXPECT_EQ(WaitFor([&] { device_.SetModemLines(0); }), EV_DSR);
    ASSERT_FALSE(WriteFile(port_, data.data(), 5, &written, &write_));
    ASSERT_TRUE(device_.TakeSent().empty());
    dcb.fOutxDsrFlow = 0;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(device_.TakeSent(), data);
}

TEST_F(DevicePort, DtrHandshakeFollowsTheInputQueue)
{
    ASSERT_TRUE(SetupComm(port_, 100, 100));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.XoffLim = 20; // DTR drops at 80 queued bytes
    dcb.XonLim = 10;  // and rises again at 10
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    const DWORD both = AF_LINE_DTR | AF_LINE_RTS;
    ASSERT_EQ(device_.OutputLines(), both);
    EXPECT_FALSE(EscapeCommFunction(port_, CLRDTR)) << "the handshake owns DTR";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    device_.Inject(std::vector<std::uint8_t>(79, 0x33));
    ASSERT_TRUE(device_.WaitInputTaken(2000));
    device_.Inject({0x34});
    ASSERT_TRUE(device_.WaitOutputLines(AF_LINE_RTS, 2000)) << "DTR still up at 80 queued bytes";

    std::uint8_t buffer[100];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, 69, &read, &read_));
    ASSERT_EQ(read, 69u);
    EXPECT_EQ(device_.OutputLines(), AF_LINE_RTS) << "DTR up again at 11 queued bytes";
    ASSERT_TRUE(ReadFile(port_, buffer, 1, &read, &read_));
    EXPECT_EQ(device_.OutputLines(), both);

    // Leaving the handshake gives DTR back to the DCB's line setting and to the caller.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(device_.OutputLines(), AF_LINE_RTS);
    EXPECT_TRUE(EscapeCommFunction(port_, SETDTR));
    EXPECT_EQ(device_.OutputLines(), both);
}

TEST_F(DevicePort, SlowLineKeepsTheWritePendingUntilEveryByteIsTaken)
{
    std::vector<std::uint8_t> data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    device_.HoldWrites();
    DWORD written = 0;
    SetEvent(write_.hEvent); // a stale signal is cleared when the write starts
    ASSERT_FALSE(WriteFile(port_, data.data(), 100, &written, &write_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_TIMEOUT);

    device_.AllowWrites(40);
    ASSERT_EQ(device_.WaitSent(40, 2000), 40u);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 60u);
    EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_TIMEOUT);

    device_.AllowWrites(60);
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 2000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, FALSE));
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(device_.TakeSent(), data);
}

TEST_F(DevicePort, TransmitAbortEndsTheWriteWithTheCountReached)
{
    std::vector<std::uint8_t> data(100, 0x55);
    device_.HoldWrites();
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data.data(), 100, &written, &write_));
    device_.AllowWrites(40);
    ASSERT_EQ(device_.WaitSent(40, 2000), 40u);

    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port_, &write_, &written, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(written, 40u);

    // The aborted bytes are never sent later; the next write goes out whole.
    device_.ReleaseWrites();
    const std::uint8_t next[3] = {1, 2, 3};
    if (!WriteFile(port_, next, 3, &written, &write_)) {
        ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
    }
    EXPECT_EQ(written, 3u);
    const auto sent = device_.TakeSent();
    ASSERT_EQ(sent.size(), 43u);
    EXPECT_EQ(sent[40], 1);
}

// Bytes the device has taken into its transmit queue have not been sent yet: the write stays
// pending and they count as output queued until they have left; a purge ends the write and drops
// them, and so does a close, which does not wait for a line that may never take them.
TEST_F(DevicePort, OutputInTheDevicesQueueIsPendingUntilItHasLeft)
{
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8};
    const struct {
        const char* what;
        std::function<void()> then;
        DWORD result;
        std::size_t sent; // of the write's bytes
    } cases[] = {
        {"the queue sends it",
         [&] {
             device_.Transmit(3);
             COMSTAT stat{};
             DWORD errors = 0;
             EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
             EXPECT_EQ(stat.cbOutQue, 5u);
             EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_TIMEOUT) << "done too soon";
             device_.Transmit(5);
         },
         ERROR_SUCCESS, 8},
        {"a purge", [&] { EXPECT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR)); },
         ERROR_OPERATION_ABORTED, 0},
        {"a close", [&] { EXPECT_TRUE(CloseHandle(std::exchange(port_, INVALID_HANDLE_VALUE))); },
         ERROR_OPERATION_ABORTED, 0},
    };
    device_.QueueOutput();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HANDLE port = port_;
        DWORD written = 0;
        ASSERT_FALSE(WriteFile(port, data.data(), 8, &written, &write_));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(device_.OutputQueued(), 8u);
        COMSTAT stat{};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(port, &errors, &stat));
        EXPECT_EQ(stat.cbOutQue, 8u);
        EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_TIMEOUT);

        c.then();
        ASSERT_EQ(WaitForSingleObject(write_.hEvent, 2000), WAIT_OBJECT_0);
        const BOOL result = GetOverlappedResult(port, &write_, &written, FALSE);
        EXPECT_EQ(result ? ERROR_SUCCESS : GetLastError(), c.result);
        EXPECT_EQ(device_.TakeSent().size(), c.sent);
        EXPECT_EQ(device_.OutputQueued(), 0u);
    }
}

TEST_F(DevicePort, OutputEmptyEventFollowsTheLastWrite)
{
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
    device_.HoldWrites();
    const std::uint8_t data[5] = {9, 8, 7, 6, 5};
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data, 5, &written, &write_));
    EXPECT_EQ(WaitFor([&] { device_.AllowWrites(5); }), EV_TXEMPTY);
}

TEST_F(DevicePort, SettingsReachTheDeviceAndRefusedOnesKeepThePrevious)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = 2400;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(device_.State().BaudRate, 2400u);
    EXPECT_EQ(device_.State().ByteSize, 7);
    EXPECT_EQ(device_.State().Parity, EVENPARITY);
    EXPECT_EQ(device_.OutputLines(), AF_LINE_RTS);

    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_DISABLE);

    device_.RefuseStates(ERROR_INVALID_PARAMETER);
    DCB other = dcb;
    other.BaudRate = 115200;
    other.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_FALSE(SetCommState(port_, &other));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 2400u);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(device_.OutputLines(), AF_LINE_RTS) << "a refused DCB changes no line";

    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRRTS));
    EXPECT_EQ(device_.OutputLines(), AF_LINE_DTR);
    ASSERT_TRUE(EscapeCommFunction(port_, SETBREAK));
    EXPECT_TRUE(device_.BreakOn());
    ASSERT_TRUE(EscapeCommFunction(port_, CLRBREAK));
    EXPECT_FALSE(device_.BreakOn());
}

TEST_F(DevicePort, SecondOpenIsRefusedAsBusy)
{
    SetLastError(0);
    EXPECT_EQ(CreateFileA(device_.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(DevicePort, DisappearingDeviceEndsPendingOperationsAndNothingSpins)
{
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    device_.HoldWrites();
    const std::uint8_t data[10] = {};
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data, 10, &written, &write_));

    device_.Disappear();
    HANDLE both[] = {wait_.hEvent, write_.hEvent};
    ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, 2000), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &wait_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(GetOverlappedResult(port_, &write_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(SetCommMask(port_, 0));
    EXPECT_FALSE(PurgeComm(port_, 15));
    EXPECT_FALSE(EscapeCommFunction(port_, SETDTR));

    const double before = CpuMillis();
    usleep(1000 * 1000);
    const double used = CpuMillis() - before;
    std::printf("CPU over 1 s with the device gone: %.2f ms\n", used);
    EXPECT_LT(used, 50.0);

    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(CreateFileA("COM150", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DevicePort, BytesQueuedBeforeTheDeviceWentCanStillBeRead)
{
    EXPECT_EQ(WaitFor([&] { device_.Inject({4, 5}); }), EV_RXCHAR);
    // The next wait ends (with an error) when the driver notices the device is gone.
    EXPECT_EQ(WaitFor([&] { device_.Disappear(); }), 0u);
    std::uint8_t buffer[4] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, 4, &read, &read_));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(buffer[1], 5);
    EXPECT_FALSE(ReadFile(port_, buffer, 4, &read, &read_));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}
