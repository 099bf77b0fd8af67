// A set of the values of a small enumeration, kept in one byte: bit n stands for the value of
// ordinal n. TEnum's values run from 0 to Count - 1, with Count at most 8.
//
//     using TAfComOptions = TAfSmallSet<TAfComOption, AfComOptionCount>;
//     TAfComOptions options{coParityCheck, coErrorChar};
//     options.Contains(coErrorChar); // true
#pragma once

#include <cstdint>
#include <initializer_list>

template <typename TEnum, int Count> class TAfSmallSet {
    static_assert(Count > 0 && Count <= 8, "a small set fits in one byte");

public:
    constexpr TAfSmallSet() = default;
    constexpr TAfSmallSet(std::initializer_list<TEnum> Values)
    {
        for (TEnum Value : Values)
            FBits |= Bit(Value);
    }

    // The set whose byte is Bits; bits that stand for no value are dropped.
    static constexpr TAfSmallSet FromBits(std::uint8_t Bits)
    {
        TAfSmallSet Result;
        Result.FBits = static_cast<std::uint8_t>(Bits & AllBits);
        return Result;
    }
    constexpr std::uint8_t Bits() const { return FBits; }

    constexpr bool Contains(TEnum Value) const { return (FBits & Bit(Value)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TAfSmallSet& Include(TEnum Value)
    {
        FBits |= Bit(Value);
        return *this;
    }
    constexpr TAfSmallSet& Exclude(TEnum Value)
    {
        FBits = static_cast<std::uint8_t>(FBits & ~Bit(Value));
        return *this;
    }

    // Union, difference and intersection.
    friend constexpr TAfSmallSet operator+(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(A.FBits | B.FBits);
    }
    friend constexpr TAfSmallSet operator-(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(static_cast<std::uint8_t>(A.FBits & ~B.FBits));
    }
    friend constexpr TAfSmallSet operator*(TAfSmallSet A, TAfSmallSet B)
    {
        return FromBits(A.FBits & B.FBits);
    }
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
