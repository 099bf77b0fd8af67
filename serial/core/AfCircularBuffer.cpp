#include <vexora/serial/AfCircularBuffer.h>

#include <cstring>
#include <new>

namespace vexora::serial {

TAfCircularBuffer::TAfCircularBuffer(std::int32_t Size)
    : FData(nullptr), FSize(Size), FReadPos(0), FWritePos(0), FFull(false)
{
    // A negative capacity is refused the way new[] refuses a negative length. A capacity of 0
    // keeps FData null. The block is default-initialised: not zero-filled.
    if (Size < 0)
        throw std::bad_array_new_length();
    if (Size > 0)
        FData = new std::uint8_t[static_cast<std::size_t>(Size)];
    Clear();
}

TAfCircularBuffer::~TAfCircularBuffer()
{
    delete[] FData;
}

void TAfCircularBuffer::Clear()
{
    FReadPos = 0;
    FWritePos = 0;
    FFull = false;
}

std::int32_t TAfCircularBuffer::UsedCount() const
{
    if (FFull)
        return FSize;
    if (FWritePos >= FReadPos)
        return FWritePos - FReadPos;
    return FWritePos + (FSize - FReadPos);
}

std::int32_t TAfCircularBuffer::FreeCount() const
{
    return FSize - UsedCount();
}

std::int32_t TAfCircularBuffer::ContiguousCount() const
{
    if (FFull)
        return FSize - FReadPos;
    if (FWritePos >= FReadPos)
        return FWritePos - FReadPos;
    return FSize - FReadPos;
}

std::uint8_t* TAfCircularBuffer::ReadPointer() const
{
    return FData == nullptr ? nullptr : FData + FReadPos;
}

bool TAfCircularBuffer::Write(const void* Buffer, std::int32_t Count)
{
    if (Count < 1 || Buffer == nullptr)
        return false;
    if (FreeCount() < Count)
        return false;

    const auto* Source = static_cast<const std::uint8_t*>(Buffer);
    if (FWritePos < FReadPos) {
        std::memcpy(FData + FWritePos, Source, static_cast<std::size_t>(Count));
    } else {
        const std::int32_t Tail = FSize - FWritePos;
        if (Tail >= Count) {
            std::memcpy(FData + FWritePos, Source, static_cast<std::size_t>(Count));
        } else {
            std::memcpy(FData + FWritePos, Source, static_cast<std::size_t>(Tail));
            std::memcpy(FData, Source + Tail, static_cast<std::size_t>(Count - Tail));
        }
    }
    AdvanceIndex(FWritePos, Count);
    FFull = FReadPos == FWritePos;
    return true;
}

bool TAfCircularBuffer::Remove(std::int32_t Count)
{
    if (Count < 0 || Count > UsedCount())
        return false;
    AdvanceIndex(FReadPos, Count);
    if (Count > 0)
        FFull = false;
    return true;
}

void TAfCircularBuffer::AdvanceIndex(std::int32_t& Index, std::int32_t Count) const
{
    // Compared against the room left rather than summed, so that rings near 2 GiB cannot
    // overflow the index arithmetic.
    const std::int32_t Room = FSize - Index;
    if (Count < Room)
        Index += Count;
    else
        Index = Count - Room;
}

} // namespace vexora::serial
