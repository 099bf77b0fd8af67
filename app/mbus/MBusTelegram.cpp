#include "MBusTelegram.h"

#include <algorithm>

std::uint8_t TelegramBuf[TelegramBufSize] = {};
std::int32_t ReadPos = 0;

namespace {

constexpr std::uint8_t CSndUd = 0x53;
constexpr std::uint8_t CReqUd2 = 0x5B;
constexpr std::uint8_t CSndNke = 0x40;
constexpr std::uint8_t CiDataSend = 0x51;

// Writes the long-frame header 68 L L 68 C A CI of a frame with L = `length`.
void PutLongHeader(std::uint8_t length, std::int32_t addr)
{
    TelegramBuf[0] = MBusLongStart;
    TelegramBuf[1] = length;
    TelegramBuf[2] = length;
    TelegramBuf[3] = MBusLongStart;
    TelegramBuf[4] = CSndUd;
    TelegramBuf[5] = MBusAddressByte(addr);
    TelegramBuf[6] = CiDataSend;
}

// Puts checksum and stop byte behind the L checksummed bytes of a long frame.
int PutLongTrailer(std::uint8_t length)
{
    TelegramBuf[4 + length] = MBusChecksum(TelegramBuf + 4, length);
    TelegramBuf[5 + length] = MBusStop;
    return 6 + length;
}

// Writes the short frame 10 C A CS 16 and returns its length.
int PutShortFrame(std::uint8_t c, std::int32_t addr)
{
    TelegramBuf[0] = MBusShortStart;
    TelegramBuf[1] = c;
    TelegramBuf[2] = MBusAddressByte(addr);
    TelegramBuf[3] = MBusChecksum(TelegramBuf + 1, 2);
    TelegramBuf[4] = MBusStop;
    return 5;
}

} // namespace

std::uint8_t MBusChecksum(const std::uint8_t* bytes, int count)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

int BuildSelectTelegram(std::int32_t addr, std::uint8_t select)
{
    constexpr std::uint8_t length = 5;
    PutLongHeader(length, addr);
    TelegramBuf[7] = 0x0F;
    TelegramBuf[8] = select;
    return PutLongTrailer(length);
}

int BuildDataRequest(std::int32_t addr)
{
    return PutShortFrame(CReqUd2, addr);
}

int BuildSndNke(std::int32_t addr)
{
    return PutShortFrame(CSndNke, addr);
}

int BuildRegisterWrite(std::int32_t addr, std::uint8_t reg, std::uint32_t value)
{
    constexpr std::uint8_t length = 10;
    PutLongHeader(length, addr);
    TelegramBuf[7] = 0x04; // DIF: 32-bit integer
    TelegramBuf[8] = 0xFF; // VIF: manufacturer specific, extension follows
    TelegramBuf[9] = reg;  // VIFE: the register
    for (int i = 0; i < 4; ++i)
        TelegramBuf[10 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return PutLongTrailer(length);
}

bool IsAcknowledged()
{
    return TelegramBuf[0] == MBusAck;
}

std::size_t MBusEchoLength(std::span<const std::uint8_t> received, std::span<const std::uint8_t> request)
{
    for (std::size_t k = std::min(received.size(), request.size()); k > 0; --k)
        if (std::equal(request.end() - static_cast<std::ptrdiff_t>(k), request.end(), received.begin()))
            return k;
    return 0;
}
