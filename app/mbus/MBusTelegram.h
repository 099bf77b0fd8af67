// The tool's telegram buffer and the M-Bus requests built in it: the select telegram (SND_UD),
// the data request (REQ_UD2), the register write (SND_UD with one record) and the link reset
// (SND_NKE) by which a bus scan asks whether a meter has an address. The builders write into the
// span they are given and touch nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int TelegramBufSize = 104;

// The tool's one telegram buffer: every request is built in it from index 0, and every response is
// received into it from index 0. It is never cleared: bytes behind the last request or response
// keep older content. The tool keeps it in TMBusState::TelegramBuf.
using TTelegramBuf = std::array<std::uint8_t, TelegramBufSize>;

// Frame bytes of the link layer.
inline constexpr std::uint8_t MBusLongStart = 0x68;
inline constexpr std::uint8_t MBusShortStart = 0x10;
inline constexpr std::uint8_t MBusStop = 0x16;
inline constexpr std::uint8_t MBusAck = 0xE5;
inline constexpr std::uint8_t MBusSelectConfigData = 0x01;
inline constexpr std::uint8_t MBusSelectUserData = 0x02;

inline constexpr int SelectTelegramLength = 11;
inline constexpr int DataRequestLength = 5;
inline constexpr int RegisterWriteLength = 16;
inline constexpr int SndNkeLength = 5;

// The A field of a request: the low 8 bits of the "Addr" value (two's complement when negative).
constexpr std::uint8_t MBusAddressByte(std::int32_t addr)
{
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(addr) & 0xFFu);
}

// Sum of the bytes modulo 256.
std::uint8_t MBusChecksum(std::span<const std::uint8_t> bytes);

// Each builder writes its telegram into `telegram` from index 0 and returns its length; the bytes
// behind it keep what they held. A span too short for the telegram throws std::out_of_range, with
// nothing written.
int BuildSelectTelegram(std::span<std::uint8_t> telegram, std::int32_t addr, std::uint8_t select);
int BuildDataRequest(std::span<std::uint8_t> telegram, std::int32_t addr);
int BuildRegisterWrite(std::span<std::uint8_t> telegram, std::int32_t addr, std::uint8_t reg,
                       std::uint32_t value);
// SND_NKE, 10 40 A CS 16: a meter at A resets its link and answers E5.
int BuildSndNke(std::span<std::uint8_t> telegram, std::int32_t addr);

// The meter acknowledged: the first byte of the telegram received is E5.
bool IsAcknowledged(std::span<const std::uint8_t> telegram);

// How many bytes at the start of `received` are an echo of `request`, the telegram just sent:
// the longest k >= 1 such that the first k bytes received are the last k bytes of the request
// (the whole request, or the tail of it that a purge of the input left over); 0 when there is
// none. Every request ends with the stop byte 16, and no answer of a meter starts with it.
std::size_t MBusEchoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request);
