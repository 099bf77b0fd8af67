// The port core on a pseudo-terminal registered as a COM number: opening and its failures, the
// results of a closed core, output through the write thread, input reports of the event thread,
// purges, closing, exceptions raised by the owner callback, line errors and a vanished device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "CoreHooks.h"
#include "CoreTestSupport.h"

using namespace coretest;

namespace {

constexpr int kCom = 117;
constexpr int kMissingCom = 163;

const std::string kPortDir = AfTestPortDirectory();

std::string OpenError(TAfComPortCore& Core, int Number)
{
    try {
        Core.Open(Number);
    } catch (const EAfComPortCoreError& error) {
        return error.what();
    }
    return "(no error)";
}

class CoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        FPty = std::make_unique<AfPtyPort>(kCom);
        FCore.SetDCB(TestDcb());
    }

    void OpenWithLog(TCoreEventLog::TThen Then = {})
    {
        FCore.OnCoreEvent = FLog.Callback(std::move(Then));
        ASSERT_TRUE(FCore.Open(kCom));
    }

    std::unique_ptr<AfPtyPort> FPty;
    TCoreEventLog FLog;
    TAfComPortCore FCore;
};

TEST_F(CoreTest, OpenRefusesBadMissingAndBusyPortsWithTheirMessages)
{
    EXPECT_EQ(OpenError(FCore, 0), "Invalid port number (COM0)");
    EXPECT_EQ(OpenError(FCore, -3), "Invalid port number (COM-3)");
    EXPECT_EQ(OpenError(FCore, kMissingCom), "Invalid port number (COM163)");
    EXPECT_FALSE(FCore.IsOpen());
    EXPECT_EQ(FCore.Handle(), INVALID_HANDLE_VALUE);

    ASSERT_TRUE(FCore.Open(kCom));
    TAfComPortCore second;
    second.SetDCB(TestDcb());
    EXPECT_EQ(OpenError(second, kCom), "Can't open device COM117");
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(second.Handle(), INVALID_HANDLE_VALUE);

    // Once the first lets go, the second gets the port.
    FCore.Close();
    EXPECT_TRUE(second.Open(kCom));
}

TEST_F(CoreTest, OpenOnAnOpenCoreReturnsFalseAndKeepsThePort)
{
    OpenWithLog();
    const HANDLE handle = FCore.Handle();
    EXPECT_FALSE(FCore.Open(kCom));
    EXPECT_FALSE(FCore.Open(kMissingCom));
    EXPECT_TRUE(FCore.IsOpen());
    EXPECT_EQ(FCore.Handle(), handle);
    EXPECT_EQ(FCore.ComNumber(), kCom);
    ASSERT_TRUE(FCore.WriteData("abc", 3));
    EXPECT_EQ(FPty->Receive(3, 2000), (Bytes{'a', 'b', 'c'}));
}

TEST_F(CoreTest, ClosedCoreRefusesEverything)
{
    auto expectClosedResults = [](TAfComPortCore& core) {
        std::uint8_t buffer[8] = {};
        EXPECT_FALSE(core.IsOpen());
        EXPECT_EQ(core.OutputUsed(), 0);
        EXPECT_EQ(core.OutputFree(), 0);
        EXPECT_EQ(core.ReadData(buffer, sizeof buffer), -1);
        EXPECT_FALSE(core.WriteData("x", 1));
        EXPECT_FALSE(core.PurgeInput());
        EXPECT_FALSE(core.PurgeOutput());
        EXPECT_FALSE(core.EscapeFunction(SETDTR));
        EXPECT_EQ(core.TakeLineErrors(), 0u);
        COMSTAT stat;
        std::memset(&stat, 0xA5, sizeof stat);
        core.GetComStat(stat);
        EXPECT_EQ(stat.cbInQue, 0u);
        EXPECT_EQ(stat.cbOutQue, 0u);
        EXPECT_EQ(stat.fCtsHold, 0u);
        core.Close(); // nothing to do
        EXPECT_FALSE(core.IsOpen());
    };
    SCOPED_TRACE("never opened");
    expectClosedResults(FCore);
    OpenWithLog();
    FPty->Send({1, 2, 3});
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 1, 2000));
    FCore.Close();
    SCOPED_TRACE("closed again");
    expectClosedResults(FCore);
    EXPECT_EQ(FCore.Handle(), INVALID_HANDLE_VALUE);
}

