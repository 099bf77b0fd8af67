// The tool's one telegram buffer and the three M-Bus requests built in it: the select telegram
// (SND_UD), the data request (REQ_UD2), the register write (SND_UD with one record) and the
// link reset (SND_NKE) by which a bus scan asks whether a meter has an address.
#pragma once

#include <cstdint>
#include <span>

inline constexpr int TelegramBufSize = 104;

// Every request is built here from index 0, and every response is received here from index 0.
// The buffer is never cleared: bytes behind the last request or response keep older content.
extern std::uint8_t TelegramBuf[TelegramBufSize];
// Read cursor of the response decoders.
extern std::int32_t ReadPos;

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

// Sum of `count` bytes modulo 256.
std::uint8_t MBusChecksum(const std::uint8_t* bytes, int count);

// Each builder writes its telegram into TelegramBuf from index 0 and returns its length.
int BuildSelectTelegram(std::int32_t addr, std::uint8_t select);
int BuildDataRequest(std::int32_t addr);
int BuildRegisterWrite(std::int32_t addr, std::uint8_t reg, std::uint32_t value);
// SND_NKE, 10 40 A CS 16: a meter at A resets its link and answers E5.
int BuildSndNke(std::int32_t addr);

// The meter acknowledged: the first byte of TelegramBuf is E5.
bool IsAcknowledged();

// How many bytes at the start of `received` are an echo of `request`, the telegram just sent:
// the longest k >= 1 such that the first k bytes received are the last k bytes of the request
// (the whole request, or the tail of it that a purge of the input left over); 0 when there is
// none. Every request ends with the stop byte 16, and no answer of a meter starts with it.
std::size_t MBusEchoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request);
