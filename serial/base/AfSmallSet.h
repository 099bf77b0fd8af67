/// \file
/// A set of the values of a small enumeration, kept in one byte: bit n stands for the value of
/// ordinal n. TEnum's values run from 0 to Count - 1, with Count at most 8.
///
///     using TAfComOptions = TAfSmallSet<TAfComOption, AfComOptionCount>;
///     TAfComOptions options{coParityCheck, coErrorChar};
///     options.Contains(coErrorChar); // true
#pragma once

#include <cstdint>
#include <initializer_list>

namespace vexora::serial {

/// A set of up to eight enumeration values in one byte (TAfComOptions, TAfPortCtlOptions). A plain
/// value: every operation is constant time, allocates nothing and raises nothing; it has no lock,
/// so a set shared between threads needs the owner's. A value outside 0 to Count - 1 is never a
/// member: including it changes nothing.
template <typename TEnum, int Count> class TAfSmallSet {
    static_assert(Count > 0 && Count <= 8, "a small set fits in one byte");

public:
    /// The empty set.
    constexpr TAfSmallSet() = default;
    /// The set of `Values`.
    constexpr TAfSmallSet(std::initializer_list<TEnum> Values)
    {
        for (TEnum Value : Values)
            FBits |= Bit(Value);
    }

    /// The set whose byte is Bits; bits that stand for no value are dropped.
    static constexpr TAfSmallSet FromBits(std::uint8_t Bits)
    {
        TAfSmallSet Result;
        Result.FBits = static_cast<std::uint8_t>(Bits & AllBits);
        return Result;
    }
    /// The byte: bit n set for the value of ordinal n.
    constexpr std::uint8_t Bits() const { return FBits; }

    /// Whether Value is in the set.
    constexpr bool Contains(TEnum Value) const { return (FBits & Bit(Value)) != 0; }
    /// Whether the set has no value.
    constexpr bool Empty() const { return FBits == 0; }
    /// Adds Value; returns this set.
    constexpr TAfSmallSet& Include(TEnum Value)
    {
        FBits |= Bit(Value);
        return *this;
    }
    /// Takes Value out; returns this set.
    constexpr TAfSmallSet& Exclude(TEnum Value)
    {
        FBits = static_cast<std::uint8_t>(FBits & ~Bit(Value));
        return *this;
    }

    /// Union: the values in A or in B.
    friend constexpr TAfSmallSet operator+(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(A.FBits | B.FBits);
    }
    /// Difference: the values in A and not in B.
    friend constexpr TAfSmallSet operator-(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(static_cast<std::uint8_t>(A.FBits & ~B.FBits));
    }
    /// Intersection: the values in both.
    friend constexpr TAfSmallSet operator*(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(A.FBits & B.FBits);
    }
    /// Whether both sets hold the same values.
    friend constexpr bool operator==(TAfSmallSet A, TAfSmallSet B) = default;

private:
    static constexpr std::uint8_t AllBits = static_cast<std::uint8_t>((1u << Count) - 1u);
    static constexpr std::uint8_t Bit(TEnum Value)
    {
        const auto ordinal = static_cast<unsigned>(Value);
        return ordinal < static_cast<unsigned>(Count) ? static_cast<std::uint8_t>(1u << ordinal) : 0;
    }

    std::uint8_t FBits = 0;
};

} // namespace vexora::serial
