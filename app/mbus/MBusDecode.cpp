#include "MBusDecode.h"

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "MBusTelegram.h"

std::string ErrorText;
std::uint8_t FlowScaleCode = 0;
std::uint8_t PulseScaleCode = 0;

namespace {

constexpr std::uint8_t MarkerFF = 0xFF;

// Frame offsets relative to the start byte.
constexpr std::int32_t OffL = 1;
constexpr std::int32_t OffLRepeated = 2;
constexpr std::int32_t OffSecondStart = 3;
constexpr std::int32_t OffC = 4;
constexpr std::int32_t OffA = 5;
constexpr std::int32_t OffCI = 6;
constexpr std::int32_t OffHeader = 7;
constexpr std::int32_t UninterpretedBytes = 6;

// How far, relative to its magnitude, a single may lie from the value it was rounded from, with a
// margin: 2^-23 is one to two units in its last place.
constexpr double kSingleRoundingError = 0x1p-23;

// Takes `width` bytes at ReadPos, least significant first, and advances ReadPos.
std::uint32_t ReadLittleEndian(int width)
{
    if (ReadPos < 0 || ReadPos > TelegramBufSize - width)
        throw std::out_of_range("read of " + std::to_string(width) + " bytes at " + std::to_string(ReadPos) +
                                " lies outside the telegram buffer");
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | TelegramBuf[ReadPos + i];
    ReadPos += width;
    return value;
}

// The fixed header (identification, manufacturer, version, medium, access number, status,
// signature) is read and not used; then the uninterpreted bytes are skipped. True when the byte
// after them is the FF marker; ReadPos then points behind the marker.
bool SkipHeaderToMarker(std::int32_t start)
{
    ReadPos = start + OffHeader;
    ReadBcd8(); // identification number
    ReadWord(); // manufacturer
    ReadByte(); // version
    ReadByte(); // medium
    ReadByte(); // access number
    ReadByte(); // status
    ReadWord(); // signature
    ReadPos += UninterpretedBytes;
    if (TelegramBuf[ReadPos] != MarkerFF)
        return false;
    ReadPos += 1;
    return true;
}

} // namespace

std::int32_t ScaleDecimals(std::uint8_t code)
{
    return code <= 2 ? 3 - code : 0;
}

std::int32_t ScaleFactor(std::uint8_t code)
{
    constexpr std::int32_t kPowersOfTen[] = {1, 10, 100, 1000};
    return kPowersOfTen[ScaleDecimals(code)];
}

std::uint8_t ReadByte()
{
    return static_cast<std::uint8_t>(ReadLittleEndian(1));
}

std::uint16_t ReadWord()
{
    return static_cast<std::uint16_t>(ReadLittleEndian(2));
}

std::uint32_t ReadDWord()
{
    return ReadLittleEndian(4);
}

float ReadSingle()
{
    return std::bit_cast<float>(ReadLittleEndian(4));
}

std::uint32_t ReadBcd8()
{
    const std::uint32_t raw = ReadLittleEndian(4);
    std::uint32_t value = 0;
    std::uint32_t weight = 1;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t pair = (raw >> (8 * i)) & 0xFFu;
        value += ((pair >> 4) * 10 + (pair & 0x0Fu)) * weight;
        weight *= 100;
    }
    return value;
}

std::string_view CheckMBusResponse(std::int32_t addr)
{
    ReadPos = 0;
    while (
        !(TelegramBuf[ReadPos] == MBusLongStart && TelegramBuf[ReadPos + OffSecondStart] == MBusLongStart)) {
        if (ReadPos >= MBusMaxFrameStart)
            return MsgInvalidResponse;
        ++ReadPos;
    }
    const std::int32_t s = ReadPos;
    const std::int32_t length = TelegramBuf[s + OffL];
    // The checksum sits at s + 4 + L and the stop byte behind it; both must lie in the buffer.
    const std::int32_t stopIndex = s + 5 + length;
    if (TelegramBuf[s + OffLRepeated] != length || stopIndex >= TelegramBufSize)
        return MsgInvalidLField;
    if (MBusChecksum(TelegramBuf + s + 4, length) != TelegramBuf[stopIndex - 1])
        return MsgInvalidChSum;
    if (TelegramBuf[stopIndex] != MBusStop)
        return MsgInvalidEndChar;
    if ((TelegramBuf[s + OffC] & 0x0F) != 0x08)
        return MsgUnsupportedCField;
    if (addr != MBusPointToPointAddr && static_cast<std::int32_t>(TelegramBuf[s + OffA]) != addr)
        return MsgInvalidAddr;
    if ((TelegramBuf[s + OffCI] & 0x04) != 0)
        return MsgUnsupportedMode2;
    return {};
}

