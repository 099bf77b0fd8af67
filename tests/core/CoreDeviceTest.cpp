// The port core on a controllable device, for what a pseudo-terminal cannot show: a line that
// takes written bytes only when the test lets it (so that writes stay pending and their split is
// visible), line errors, modem-line changes and a device that disappears.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "AfTestDevice.h"
#include "CoreTestSupport.h"
#include "comm/AfCommBackend_p.h"

using namespace coretest;

namespace {

constexpr int kDeviceCom = 131;

const std::string kPortDir = AfTestPortDirectory();

class CoreDeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
        FDevice = std::make_unique<AfTestDevice>("core-" + std::to_string(++FSerial));
        FDevice->RegisterAsCom(kDeviceCom);
        FCore = std::make_unique<TAfComPortCore>();
        FCore->SetDCB(TestDcb());
        FCore->OnCoreEvent = FLog.Callback();
    }
    void TearDown() override
    {
        FCore.reset();
        FDevice.reset();
    }

    // Waits until OutputUsed() reaches `Wanted`; the value last seen.
    std::int32_t WaitOutputUsed(std::int32_t Wanted, int TimeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
        std::int32_t used = FCore->OutputUsed();
        while (used != Wanted && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            used = FCore->OutputUsed();
        }
        return used;
    }

    static inline int FSerial = 0;
    std::unique_ptr<AfTestDevice> FDevice;
    TCoreEventLog FLog;
    std::unique_ptr<TAfComPortCore> FCore;
};

TEST_F(CoreDeviceTest, OutputCountsFollowTheRingWhileTheLineTakesNothing)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    EXPECT_EQ(FCore->OutputFree(), 4096);
    EXPECT_EQ(FCore->OutputUsed(), 0);
    FDevice->HoldWrites();
    std::vector<std::uint8_t> data(100, 0x5A);
    ASSERT_TRUE(FCore->WriteData(data.data(), 100));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FCore->OutputFree(), 3996);
    EXPECT_EQ(FCore->OutputUsed(), 100);
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 0u);

    FDevice->ReleaseWrites();
    EXPECT_EQ(FDevice->WaitSent(100, 2000), 100u);
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    EXPECT_EQ(FCore->OutputUsed(), 0);
    EXPECT_EQ(FCore->OutputFree(), 4096);
    EXPECT_EQ(FDevice->TakeSent(), data);
}

TEST_F(CoreDeviceTest, TenQueuedBytesGoOutInOneWriteWithOneOutputEmpty)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    FDevice->HoldWrites();
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(FCore->WriteData(data.data(), 10));
    // Nine bytes taken: the single write of ten is still pending, so nothing has left the ring.
    FDevice->AllowWrites(9);
    EXPECT_EQ(FDevice->WaitSent(9, 2000), 9u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FCore->OutputUsed(), 10);
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 0u);

    FDevice->AllowWrites(1);
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    EXPECT_EQ(FCore->OutputUsed(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 1u);
    EXPECT_EQ(FDevice->TakeSent(), data);
}

