// The port core and the port component on two guest UARTs joined like a null-modem cable
// (UartGuest.h). Output held by the far end and its purge are uart_platform_test's.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"
#include "CoreHooks.h"
#include "CoreTestSupport.h"
#include "UartGuest.h"

namespace {

using namespace std::chrono_literals;
using coretest::Bytes;
using coretest::Clock;
using coretest::PatternByte;

const std::string kPortDir = AfTestPortDirectory();
testing::Environment* const g_app =
    testing::AddGlobalTestEnvironment(new porttest::TAppEnvironment<QCoreApplication>);

constexpr int kComA = 1, kComB = 2;

// Registers the guest's ports as COM numbers, once.
void RegisterPorts()
{
    static const bool registered = [] {
        AfRegisterTestCom(kComA, GuestUarts().PairA);
        AfRegisterTestCom(kComB, GuestUarts().PairB);
        return true;
    }();
    (void)registered;
}

Bytes Pattern(std::size_t count, std::size_t from)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = PatternByte(from + i);
    return bytes;
}

// A core whose owner callback reads every byte on the event thread.
class TReadingCore {
public:
    explicit TReadingCore(DCB Line = coretest::TestDcb())
    {
        Core.SetDCB(Line);
        Core.OnCoreEvent = [this](TObject*, TAfCoreEvent Kind, DWORD, std::exception_ptr) {
            if (Kind != ceCommEvent && Kind != ceInputPending)
                return;
            std::uint8_t buffer[1024];
            for (std::int32_t n; (n = Core.ReadData(buffer, sizeof buffer)) > 0;) {
                std::lock_guard guard(FLock);
                FGot.insert(FGot.end(), buffer, buffer + n);
            }
        };
    }
    Bytes Got()
    {
        std::lock_guard guard(FLock);
        return FGot;
    }
    // What came until `count` bytes were there or `limit` passed.
    Bytes AwaitGot(std::size_t count, std::chrono::milliseconds limit)
    {
        for (const auto end = Clock::now() + limit; Got().size() < count && Clock::now() < end;)
            std::this_thread::sleep_for(5ms);
        return Got();
    }
    // Queues all of `bytes`, waiting for room in the ring whenever it is full.
    bool Send(const Bytes& bytes)
    {
        const auto end = Clock::now() + 60s;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t n = std::min<std::size_t>(512, bytes.size() - at);
            if (Core.WriteData(bytes.data() + at, static_cast<std::int32_t>(n)))
                at += n;
            else if (Clock::now() > end)
                return false;
            else
                std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    TAfComPortCore Core;

private:
    std::mutex FLock;
    Bytes FGot;
};

TEST(UartCore, OpenCloseCyclesCarryTrafficBothWaysAndLeaveNoThread)
{
    SKIP_WITHOUT_UART(GuestUarts().PairA);
    RegisterPorts();
    TReadingCore a, b;
    for (std::size_t cycle = 0; cycle < 8; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(a.Core.Open(kComA));
        ASSERT_TRUE(b.Core.Open(kComB));
        const std::size_t atA = a.Got().size(), atB = b.Got().size();
        // Both ways at once; more than the rings hold in the first cycle, a little in the others.
        const std::size_t size = cycle == 0 ? 8 * 1024 : 200;
        const Bytes toB = Pattern(size, cycle * 1000), toA = Pattern(size, cycle * 1000 + 77);
        std::thread other([&] { EXPECT_TRUE(b.Send(toA)); });
        EXPECT_TRUE(a.Send(toB));
        other.join();
        const Bytes gotB = b.AwaitGot(atB + size, 30s), gotA = a.AwaitGot(atA + size, 30s);
        EXPECT_TRUE(Bytes(gotB.begin() + static_cast<std::ptrdiff_t>(atB), gotB.end()) == toB);
        EXPECT_TRUE(Bytes(gotA.begin() + static_cast<std::ptrdiff_t>(atA), gotA.end()) == toA);
        EXPECT_EQ(coretest::ThreadsRunning(), 4) << "two worker threads per open core";
        a.Core.Close();
        b.Core.Close();
        EXPECT_EQ(coretest::ThreadsRunning(), 0) << "a close leaves no worker thread running";
    }
}

TEST(UartCore, AnInputPurgeDropsWhatTheOwnerHasNotRead)
{
    SKIP_WITHOUT_UART(GuestUarts().PairA);
    RegisterPorts();
    TAfComPortCore a;
    a.SetDCB(coretest::TestDcb());
    TReadingCore b;
    ASSERT_TRUE(a.Open(kComA));
    ASSERT_TRUE(b.Core.Open(kComB));
    const auto queued = [&a] {
        COMSTAT stat{};
        a.GetComStat(stat);
        return stat.cbInQue;
    };
    ASSERT_TRUE(b.Send(Pattern(100, 0)));
    for (const auto end = Clock::now() + 5s; queued() < 100 && Clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(queued(), 100u);
    EXPECT_TRUE(a.PurgeInput());
    EXPECT_EQ(queued(), 0u);
    const Bytes later = Pattern(10, 500);
    ASSERT_TRUE(b.Send(later));
    for (const auto end = Clock::now() + 5s; queued() < 10 && Clock::now() < end;)
        std::this_thread::sleep_for(5ms);
    Bytes got(64);
    got.resize(static_cast<std::size_t>(std::max(a.ReadData(got.data(), 64), 0)));
    EXPECT_TRUE(got == later) << got.size();
}

// The component as the tool uses it (2400 baud, even parity, handlers on the main thread), on
// both ends of the cable.
TEST(UartComPort, ExchangesAcrossTheCableAtTheToolsSettingsOpenAfterOpen)
{
    SKIP_WITHOUT_UART(GuestUarts().PairA);
    RegisterPorts();
    const auto make = [](int number, Bytes& got) {
        auto port = std::make_unique<TAfComPort>(nullptr);
        port->SetComNumber(static_cast<std::uint16_t>(number));
        port->SetParity(paEven);
        port->SetUserBaudRate(2400);
        TAfComPort* raw = port.get();
        port->OnDataRecived = [raw, &got](TObject*, std::int32_t count) {
            Bytes buffer(static_cast<std::size_t>(count));
            raw->ReceiveData(buffer.data(), count);
            got.insert(got.end(), buffer.begin(), buffer.end());
        };
        return port;
    };
    Bytes atA, atB;
    auto a = make(kComA, atA);
    auto b = make(kComB, atB);
    for (std::size_t cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        atA.clear();
        atB.clear();
        a->OpenPort();
        b->OpenPort();
        const Bytes request = Pattern(11, cycle), answer = Pattern(64, 100 + cycle);
        a->SendData(request.data(), static_cast<std::int32_t>(request.size()));
        EXPECT_TRUE(porttest::PumpUntil([&] { return atB.size() >= request.size(); }, 10000));
        b->SendData(answer.data(), static_cast<std::int32_t>(answer.size()));
        EXPECT_TRUE(porttest::PumpUntil([&] { return atA.size() >= answer.size(); }, 10000));
        EXPECT_TRUE(atB == request);
        EXPECT_TRUE(atA == answer);
        a->ClearInput();
        a->ClearOutput();
        EXPECT_EQ(a->InputCount(), 0);
        EXPECT_EQ(a->OutputCount(), 0);
        a->ClosePort();
        b->ClosePort();
    }
}

} // namespace