bool ScaleFlow(float value, std::uint8_t code, std::int32_t& result)
{
    // Exact in double: a single has 24 significant bits and the factor at most 1000.
    const double exact = static_cast<double>(value) * ScaleFactor(code);
    // The register of an integer flow holds the single nearest to flow / factor, which can lie
    // just below it (120 at code 0 is 0.119999997): an integer within the single's rounding error
    // of the product is the flow it stands for. Anything further off is a real fraction.
    const double nearest = std::round(exact);
    const double product =
        std::fabs(exact - nearest) <= std::fabs(exact) * kSingleRoundingError ? nearest : std::trunc(exact);
    if (!std::isfinite(product) || product < std::numeric_limits<std::int32_t>::min() ||
        product > std::numeric_limits<std::int32_t>::max())
        return false;
    result = static_cast<std::int32_t>(product);
    return true;
}

// The checks, then the fixed header up to the FF marker. True when the records follow at
// ReadPos; otherwise `result` says why not.
static bool ReachRecords(std::int32_t addr, TMBusDecodeResult& result)
{
    result.Message = CheckMBusResponse(addr);
    if (!result.Message.empty())
        return false;
    result.AnsweredAddr = TelegramBuf[ReadPos + OffA];
    if (!SkipHeaderToMarker(ReadPos)) {
        result.Status = TMBusDecodeStatus::dsNoMarker;
        return false;
    }
    return true;
}

TMBusConfigData DecodeConfigFrame(std::int32_t addr)
{
    TMBusConfigData data;
    if (!ReachRecords(addr, data))
        return data;
    for (int i = 0; i < 4; ++i)
        ReadSingle();
    ReadDWord();
    ReadDWord();
    const std::uint32_t scaleWord = ReadDWord();
    ReadDWord();
    ReadDWord();
    data.PulseScaleCode = static_cast<std::uint8_t>(scaleWord & 0x0Fu);
    data.FlowScaleCode = static_cast<std::uint8_t>((scaleWord >> 4) & 0x0Fu);
    data.Status = TMBusDecodeStatus::dsDecoded;
    return data;
}

TMBusUserData DecodeUserFrame(std::int32_t addr, std::uint8_t flowScaleCode, std::uint8_t pulseScaleCode)
{
    TMBusUserData data;
    if (!ReachRecords(addr, data))
        return data;
    const float q4 = ReadSingle();
    const float q20 = ReadSingle();
    const float pulses = ReadSingle();
    ReadSingle(); // register 0x23, not shown
    const std::uint32_t config = ReadDWord();

    if (!ScaleFlow(q4, flowScaleCode, data.Q4mA) || !ScaleFlow(q20, flowScaleCode, data.Q20mA)) {
        data.Message = MsgInvalidValue;
        return data;
    }
    data.ImpOutStored = pulses;
    data.ImpOutDecimals = ScaleDecimals(pulseScaleCode);
    data.Address = static_cast<std::int32_t>(config & 0xFFu);
    data.Baud = static_cast<std::int32_t>((config >> 8) & 0xFFu) * 100;
    data.TestEmptyTube = ((config >> 16) & 0xFFu) != 0;
    data.PulseWidth = static_cast<std::int32_t>(config >> 24);
    data.Status = TMBusDecodeStatus::dsDecoded;
    return data;
}
