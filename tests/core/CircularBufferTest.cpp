#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <new>
#include <numeric>
#include <random>
#include <vector>

#include <vexora/serial/AfCircularBuffer.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

std::vector<std::uint8_t> Bytes(int Count, std::uint8_t First = 0)
{
    std::vector<std::uint8_t> Result(static_cast<std::size_t>(Count));
    std::iota(Result.begin(), Result.end(), First);
    return Result;
}

// Takes every stored byte out of the ring, in order, in at most two in-place reads.
std::vector<std::uint8_t> Drain(TAfCircularBuffer& Ring)
{
    std::vector<std::uint8_t> Result;
    for (int Step = 0; Step < 2 && Ring.UsedCount() > 0; ++Step) {
        const std::int32_t Run = Ring.ContiguousCount();
        Result.insert(Result.end(), Ring.ReadPointer(), Ring.ReadPointer() + Run);
        EXPECT_TRUE(Ring.Remove(Run));
    }
    EXPECT_EQ(Ring.UsedCount(), 0);
    return Result;
}

struct State {
    std::int32_t Used, Free, Contiguous, Read, Write;
    bool Full;
    bool operator==(const State&) const = default;
};

State Snapshot(const TAfCircularBuffer& Ring)
{
    return {Ring.UsedCount(), Ring.FreeCount(), Ring.ContiguousCount(),
            Ring.ReadPos(),   Ring.WritePos(),  Ring.Full()};
}

// Moves both indices of an empty ring to Position.
void PlaceAt(TAfCircularBuffer& Ring, std::int32_t Position)
{
    const auto Filler = Bytes(Position);
    if (Position > 0) {
        ASSERT_TRUE(Ring.Write(Filler.data(), Position));
        ASSERT_TRUE(Ring.Remove(Position));
    }
    ASSERT_EQ(Ring.UsedCount(), 0);
    ASSERT_EQ(Ring.ReadPos(), Position);
}

} // namespace

TEST(CircularBuffer, NewRingIsEmpty)
{
    TAfCircularBuffer Ring(16);
    EXPECT_EQ(Snapshot(Ring), (State{0, 16, 0, 0, 0, false}));
}

TEST(CircularBuffer, FillingCompletelyFromAnOffsetWrapsAndMarksFull)
{
    TAfCircularBuffer Ring(16);
    PlaceAt(Ring, 5);
    const auto Data = Bytes(16, 100);
    ASSERT_TRUE(Ring.Write(Data.data(), 16));
    EXPECT_EQ(Snapshot(Ring), (State{16, 0, 11, 5, 5, true}));
    EXPECT_EQ(Drain(Ring), Data);
    EXPECT_EQ(Ring.ReadPos(), 5) << "running empty must not reset the indices";
}

TEST(CircularBuffer, WriteThatWrapsSplitsAtTheEndOfTheBlock)
{
    TAfCircularBuffer Ring(16);
    PlaceAt(Ring, 14);
    const auto Data = Bytes(5, 1);
    ASSERT_TRUE(Ring.Write(Data.data(), 5));
    EXPECT_EQ(Ring.WritePos(), 3);
    EXPECT_EQ(Ring.ContiguousCount(), 2);
    EXPECT_EQ(Ring.ReadPointer()[0], 1);
    EXPECT_EQ(Ring.ReadPointer()[1], 2);

    ASSERT_TRUE(Ring.Remove(2));
    EXPECT_EQ(Ring.ReadPos(), 0);
    EXPECT_EQ(Ring.ContiguousCount(), 3);
    EXPECT_EQ(std::vector<std::uint8_t>(Ring.ReadPointer(), Ring.ReadPointer() + 3),
              (std::vector<std::uint8_t>{3, 4, 5}));
}

