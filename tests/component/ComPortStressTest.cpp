// Many open/close cycles of the port component with bytes flowing both ways and events reaching
// the main thread, while handlers are reassigned and the dispatcher is linked and unlinked with
// the port open. It is for hangs, races (run it under TSan) and crashes. A close drops whatever is
// still queued, so it cannot count what is lost; it checks what is read: the far end echoes a
// numbered stream, every block the port reads must be an unbroken run of it, nothing read may be
// a byte that was never sent (an untouched block reads as zeros), and nobody reads more than was
// sent. Exact contents are checked in ComPortTest and DataDispatcherTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfDataDispatcher.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"
#include "CoreTestSupport.h"

using namespace porttest;

namespace {

constexpr int kCom = 191;
constexpr int kCycles = 500;

const std::string kPortDir = AfTestPortDirectory();
testing::Environment* const g_app = testing::AddGlobalTestEnvironment(new TAppEnvironment<QCoreApplication>);

// Byte n of the stream the port sends: 1 to 250, never 0.
std::uint8_t StreamByte(std::size_t n)
{
    return static_cast<std::uint8_t>(1 + n % 250);
}

bool InStream(std::uint8_t Byte)
{
    return Byte >= 1 && Byte <= 250;
}

// Whether Block is an unbroken run of the stream.
bool IsRun(const std::uint8_t* Block, std::size_t Count)
{
    for (std::size_t i = 0; i < Count; ++i)
        if (!InStream(Block[i]) || (i > 0 && Block[i] != Block[i - 1] % 250 + 1))
            return false;
    return true;
}

class TReader : public TAfDataDispatcherListener {
public:
    std::size_t Bytes = 0;
    std::size_t Foreign = 0; // bytes that were never sent
    void DispatcherData(TAfDataDispatcher& Sender) override
    {
        std::uint8_t buffer[256];
        for (std::int32_t n; (n = Sender.ReadData(buffer, sizeof buffer)) > 0;) {
            Bytes += static_cast<std::size_t>(n);
            Foreign += static_cast<std::size_t>(
                std::count_if(buffer, buffer + n, [](std::uint8_t b) { return !InStream(b); }));
        }
    }
};

TEST(ComPortStressTest, OpenCloseCyclesWhileHandlersAndTheLinkChangeWithEventsFlowing)
{
    AfPtyPort pty(kCom);
    coretest::TFarEnd farEnd(pty.MasterFd(), true);
    TAfComPort port(nullptr);
    port.SetComNumber(kCom);
    TAfDataDispatcher dispatcher(nullptr, 1 << 16);
    TReader reader;
    dispatcher.RegisterListener(&reader);

    std::size_t readByPort = 0;
    std::size_t brokenBlocks = 0;
    std::size_t uiEvents = 0;
    std::atomic<std::size_t> nonSyncEvents{0};
    const auto readAll = [&](TObject*, std::int32_t count) {
        std::vector<std::uint8_t> block(static_cast<std::size_t>(count));
        port.ReceiveData(block.data(), count);
        readByPort += block.size();
        brokenBlocks += IsRun(block.data(), block.size()) ? 0 : 1;
    };
    port.OnSyncEvent = [&](TObject*, TAfCoreEvent, DWORD, std::exception_ptr) { ++uiEvents; };
    port.OnOutBufFree = [&](TObject*) { ++uiEvents; };

    std::size_t sent = 0;
    std::uint8_t frame[32];
    const auto nextFrame = [&] {
        for (std::uint8_t& byte : frame)
            byte = StreamByte(sent++);
        return frame;
    };

    for (int i = 0; i < kCycles; ++i) {
        port.OnDataRecived = readAll;
        port.OpenPort();
        ASSERT_TRUE(port.IsPortOpen()) << "cycle " << i;
        port.SendData(nextFrame(), sizeof frame);
        PumpFor(2);
        // Changes while the event thread may be reading them.
        switch (i % 5) {
        case 0:
            port.OnDataRecived = [&](TObject* sender, std::int32_t count) { readAll(sender, count); };
            break;
        case 1:
            dispatcher.SetConnComponent(&port);
            break;
        case 2:
            dispatcher.SetConnComponent(nullptr);
            break;
        case 3:
            port.OnNonSyncEvent = [&](TObject*, TAfCoreEvent, DWORD, std::exception_ptr) { ++nonSyncEvents; };
            break;
        case 4:
            port.OnNonSyncEvent = nullptr;
            port.OnOutBufFree = (i % 2 == 0) ? TNotifyEvent() : TNotifyEvent([&](TObject*) { ++uiEvents; });
            break;
        }
        PumpFor(3);
        if (i % 10 == 9) {
            // Closed from its own handler, with a hand-over in progress.
            bool closed = false;
            port.OnDataRecived = [&](TObject*, std::int32_t) {
                port.ClosePort();
                closed = true;
            };
            port.SendData(nextFrame(), sizeof frame);
            PumpUntil([&] { return closed || !port.IsPortOpen(); }, 3000);
        }
        port.ClosePort();
        ASSERT_FALSE(port.IsPortOpen()) << "cycle " << i;
    }
    dispatcher.SetConnComponent(nullptr);

    EXPECT_GT(farEnd.Received(), 0u);
    EXPECT_GT(uiEvents, 0u);
    EXPECT_GT(nonSyncEvents.load(), 0u);
    EXPECT_GT(readByPort, 0u);
    EXPECT_GT(reader.Bytes, 0u);
    EXPECT_EQ(brokenBlocks, 0u) << "a block the port read was not an unbroken run of what was sent";
    EXPECT_EQ(reader.Foreign, 0u) << "the dispatcher passed on bytes that were never sent";
    EXPECT_LE(readByPort + reader.Bytes, sent) << "bytes were read twice";
    std::printf("%d cycles: %zu bytes at the far end, %zu read by the port, %zu by the dispatcher, %zu UI "
                "events, %zu event-thread events\n",
                kCycles, farEnd.Received(), readByPort, reader.Bytes, uiEvents, nonSyncEvents.load());
}

} // namespace
