// The port core over a pseudo-terminal: round-trip latency of one byte and of a 64-byte frame
// echoed by the far end, an open and close, bulk throughput from the ring to the far end, and
// 8 MiB from the far end through the component's default queues (4096 in, 2048 out), every byte
// checked.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "CoreTestSupport.h"

using namespace coretest;

namespace {

const std::string kPortDir = AfTestPortDirectory();

// One open core on a pseudo-terminal whose far end echoes or swallows. Received bytes are read
// on the event thread as soon as they are reported.
class TBenchPort {
public:
    TBenchPort(int ComNumber, bool Echo, std::int32_t OutQueue)
        : FPty(ComNumber), FFarEnd(FPty.MasterFd(), Echo)
    {
        FCore.SetDCB(TestDcb());
        FCore.SetOutQueueSize(OutQueue);
        FCore.SetInQueueSize(65536);
        FCore.OnCoreEvent = [this](TObject*, TAfCoreEvent kind, DWORD, std::exception_ptr) {
            std::uint8_t buffer[4096];
            std::int32_t got = 0;
            if (kind == ceCommEvent || kind == ceInputPending)
                while ((got = FCore.ReadData(buffer, sizeof buffer)) > 0) {
                    std::lock_guard<std::mutex> lock(FLock);
                    FReceived += static_cast<std::size_t>(got);
                }
            {
                std::lock_guard<std::mutex> lock(FLock);
                if (kind == ceOutputEmpty)
                    ++FOutputEmpty;
            }
            FChanged.notify_all();
        };
        FCore.Open(ComNumber);
    }

    TAfComPortCore& Core() { return FCore; }

    // Waits until `Count` bytes came back since the last call.
    bool WaitReceived(std::size_t Count)
    {
        std::unique_lock<std::mutex> lock(FLock);
        const bool ok = FChanged.wait_for(lock, std::chrono::seconds(5), [&] { return FReceived >= Count; });
        FReceived -= std::min(FReceived, Count);
        return ok;
    }

    // Waits for the next output-empty report.
    bool WaitOutputEmpty()
    {
        std::unique_lock<std::mutex> lock(FLock);
        const bool ok = FChanged.wait_for(lock, std::chrono::seconds(5), [&] { return FOutputEmpty > 0; });
        FOutputEmpty = 0;
        return ok;
    }

private:
    AfPtyPort FPty;
    TFarEnd FFarEnd;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::size_t FReceived = 0;
    std::size_t FOutputEmpty = 0;
    TAfComPortCore FCore; // closed first, before the far end and the terminal go
};

void BM_CoreRoundTrip(benchmark::State& state)
{
    const auto size = static_cast<std::int32_t>(state.range(0));
    TBenchPort port(171, true, 4096);
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(size), 0x68);
    for (auto _ : state) {
        if (!port.Core().WriteData(frame.data(), size) || !port.WaitReceived(frame.size())) {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size * 2);
}
BENCHMARK(BM_CoreRoundTrip)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

// An open and a close of an idle port: the device, its settings, and the two worker threads
// started and stopped.
void BM_CoreOpenClose(benchmark::State& state)
{
    AfPtyPort pty(172);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    for (auto _ : state) {
        core.Open(172);
        core.Close();
    }
}
BENCHMARK(BM_CoreOpenClose)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_CoreBulkWrite(benchmark::State& state)
{
    const std::int32_t block = 64 * 1024;
    TBenchPort port(172, false, block);
    std::vector<std::uint8_t> data(block, 0x55);
    for (auto _ : state) {
        if (!port.Core().WriteData(data.data(), block) || !port.WaitOutputEmpty()) {
            state.SkipWithError("output did not drain");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * block);
}
BENCHMARK(BM_CoreBulkWrite)->UseRealTime()->Unit(benchmark::kMillisecond);

// The far end sends as fast as the terminal takes it; the owner reads on the event thread when
// told of input. A full input queue holds the far end back instead of losing its bytes.
void BM_CoreBulkRead(benchmark::State& state)
{
    constexpr std::size_t kTotal = 8u << 20;
    AfPtyPort pty(173);
    TAfComPortCore core;
    core.SetDCB(TestDcb());
    core.SetInQueueSize(4096);
    core.SetOutQueueSize(2048);
    std::mutex lock;
    std::condition_variable changed;
    std::size_t received = 0;
    bool intact = true;
    core.OnCoreEvent = [&](TObject*, TAfCoreEvent kind, DWORD, std::exception_ptr) {
        if (kind != ceCommEvent && kind != ceInputPending)
            return;
        std::uint8_t buffer[4096];
        std::int32_t got;
        while ((got = core.ReadData(buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> guard(lock);
            for (std::int32_t i = 0; i < got; ++i)
                intact = intact && buffer[i] == PatternByte(received + static_cast<std::size_t>(i));
            received += static_cast<std::size_t>(got);
            changed.notify_all();
        }
    };
    if (!core.Open(173)) {
        state.SkipWithError("cannot open");
        return;
    }
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> guard(lock);
            received = 0;
        }
        TFarEndSender sender(pty.MasterFd(), kTotal);
        std::unique_lock<std::mutex> guard(lock);
        if (!changed.wait_for(guard, std::chrono::seconds(60), [&] { return received >= kTotal; }) ||
            received != kTotal || !intact) {
            state.SkipWithError("bytes lost or out of order");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kTotal));
    core.Close();
}
BENCHMARK(BM_CoreBulkRead)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