TEST(CircularBuffer, RefusedWritesChangeNothing)
{
    TAfCircularBuffer Ring(16);
    PlaceAt(Ring, 10);
    const auto First = Bytes(7, 50);
    ASSERT_TRUE(Ring.Write(First.data(), 7));
    const State Before = Snapshot(Ring);
    const auto Big = Bytes(10, 200);

    EXPECT_FALSE(Ring.Write(Big.data(), 10)) << "10 bytes into 9 free";
    EXPECT_FALSE(Ring.Write(Big.data(), 0));
    EXPECT_FALSE(Ring.Write(Big.data(), -3));
    EXPECT_FALSE(Ring.Write(nullptr, 4));
    EXPECT_EQ(Snapshot(Ring), Before);
    EXPECT_EQ(Drain(Ring), First);
}

TEST(CircularBuffer, FullRingRefusesEvenOneByte)
{
    TAfCircularBuffer Ring(8);
    const auto Data = Bytes(8, 30);
    ASSERT_TRUE(Ring.Write(Data.data(), 8));
    const State Before = Snapshot(Ring);
    const std::uint8_t One = 0xFF;
    EXPECT_FALSE(Ring.Write(&One, 1));
    EXPECT_TRUE(Ring.Remove(0)) << "removing nothing succeeds";
    EXPECT_EQ(Snapshot(Ring), Before) << "and leaves a full ring full";
    EXPECT_EQ(Drain(Ring), Data);
}

TEST(CircularBuffer, RefusedRemovesChangeNothing)
{
    TAfCircularBuffer Ring(16);
    PlaceAt(Ring, 12);
    const auto Data = Bytes(6);
    ASSERT_TRUE(Ring.Write(Data.data(), 6));
    const State Before = Snapshot(Ring);

    EXPECT_FALSE(Ring.Remove(7));
    EXPECT_FALSE(Ring.Remove(-1));
    EXPECT_FALSE(Ring.Remove(INT32_MIN));
    EXPECT_EQ(Snapshot(Ring), Before);

    EXPECT_TRUE(Ring.Remove(6));
    EXPECT_EQ(Snapshot(Ring), (State{0, 16, 0, 2, 2, false}));
}

TEST(CircularBuffer, ClearEmptiesAFullRingAndResetsTheIndices)
{
    TAfCircularBuffer Ring(16);
    PlaceAt(Ring, 9);
    const auto Data = Bytes(16);
    ASSERT_TRUE(Ring.Write(Data.data(), 16));
    Ring.Clear();
    EXPECT_EQ(Snapshot(Ring), (State{0, 16, 0, 0, 0, false}));
    ASSERT_TRUE(Ring.Write(Data.data(), 16)) << "all capacity is usable again";
    EXPECT_EQ(Drain(Ring), Data);
}

TEST(CircularBuffer, StoredBytesStayInPlaceWhileProducersAppend)
{
    // The consumer may read from ReadPointer while others write into the free space.
    TAfCircularBuffer Ring(8);
    PlaceAt(Ring, 6);
    const auto Data = Bytes(4, 10);
    ASSERT_TRUE(Ring.Write(Data.data(), 4));
    const std::uint8_t* InFlight = Ring.ReadPointer();
    const std::int32_t Run = Ring.ContiguousCount();
    const auto More = Bytes(4, 90);
    ASSERT_TRUE(Ring.Write(More.data(), 4));
    EXPECT_EQ(Ring.ReadPointer(), InFlight);
    EXPECT_EQ(Ring.ContiguousCount(), Run);
    EXPECT_EQ(InFlight[0], 10);
    EXPECT_EQ(InFlight[1], 11);
    EXPECT_TRUE(Ring.Full());
}

