// Many open/close cycles of the port component with bytes flowing both ways and events reaching
// the main thread, while handlers are reassigned and the dispatcher is linked and unlinked with
// the port open: nothing may hang, race or be lost from what was read.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "AfComPort.h"
#include "AfDataDispatcher.h"
#include "AfPtyPort.h"
#include "ComPortTestSupport.h"
#include "CoreTestSupport.h"

using namespace porttest;

namespace {

constexpr int kCom = 191;
constexpr int kCycles = 500;

const std::string kPortDir = AfTestPortDirectory();
testing::Environment* const g_app = testing::AddGlobalTestEnvironment(new TAppEnvironment<QCoreApplication>);

class TReader : public TAfDataDispatcherListener {
public:
    std::size_t Bytes = 0;
    void DispatcherData(TAfDataDispatcher& Sender) override
    {
        char buffer[256];
        for (std::int32_t n; (n = Sender.ReadData(buffer, sizeof buffer)) > 0;)
            Bytes += static_cast<std::size_t>(n);
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
    std::size_t uiEvents = 0;
    std::atomic<std::size_t> nonSyncEvents{0};
    const auto readAll = [&](TObject*, std::int32_t count) {
        std::string bytes(static_cast<std::size_t>(count), '\0');
        port.ReceiveData(bytes.data(), count);
        readByPort += bytes.size();
    };
    port.OnSyncEvent = [&](TObject*, TAfCoreEvent, DWORD, std::exception_ptr) { ++uiEvents; };
    port.OnOutBufFree = [&](TObject*) { ++uiEvents; };

    std::uint8_t frame[32];
    for (std::size_t i = 0; i < sizeof frame; ++i)
        frame[i] = static_cast<std::uint8_t>(i * 5);

    for (int i = 0; i < kCycles; ++i) {
        port.OnDataRecived = readAll;
        port.OpenPort();
        ASSERT_TRUE(port.IsPortOpen()) << "cycle " << i;
        port.SendData(frame, sizeof frame);
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
            port.SendData(frame, sizeof frame);
            PumpUntil([&] { return closed || !port.IsPortOpen(); }, 3000);
        }
        port.ClosePort();
        ASSERT_FALSE(port.IsPortOpen()) << "cycle " << i;
    }
    dispatcher.SetConnComponent(nullptr);

    EXPECT_GT(farEnd.Received(), 0u);
    EXPECT_GT(uiEvents, 0u);
    EXPECT_GT(nonSyncEvents.load(), 0u);
    EXPECT_GT(readByPort + reader.Bytes, 0u);
    std::printf("%d cycles: %zu bytes at the far end, %zu read by the port, %zu by the dispatcher, %zu UI "
                "events, %zu event-thread events\n",
                kCycles, farEnd.Received(), readByPort, reader.Bytes, uiEvents, nonSyncEvents.load());
}

} // namespace
