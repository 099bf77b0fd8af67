// Builders of meter response frames for the decoding tests.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "MBusTelegram.h"

namespace decodetest {

using Bytes = std::vector<std::uint8_t>;

inline void PutLE(Bytes& frame, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        frame.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void PutSingle(Bytes& frame, float value)
{
    PutLE(frame, std::bit_cast<std::uint32_t>(value));
}

// 68 L L 68 C A CI, a fixed header with its six uninterpreted bytes, the FF marker, the records,
// then checksum and stop byte.
inline Bytes LongFrame(const Bytes& records, std::uint8_t addr = 1, std::uint8_t c = 0x08,
                       std::uint8_t ci = 0x72)
{
    Bytes frame{0x68, 0, 0, 0x68, c, addr, ci};
    const Bytes header{0x78, 0x56, 0x34, 0x12, 0x93, 0x15, 0x33, 0x03, 0x2A,
                       0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    frame.insert(frame.end(), header.begin(), header.end());
    frame.push_back(0xFF);
    frame.insert(frame.end(), records.begin(), records.end());
    const auto length = static_cast<std::uint8_t>(frame.size() - 4);
    frame[1] = frame[2] = length;
    frame.push_back(MBusChecksum(std::span(frame).subspan(4, length)));
    frame.push_back(0x16);
    return frame;
}

// Recomputes checksum and stop byte after a test changed a byte of the frame.
inline void Reseal(Bytes& frame)
{
    const std::size_t length = frame[1];
    frame[4 + length] = MBusChecksum(std::span(frame).subspan(4, length));
}

struct UserValues {
    float Q4 = 0.1f;
    float Q20 = 2.0f;
    float Pulses = 1000.0f;
    float Reg23 = 0.0f;
    std::uint32_t Config = 0x0A010C05u;
};

inline Bytes UserFrame(const UserValues& v, std::uint8_t addr = 1)
{
    Bytes records;
    PutSingle(records, v.Q4);
    PutSingle(records, v.Q20);
    PutSingle(records, v.Pulses);
    PutSingle(records, v.Reg23);
    PutLE(records, v.Config);
    return LongFrame(records, addr);
}

inline Bytes ConfigFrame(std::uint32_t scaleWord, std::uint8_t addr = 1)
{
    Bytes records;
    for (int i = 0; i < 4; ++i)
        PutSingle(records, 1.5f * static_cast<float>(i));
    PutLE(records, 0xDEADBEEFu);
    PutLE(records, 0x01020304u);
    PutLE(records, scaleWord);
    PutLE(records, 0xCAFEF00Du);
    PutLE(records, 0x0u);
    return LongFrame(records, addr);
}

// A telegram buffer filled with `fill`, the frame (as much of it as fits) placed at `at`.
inline TTelegramBuf Load(const Bytes& frame, int at = 0, std::uint8_t fill = 0x00)
{
    TTelegramBuf telegram;
    telegram.fill(fill);
    const auto count = std::min<std::size_t>(frame.size(), static_cast<std::size_t>(TelegramBufSize - at));
    std::copy_n(frame.begin(), count, telegram.begin() + at);
    return telegram;
}

} // namespace decodetest