TEST(CircularBuffer, TinyAndInvalidCapacities)
{
    TAfCircularBuffer Empty(0);
    const std::uint8_t Byte = 7;
    EXPECT_FALSE(Empty.Write(&Byte, 1));
    EXPECT_EQ(Empty.UsedCount(), 0);
    EXPECT_EQ(Empty.FreeCount(), 0);
    EXPECT_EQ(Empty.ContiguousCount(), 0);
    EXPECT_TRUE(Empty.Remove(0));
    EXPECT_FALSE(Empty.Remove(1));

    TAfCircularBuffer One(1);
    for (std::uint8_t Value = 0; Value < 5; ++Value) {
        ASSERT_TRUE(One.Write(&Value, 1));
        EXPECT_EQ(Snapshot(One), (State{1, 0, 1, 0, 0, true}));
        EXPECT_FALSE(One.Write(&Value, 1));
        EXPECT_EQ(*One.ReadPointer(), Value);
        ASSERT_TRUE(One.Remove(1));
        EXPECT_EQ(Snapshot(One), (State{0, 1, 0, 0, 0, false}));
    }

    EXPECT_THROW(TAfCircularBuffer(-1), std::bad_alloc);
}

// Mixed writes and in-place reads of random sizes, checked byte for byte against a deque.
class CircularBufferModel : public testing::TestWithParam<std::int32_t> {};

TEST_P(CircularBufferModel, AgreesWithAQueue)
{
    const std::int32_t Capacity = GetParam();
    TAfCircularBuffer Ring(Capacity);
    std::deque<std::uint8_t> Model;
    std::mt19937 Random(static_cast<std::uint32_t>(Capacity) * 7919u + 1u);
    const std::int32_t MaxCount = Capacity + 2;
    std::uniform_int_distribution<std::int32_t> CountOf(-1, MaxCount);
    std::vector<std::uint8_t> Source(static_cast<std::size_t>(MaxCount) + 1);
    std::uint8_t Next = 0;

    for (int Step = 0; Step < 20000; ++Step) {
        const std::int32_t Count = CountOf(Random);
        const auto Used = static_cast<std::int32_t>(Model.size());
        switch (Random() % 4) {
        case 0:
        case 1: {
            for (std::int32_t I = 0; I < std::max(Count, 0); ++I)
                Source[static_cast<std::size_t>(I)] = Next++;
            const bool Fits = Count >= 1 && Count <= Capacity - Used;
            ASSERT_EQ(Ring.Write(Source.data(), Count), Fits) << "step " << Step;
            if (Fits)
                Model.insert(Model.end(), Source.begin(), Source.begin() + Count);
            else
                Next = static_cast<std::uint8_t>(Next - std::max(Count, 0));
            break;
        }
        case 2: {
            // In-place read of part of the contiguous run, then removal of what was read.
            const std::int32_t Run = Ring.ContiguousCount();
            ASSERT_LE(Run, Used);
            ASSERT_TRUE(Used == 0 || Run > 0) << "stored bytes must be reachable";
            const std::int32_t Take = Run == 0 ? 0 : std::min(std::max(Count, 0), Run);
            for (std::int32_t I = 0; I < Take; ++I)
                ASSERT_EQ(Ring.ReadPointer()[I], Model[static_cast<std::size_t>(I)]) << "step " << Step;
            ASSERT_TRUE(Ring.Remove(Take));
            Model.erase(Model.begin(), Model.begin() + Take);
            break;
        }
        default: {
            const bool Fits = Count >= 0 && Count <= Used;
            ASSERT_EQ(Ring.Remove(Count), Fits) << "step " << Step;
            if (Fits)
                Model.erase(Model.begin(), Model.begin() + Count);
            break;
        }
        }
        const auto Size = static_cast<std::int32_t>(Model.size());
        ASSERT_EQ(Ring.UsedCount(), Size);
        ASSERT_EQ(Ring.FreeCount(), Capacity - Size);
        ASSERT_EQ(Ring.Full(), Capacity > 0 && Size == Capacity);
        if (Step % 5000 == 4999)
            Ring.Clear(), Model.clear();
    }
    const std::vector<std::uint8_t> Expected(Model.begin(), Model.end());
    EXPECT_EQ(Drain(Ring), Expected);
}

INSTANTIATE_TEST_SUITE_P(Capacities, CircularBufferModel, testing::Values(0, 1, 2, 3, 7, 16, 64, 1000));
