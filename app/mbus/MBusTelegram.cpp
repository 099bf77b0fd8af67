#include "MBusTelegram.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

constexpr std::uint8_t CSndUd = 0x53;
constexpr std::uint8_t CReqUd2 = 0x5B;
constexpr std::uint8_t CSndNke = 0x40;
constexpr std::uint8_t CiDataSend = 0x51;

// The first `length` bytes of `telegram`, the room a telegram of that length is built in.
std::span<std::uint8_t> Room(std::span<std::uint8_t> telegram, int length)
{
    if (telegram.size() < static_cast<std::size_t>(length))
        throw std::out_of_range("a telegram of " + std::to_string(length) + " bytes does not fit into " +
                                std::to_string(telegram.size()));
    return telegram.first(static_cast<std::size_t>(length));
}

// Writes the long-frame header 68 L L 68 C A CI of a frame with L = `length`.
void PutLongHeader(std::span<std::uint8_t> frame, std::uint8_t length, std::int32_t addr)
{
    frame[0] = MBusLongStart;
    frame[1] = length;
    frame[2] = length;
    frame[3] = MBusLongStart;
    frame[4] = CSndUd;
    frame[5] = MBusAddressByte(addr);
    frame[6] = CiDataSend;
}

// Puts checksum and stop byte behind the L checksummed bytes of a long frame.
int PutLongTrailer(std::span<std::uint8_t> frame, std::uint8_t length)
{
    frame[4 + length] = MBusChecksum(frame.subspan(4, length));
    frame[5 + length] = MBusStop;
    return 6 + length;
}

// Writes the short frame 10 C A CS 16 and returns its length.
int PutShortFrame(std::span<std::uint8_t> telegram, std::uint8_t c, std::int32_t addr)
{
    const std::span<std::uint8_t> frame = Room(telegram, 5);
    frame[0] = MBusShortStart;
    frame[1] = c;
    frame[2] = MBusAddressByte(addr);
    frame[3] = MBusChecksum(frame.subspan(1, 2));
    frame[4] = MBusStop;
    return 5;
}

} // namespace

std::uint8_t MBusChecksum(std::span<const std::uint8_t> bytes)
{
    std::uint8_t sum = 0;
    for (const std::uint8_t byte : bytes)
        sum = static_cast<std::uint8_t>(sum + byte);
    return sum;
}

int BuildSelectTelegram(std::span<std::uint8_t> telegram, std::int32_t addr, std::uint8_t select)
{
    constexpr std::uint8_t length = 5;
    const std::span<std::uint8_t> frame = Room(telegram, SelectTelegramLength);
    PutLongHeader(frame, length, addr);
    frame[7] = 0x0F;
    frame[8] = select;
    return PutLongTrailer(frame, length);
}

int BuildDataRequest(std::span<std::uint8_t> telegram, std::int32_t addr)
{
    return PutShortFrame(telegram, CReqUd2, addr);
}

int BuildSndNke(std::span<std::uint8_t> telegram, std::int32_t addr)
{
    return PutShortFrame(telegram, CSndNke, addr);
}

int BuildRegisterWrite(std::span<std::uint8_t> telegram, std::int32_t addr, std::uint8_t reg,
                       std::uint32_t value)
{
    constexpr std::uint8_t length = 10;
    const std::span<std::uint8_t> frame = Room(telegram, RegisterWriteLength);
    PutLongHeader(frame, length, addr);
    frame[7] = 0x04; // DIF: 32-bit integer
    frame[8] = 0xFF; // VIF: manufacturer specific, extension follows
    frame[9] = reg;  // VIFE: the register
    for (std::size_t i = 0; i < 4; ++i)
        frame[10 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return PutLongTrailer(frame, length);
}

bool IsAcknowledged(std::span<const std::uint8_t> telegram)
{
    return !telegram.empty() && telegram[0] == MBusAck;
}

std::size_t MBusEchoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request)
{
    for (std::size_t k = std::min(received.size(), request.size()); k > 0; --k)
        if (std::equal(request.end() - static_cast<std::ptrdiff_t>(k), request.end(), received.begin()))
            return k;
    return 0;
}