TEST_F(CoreDeviceTest, WrappedRingGoesOutInTwoWritesWithOneOutputEmpty)
{
    FCore->SetOutQueueSize(16);
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    const std::vector<std::uint8_t> lead(10, 0xEE);
    ASSERT_TRUE(FCore->WriteData(lead.data(), 10));
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    FDevice->TakeSent();
    FLog.Clear();

    FDevice->HoldWrites();
    const std::vector<std::uint8_t> data{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    ASSERT_TRUE(FCore->WriteData(data.data(), 10));
    // The first write ends at the end of the ring: six bytes.
    FDevice->AllowWrites(6);
    EXPECT_EQ(WaitOutputUsed(4, 2000), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 0u);
    // The second write takes the remaining four from the start of the ring.
    FDevice->AllowWrites(4);
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    EXPECT_EQ(FCore->OutputUsed(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 1u);
    EXPECT_EQ(FDevice->TakeSent(), data);
}

TEST_F(CoreDeviceTest, PurgeOutputAbortsAPendingWriteAndEmptiesTheRing)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    FDevice->HoldWrites();
    std::vector<std::uint8_t> data(300, 0x42);
    ASSERT_TRUE(FCore->WriteData(data.data(), 300));
    FDevice->AllowWrites(50);
    EXPECT_EQ(FDevice->WaitSent(50, 2000), 50u);

    const auto start = Clock::now();
    EXPECT_TRUE(FCore->PurgeOutput());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    EXPECT_EQ(FCore->OutputUsed(), 0);
    EXPECT_EQ(FCore->OutputFree(), 4096);
    FDevice->ReleaseWrites();
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(FLog.Count(ceOutputEmpty), 0u) << "the aborted write must not report output empty";
    EXPECT_EQ(FDevice->TakeSent().size(), 50u);

    // The port keeps working after the purge.
    ASSERT_TRUE(FCore->WriteData("after", 5));
    ASSERT_TRUE(FLog.WaitCount(ceOutputEmpty, 1, 2000));
    EXPECT_EQ(FDevice->TakeSent(), (std::vector<std::uint8_t>{'a', 'f', 't', 'e', 'r'}));
}

TEST_F(CoreDeviceTest, CloseWithAPendingWriteDropsItPromptly)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    FDevice->HoldWrites();
    ASSERT_TRUE(FCore->WriteData("stuck", 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    FCore->Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
    EXPECT_FALSE(FDevice->IsOpen());
    EXPECT_EQ(FLog.Size(), 0u);
    // The queued bytes went with the write thread.
    FDevice->ReleaseWrites();
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    EXPECT_EQ(FCore->OutputUsed(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FDevice->TakeSent().size(), 0u);
}

TEST_F(CoreDeviceTest, LineErrorsAddUpUntilTaken)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    FDevice->AddLineErrors(1, 0, 0, 0);
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 1, 3000));
    EXPECT_NE(FLog.Records().front().Data & EV_ERR, 0u);
    // Let the poll collect the first error before the second comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    FDevice->AddLineErrors(0, 1, 0, 0);
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 2, 3000));
    COMSTAT stat{};
    FCore->GetComStat(stat);
    EXPECT_EQ(FCore->TakeLineErrors(), CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(FCore->TakeLineErrors(), 0u);

    FDevice->AddLineErrors(0, 0, 1, 0);
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 3, 3000));
    FCore->Close();
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    EXPECT_EQ(FCore->TakeLineErrors(), 0u);
}

TEST_F(CoreDeviceTest, ModemLineChangesArriveAsTheirEventBits)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    FDevice->SetModemLines(MS_CTS_ON);
    ASSERT_TRUE(FLog.WaitCount(ceCommEvent, 1, 3000));
    EXPECT_NE(FLog.Records().front().Data & EV_CTS, 0u);
    EXPECT_TRUE(FCore->EscapeFunction(CLRDTR));
    EXPECT_EQ(FDevice->OutputLines() & AF_LINE_DTR, 0u);
    EXPECT_TRUE(FCore->EscapeFunction(SETDTR));
    EXPECT_NE(FDevice->OutputLines() & AF_LINE_DTR, 0u);
}

TEST_F(CoreDeviceTest, DeviceThatDisappearsIsReportedOnce)
{
    ASSERT_TRUE(FCore->Open(kDeviceCom));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FDevice->Disappear();
    ASSERT_TRUE(FLog.WaitCount(ceThreadException, 1, 2000));
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.1) << "the event thread keeps turning";
    EXPECT_EQ(FLog.Count(ceThreadException), 1u);
    try {
        std::rethrow_exception(FLog.Records().back().Error);
    } catch (const EAfComPortCoreError& error) {
        EXPECT_STREQ(error.what(), "Device COM131 failed");
    }
    std::uint8_t buffer[4];
    EXPECT_LE(FCore->ReadData(buffer, sizeof buffer), 0);
    const auto start = Clock::now();
    FCore->Close();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3000);
    EXPECT_FALSE(FCore->IsOpen());
}

} // namespace
