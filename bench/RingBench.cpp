// Throughput of the byte ring's write and in-place read against a plain memcpy of the same
// sizes. The ring's capacity is not a multiple of any size, so writes and reads keep wrapping.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <vexora/serial/AfCircularBuffer.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

constexpr std::int32_t Capacity = 10007;

void Sizes(benchmark::internal::Benchmark* Bench)
{
    for (int Size : {16, 64, 1024, 4096})
        Bench->Arg(Size);
}

// One Write of Size bytes, then the consumer's in-place read of them (one or two runs) and Remove.
void BM_RingWriteRead(benchmark::State& State)
{
    const auto Size = static_cast<std::int32_t>(State.range(0));
    TAfCircularBuffer Ring(Capacity);
    std::vector<std::uint8_t> Source(static_cast<std::size_t>(Size), 0x5A);
    for (auto _ : State) {
        if (!Ring.Write(Source.data(), Size))
            State.SkipWithError("write refused");
        while (Ring.UsedCount() > 0) {
            const std::int32_t Run = Ring.ContiguousCount();
            benchmark::DoNotOptimize(Ring.ReadPointer());
            Ring.Remove(Run);
        }
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(State.iterations() * Size);
}
BENCHMARK(BM_RingWriteRead)->Apply(Sizes);

// The producer and the consumer apart: fill the ring with writes of Size bytes, then drain it.
void BM_RingFillDrain(benchmark::State& State)
{
    const auto Size = static_cast<std::int32_t>(State.range(0));
    TAfCircularBuffer Ring(Capacity);
    std::vector<std::uint8_t> Source(static_cast<std::size_t>(Size), 0xA5);
    std::int64_t Bytes = 0;
    for (auto _ : State) {
        while (Ring.Write(Source.data(), Size))
            Bytes += Size;
        while (Ring.UsedCount() > 0) {
            benchmark::DoNotOptimize(Ring.ReadPointer());
            Ring.Remove(Ring.ContiguousCount());
        }
        benchmark::ClobberMemory();
    }
    State.SetBytesProcessed(Bytes);
}
BENCHMARK(BM_RingFillDrain)->Apply(Sizes);

// The baseline: one copy of Size bytes into a block of the ring's capacity.
void BM_Memcpy(benchmark::State& State)
{
    const auto Size = static_cast<std::size_t>(State.range(0));
    std::vector<std::uint8_t> Source(Size, 0x5A);
    std::vector<std::uint8_t> Target(static_cast<std::size_t>(Capacity));
    std::size_t Offset = 0;
    for (auto _ : State) {
        std::memcpy(Target.data() + Offset, Source.data(), Size);
        benchmark::ClobberMemory();
        Offset += Size;
        if (Offset + Size > Target.size())
            Offset = 0;
    }
    State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Size));
}
BENCHMARK(BM_Memcpy)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