// Threads are those of CreateThread whose function still runs (CoreHooks.h): the process's own
// count would take in parked pool threads and the driver's thread, which come and go on their own.
TEST_F(CoreTest, FailedOpenStepsLeaveNoHandleAndNoThread)
{
    FCore.SetInQueueSize(-1);
    EXPECT_EQ(OpenError(FCore, kCom), "Error initializing buffers");
    EXPECT_FALSE(FCore.IsOpen());
    EXPECT_EQ(FCore.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ThreadsRunning(), 0);
    FCore.SetInQueueSize(8192);

    // A refused line setting: the core keeps what the device has in force.
    DCB refused = TestDcb();
    refused.ByteSize = 3;
    FCore.SetDCB(refused);
    EXPECT_EQ(OpenError(FCore, kCom), "Error setting parameters from DCB");
    EXPECT_FALSE(FCore.IsOpen());
    EXPECT_EQ(FCore.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_GE(FCore.DCB().ByteSize, 5);
    EXPECT_LE(FCore.DCB().ByteSize, 8);
    EXPECT_EQ(ThreadsRunning(), 0);

    // The device was released each time: another core can have it.
    TAfComPortCore other;
    other.SetDCB(TestDcb());
    EXPECT_TRUE(other.Open(kCom));
    EXPECT_EQ(ThreadsRunning(), 2);
    other.Close();
    EXPECT_EQ(ThreadsRunning(), 0);
}

TEST_F(CoreTest, RefusedDcbWhileOpenKeepsThePortAndTheStateInForce)
{
    OpenWithLog();
    DCB refused = TestDcb();
    refused.ByteSize = 9;
    try {
        FCore.SetDCB(refused);
        ADD_FAILURE() << "a 9-bit DCB was accepted";
    } catch (const EAfComPortCoreError& error) {
        EXPECT_STREQ(error.what(), "Error setting parameters from DCB");
    }
    EXPECT_TRUE(FCore.IsOpen());
    EXPECT_EQ(FCore.DCB().ByteSize, 8);
    ASSERT_TRUE(FCore.WriteData("ok", 2));
    EXPECT_EQ(FPty->Receive(2, 2000), (Bytes{'o', 'k'}));
}

TEST_F(CoreTest, RefusedDcbKeepsTheFrameLastAcceptedEvenWhereTheLineCannotHoldIt)
{
    // The terminal keeps 8 data bits and no parity whatever it is told; the core reads the state
    // back after a refusal and must not turn even parity into none.
    DCB even = TestDcb();
    even.Parity = EVENPARITY;
    even.ByteSize = 7;
    FCore.SetDCB(even);
    OpenWithLog();
    DCB refused = even;
    refused.ByteSize = 9;
    EXPECT_THROW(FCore.SetDCB(refused), EAfComPortCoreError);
    EXPECT_EQ(FCore.DCB().ByteSize, 7);
    EXPECT_EQ(FCore.DCB().Parity, EVENPARITY);
}

TEST_F(CoreTest, QueuedBytesAreSentAndReportOutputEmptyOnce)
{
    OpenWithLog();
    const Bytes data{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(FCore.WriteData(data.data(), 10));
    EXPECT_EQ(FPty->Receive(10, 2000), data);
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 1u);
    EXPECT_EQ(FCore.OutputUsed(), 0);
    EXPECT_EQ(FCore.OutputFree(), 4096);
}

TEST_F(CoreTest, WriteLargerThanTheFreeRoomIsRefusedWhole)
{
    FCore.SetOutQueueSize(64);
    OpenWithLog();
    std::vector<std::uint8_t> big(65, 'x');
    EXPECT_FALSE(FCore.WriteData(big.data(), 65));
    EXPECT_EQ(FCore.OutputUsed(), 0);
    EXPECT_EQ(FCore.OutputFree(), 64);
    EXPECT_EQ(FPty->Receive(1, 300), Bytes{});
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 0u);
    // Bad arguments are refused the same way.
    EXPECT_FALSE(FCore.WriteData(nullptr, 4));
    EXPECT_FALSE(FCore.WriteData("abc", -1));
    EXPECT_TRUE(FCore.WriteData(big.data(), 64));
    EXPECT_EQ(FPty->Receive(64, 2000).size(), 64u);
}

