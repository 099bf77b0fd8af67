// Fixed-capacity byte ring. Producers append with Write; a consumer reads the oldest bytes in
// place (ReadPointer, ContiguousCount) and discards them with Remove once used. Write only ever
// stores into free space, so bytes handed out by ReadPointer stay put until they are removed.
//
// The ring has no lock of its own: every caller serialises access with a lock that it owns.
// It allocates its storage once, at construction, and never again.
#pragma once

#include <cstdint>

class TAfCircularBuffer {
public:
    // Create: a ring of Size bytes (0 is allowed and refuses every write). A negative Size, or
    // storage that cannot be allocated, throws the allocator's error.
    explicit TAfCircularBuffer(std::int32_t Size);
    ~TAfCircularBuffer();

    TAfCircularBuffer(const TAfCircularBuffer&) = delete;
    TAfCircularBuffer& operator=(const TAfCircularBuffer&) = delete;

    // Empties the ring and moves both indices back to 0; stored bytes are not touched.
    void Clear();

    std::int32_t UsedCount() const;
    std::int32_t FreeCount() const;
    // Stored bytes in one run from the read index (up to the end of the block at most).
    std::int32_t ContiguousCount() const;
    // Address of the oldest stored byte; valid for ContiguousCount() bytes.
    std::uint8_t* ReadPointer() const;

    // Appends Count bytes, all or nothing. False (and nothing stored) when Count < 1, when
    // Buffer is null or when fewer than Count bytes are free.
    bool Write(const void* Buffer, std::int32_t Count);
    // Discards the oldest Count bytes, all or nothing. False (and nothing changed) when Count
    // is negative or more than are stored; 0 succeeds and changes nothing.
    bool Remove(std::int32_t Count);

    // Read-only view of the state, for diagnostics and tests.
    std::int32_t Size() const { return FSize; }
    std::int32_t ReadPos() const { return FReadPos; }
    std::int32_t WritePos() const { return FWritePos; }
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
