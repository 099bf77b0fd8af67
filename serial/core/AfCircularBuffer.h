/// \file
/// Fixed-capacity byte ring. Producers append with Write; a consumer reads the oldest bytes in
/// place (ReadPointer, ContiguousCount) and discards them with Remove once used. Write only ever
/// stores into free space, so bytes handed out by ReadPointer stay put until they are removed.
///
/// The ring has no lock of its own: every caller serialises access with a lock that it owns. It
/// allocates its storage once, at construction, and never again.
#pragma once

#include <cstdint>

#include <vexora/serial/AfExport.h>

namespace vexora::serial {

/// A byte ring of fixed capacity; all of it is usable (no slot is kept free to tell full from
/// empty). After construction every operation runs in constant time apart from Write's copy (at
/// most two block copies), allocates nothing and raises nothing; reading costs no copy at all. No
/// lock: the caller serialises every use (the port core's write lock, the dispatcher's lock).
class VEXORA_SERIAL_API TAfCircularBuffer {
public:
    /// Create: a ring of Size bytes (0 is allowed and refuses every write). A negative Size, or
    /// storage that cannot be allocated, throws the allocator's error (std::bad_array_new_length,
    /// std::bad_alloc). The storage is not zero-filled.
    explicit TAfCircularBuffer(std::int32_t Size);
    /// Frees the storage.
    ~TAfCircularBuffer();

    TAfCircularBuffer(const TAfCircularBuffer&) = delete;
    TAfCircularBuffer& operator=(const TAfCircularBuffer&) = delete;

    /// Empties the ring and moves both indices back to 0; stored bytes are not touched.
    void Clear();

    /// The bytes stored.
    std::int32_t UsedCount() const;
    /// The room left: Size() - UsedCount().
    std::int32_t FreeCount() const;
    /// Stored bytes in one run from the read index (up to the end of the block at most); 0 when
    /// empty. A consumer that wants all stored bytes reads at most two runs.
    std::int32_t ContiguousCount() const;
    /// Address of the oldest stored byte; valid for ContiguousCount() bytes, until they are
    /// removed or the ring is cleared. Null for a ring of size 0; not checked against the fill.
    std::uint8_t* ReadPointer() const;

    /// Appends Count bytes, all or nothing. False (and nothing stored) when Count < 1, when Buffer
    /// is null or when fewer than Count bytes are free.
    bool Write(const void* Buffer, std::int32_t Count);
    /// Discards the oldest Count bytes, all or nothing. False (and nothing changed) when Count is
    /// negative or more than are stored; 0 succeeds and changes nothing. The indices are not moved
    /// back to 0 when the ring runs empty.
    bool Remove(std::int32_t Count);

    /// Read-only view of the state, for diagnostics and tests: the capacity.
    std::int32_t Size() const { return FSize; }
    /// The index of the oldest stored byte (0 to Size() - 1).
    std::int32_t ReadPos() const { return FReadPos; }
    /// The index at which the next byte is stored.
    std::int32_t WritePos() const { return FWritePos; }
    /// Whether all Size() bytes are stored (the indices are then equal, as when empty).
    bool Full() const { return FFull; }

private:
    // Moves Index forward by Count (0 <= Count <= FSize), wrapping once at most.
    void AdvanceIndex(std::int32_t& Index, std::int32_t Count) const;

    std::uint8_t* FData;
    std::int32_t FSize;
    std::int32_t FReadPos;
    std::int32_t FWritePos;
    bool FFull;
};

} // namespace vexora::serial