TEST_F(CoreTest, UnreadInputIsReportedThenRemindedEveryPollUntilRead)
{
    OpenWithLog();
    FPty->Send({'h', 'e', 'l', 'l', 'o'});
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 1, 2000));
    EXPECT_NE(FLog.Records().front().Data & EV_RXCHAR, 0u);
    ASSERT_TRUE(FLog.WaitCount(ceInputPending, 3, 2000));

    std::vector<Clock::time_point> reminders;
    for (const auto& record : FLog.Records())
        if (record.Kind == ceInputPending) {
            EXPECT_EQ(record.Data, 5u);
            reminders.push_back(record.At);
        }
    for (std::size_t i = 1; i < reminders.size(); ++i) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(reminders[i] - reminders[i - 1]);
        EXPECT_GE(gap.count(), 150);
        EXPECT_LE(gap.count(), 600);
    }

    std::uint8_t buffer[16] = {};
    EXPECT_EQ(FCore.ReadData(buffer, 3), 3);
    EXPECT_EQ(FCore.ReadData(buffer + 3, sizeof buffer - 3), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(FCore.ReadData(buffer, sizeof buffer), 0);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t pending = FLog.Count(ceInputPending);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(FLog.Count(ceInputPending), pending);
}

TEST_F(CoreTest, IdlePortReportsNothing)
{
    OpenWithLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(FLog.Size(), 0u);
}

TEST_F(CoreTest, PurgeInputDropsQueuedBytes)
{
    OpenWithLog();
    FPty->Send({1, 2, 3, 4});
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 1, 2000));
    COMSTAT stat{};
    for (int i = 0; i < 100 && stat.cbInQue < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        FCore.GetComStat(stat);
    }
    EXPECT_EQ(stat.cbInQue, 4u);
    EXPECT_TRUE(FCore.PurgeInput());
    FCore.GetComStat(stat);
    EXPECT_EQ(stat.cbInQue, 0u);
    std::uint8_t buffer[8];
    EXPECT_EQ(FCore.ReadData(buffer, sizeof buffer), 0);
}

TEST_F(CoreTest, CloseDuringAPendingWaitEndsWithoutAReport)
{
    OpenWithLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    FCore.Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    EXPECT_FALSE(FCore.IsOpen());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(FLog.Size(), 0u);
}

TEST_F(CoreTest, CallbackExceptionArrivesAsThreadExceptionAndReportsGoOn)
{
    std::atomic<int> thrown{0};
    OpenWithLog([&](TObject* sender, TAfCoreEvent kind, DWORD) {
        EXPECT_EQ(sender, &FCore);
        if (kind == ceCommEvent && thrown++ == 0)
            throw std::runtime_error("handler failed");
    });
    FPty->Send({'x'});
    ASSERT_TRUE(FLog.WaitCount(ceThreadException, 1, 2000));
    const auto records = FLog.Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].Kind, ceCommEvent);
    EXPECT_EQ(records[1].Kind, ceThreadException);
    EXPECT_EQ(records[1].Data, 0u);
    ASSERT_TRUE(records[1].Error);
    try {
        std::rethrow_exception(records[1].Error);
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "handler failed");
    }
    for (const auto& record : records) {
        if (record.Kind != ceThreadException) {
            EXPECT_FALSE(record.Error);
        }
    }

    // The thread goes on: the unread byte is still reminded of, and output is still reported.
    ASSERT_TRUE(FLog.WaitCount(ceInputPending, 1, 2000));
    ASSERT_TRUE(FCore.WriteData("y", 1));
    EXPECT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    EXPECT_EQ(FLog.Count(ceThreadException), 1u);
}

TEST_F(CoreTest, ExceptionWhileReportingAnExceptionEndsTheThreadButNotThePort)
{
    OpenWithLog([](TObject*, TAfCoreEvent kind, DWORD) {
        if (kind == ceCommEvent)
            throw std::runtime_error("first");
        if (kind == ceThreadException)
            throw std::runtime_error("second");
    });
    FPty->Send({'a', 'b'});
    ASSERT_TRUE(FLog.WaitCount(ceThreadException, 2, 2000));
    // The first report's handler failed; the second failure left the thread, which has ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(FLog.Count(ceThreadException), 2u);
    EXPECT_EQ(FLog.Count(ceInputPending), 0u);
    // The port stays open and reads still work until it is closed.
    EXPECT_TRUE(FCore.IsOpen());
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(FCore.ReadData(buffer, sizeof buffer), 2);
    EXPECT_EQ(buffer[0], 'a');
    const auto start = Clock::now();
    FCore.Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
}

TEST_F(CoreTest, WithoutACallbackAThreadFailureGoesToTheApplicationDisplay)
{
    std::mutex lock;
    std::vector<std::string> shown;
    SetApplicationExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> guard(lock);
            shown.push_back(e.what());
        }
    });
    ASSERT_TRUE(FCore.Open(kCom));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FPty->CloseFarEnd();
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!shown.empty())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    FCore.Close();
    SetApplicationExceptionHandler({});
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(shown, std::vector<std::string>{"Device COM117 failed"});
}

// Also from the report of another exception: the component raises it there when it cannot hand
// the report over (its receiver disabled, or none in a full channel).
TEST_F(CoreTest, SilentAbortInTheCallbackIsDroppedAndTheThreadGoesOn)
{
    for (const bool inReport : {false, true}) {
        SCOPED_TRACE(inReport ? "while reporting an exception" : "for a comm event");
        FLog.Clear();
        OpenWithLog([inReport](TObject*, TAfCoreEvent kind, DWORD) {
            if (kind == ceCommEvent && inReport)
                throw std::runtime_error("handler failed");
            if (kind == ceCommEvent || kind == ceThreadException)
                throw EAbort();
        });
        FPty->Send({'x'});
        EXPECT_TRUE(FLog.WaitCount(ceInputPending, 1, 2000)) << "the event thread has ended";
        EXPECT_EQ(FLog.Count(ceThreadException), inReport ? 1u : 0u);
        FCore.Close();
    }
}

TEST_F(CoreTest, ReadsFromTheCallbackSeeTheBytes)
{
    std::mutex lock;
    Bytes received;
    OpenWithLog([&](TObject* sender, TAfCoreEvent kind, DWORD) {
        if (kind != ceCommEvent && kind != ceInputPending)
            return;
        std::uint8_t buffer[64];
        const std::int32_t n = static_cast<TAfComPortCore*>(sender)->ReadData(buffer, sizeof buffer);
        std::lock_guard<std::mutex> guard(lock);
        received.insert(received.end(), buffer, buffer + std::max(n, 0));
    });
    Bytes sent;
    for (int i = 0; i < 200; ++i)
        sent.push_back(static_cast<std::uint8_t>(i));
    FPty->Send(sent);
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (received.size() >= sent.size())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(received, sent);
}

TEST_F(CoreTest, FullInputQueueHoldsTheLineBackUntilRead)
{
    FCore.SetInQueueSize(16);
    OpenWithLog();
    Bytes sent;
    for (std::size_t i = 0; i < 64; ++i)
        sent.push_back(PatternByte(i));
    FPty->Send(sent);
    // The poll reminds of a full queue and collects no overflow: the rest waits in the terminal.
    ASSERT_TRUE(FLog.WaitCount(ceInputPending, 2, 2000));
    EXPECT_EQ(FLog.Records().back().Data, 16u);
    EXPECT_EQ(FCore.TakeLineErrors(), 0u);

    Bytes received;
    for (int i = 0; i < 400 && received.size() < sent.size(); ++i) {
        std::uint8_t buffer[64];
        const std::int32_t n = FCore.ReadData(buffer, sizeof buffer);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 16);
        received.insert(received.end(), buffer, buffer + n);
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(FCore.TakeLineErrors(), 0u);
}

// The component's default queues, a far end that sends as fast as the terminal takes it, and an
// owner that reads on the event thread whenever it is told of input.
TEST_F(CoreTest, EightMebibytesArriveWholeAndInOrderThroughTheDefaultQueues)
{
    constexpr std::size_t kTotal = 8u << 20;
    FCore.SetInQueueSize(4096);
    FCore.SetOutQueueSize(2048);
    std::atomic<std::size_t> received{0};
    std::atomic<std::size_t> firstWrong{kTotal};
    OpenWithLog([&](TObject* sender, TAfCoreEvent kind, DWORD) {
        if (kind != ceCommEvent && kind != ceInputPending)
            return;
        std::uint8_t buffer[4096];
        std::int32_t n;
        while ((n = static_cast<TAfComPortCore*>(sender)->ReadData(buffer, sizeof buffer)) > 0) {
            const std::size_t at = received;
            for (std::int32_t i = 0; i < n; ++i)
                if (buffer[i] != PatternByte(at + static_cast<std::size_t>(i)) && firstWrong == kTotal)
                    firstWrong = at + static_cast<std::size_t>(i);
            received = at + static_cast<std::size_t>(n);
        }
    });
    const auto start = Clock::now();
    TFarEndSender sender(FPty->MasterFd(), kTotal);
    // Waits as long as bytes keep coming.
    std::size_t seen = 0;
    auto lastProgress = Clock::now();
    while (received < kTotal && Clock::now() - lastProgress < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (received != seen) {
            seen = received;
            lastProgress = Clock::now();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(received.load(), kTotal);
    EXPECT_EQ(firstWrong.load(), kTotal) << "first wrong byte";
    EXPECT_EQ(FCore.TakeLineErrors(), 0u);
    std::printf("8 MiB through 4096/2048 queues in %.2f s: %.1f MiB/s\n", seconds, 8 / seconds);
}

TEST_F(CoreTest, VanishedDeviceIsReportedOnceAndDoesNotSpin)
{
    OpenWithLog();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FPty->CloseFarEnd();
    ASSERT_TRUE(FLog.WaitCount(ceThreadException, 1, 2000));
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.1) << "the event thread keeps turning";
    EXPECT_EQ(FLog.Count(ceThreadException), 1u);

    const auto records = FLog.Records();
    for (const auto& record : records) {
        if (record.Kind != ceThreadException)
            continue;
        try {
            std::rethrow_exception(record.Error);
        } catch (const EAfComPortCoreError& error) {
            EXPECT_STREQ(error.what(), "Device COM117 failed");
        }
    }
    const auto start = Clock::now();
    FCore.Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3000);
}

TEST(ComDeviceNameTest, MappedNumbersGiveTheirDeviceAndOthersTheComForm)
{
    AfPtyPort pty(121);
    EXPECT_NE(ComDeviceName(121).find("/"), std::string::npos) << ComDeviceName(121);
    EXPECT_EQ(ComDeviceName(164), "COM164");
    TAfComPortCore core;
    EXPECT_EQ(core.DeviceName(), "COM0");
}

} // namespace
