#include "MBusDecode.h"

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "MBusTelegram.h"

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
constexpr std::int32_t OffRecords = 26;
// Behind the last record of each frame: four singles and five words, four singles and a word.
constexpr std::int32_t ConfigFrameEnd = OffRecords + 4 * 4 + 5 * 4;
constexpr std::int32_t UserFrameEnd = OffRecords + 4 * 4 + 4;

// How far, relative to its magnitude, a single may lie from the value it was rounded from, with a
// margin: 2^-23 is one to two units in its last place.
constexpr double kSingleRoundingError = 0x1p-23;

// Takes `width` bytes at the cursor, least significant first, and advances it.
std::uint32_t ReadLittleEndian(TTelegramCursor& cursor, int width)
{
    if (!cursor.Holds(width))
        throw std::out_of_range("read of " + std::to_string(width) + " bytes at " +
                                std::to_string(cursor.ReadPos) + " lies outside the telegram");
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | cursor.Telegram[static_cast<std::size_t>(cursor.ReadPos + i)];
    cursor.ReadPos += width;
    return value;
}

// Whether a frame starts at `s`: 68 there and three bytes on.
bool FrameStartsAt(std::span<const std::uint8_t> telegram, std::int32_t s)
{
    const auto at = [&](std::int32_t i) { return telegram[static_cast<std::size_t>(i)]; };
    return s + OffSecondStart < std::ssize(telegram) && at(s) == MBusLongStart &&
           at(s + OffSecondStart) == MBusLongStart;
}

// The fixed header (identification, manufacturer, version, medium, access number, status,
// signature) is read and not used; then the uninterpreted bytes are skipped. True when the byte
// after them is the FF marker; the cursor then points behind the marker, otherwise at it.
bool SkipHeaderToMarker(TTelegramCursor& cursor, std::int32_t start)
{
    cursor.ReadPos = start + OffHeader;
    cursor.ReadBcd8(); // identification number
    cursor.ReadWord(); // manufacturer
    cursor.ReadByte(); // version
    cursor.ReadByte(); // medium
    cursor.ReadByte(); // access number
    cursor.ReadByte(); // status
    cursor.ReadWord(); // signature
    cursor.ReadPos += UninterpretedBytes;
    if (cursor.Telegram[static_cast<std::size_t>(cursor.ReadPos)] != MarkerFF)
        return false;
    cursor.ReadPos += 1;
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

bool TTelegramCursor::Holds(std::int32_t count) const
{
    return ReadPos >= 0 && ReadPos <= std::ssize(Telegram) - count;
}

std::uint8_t TTelegramCursor::ReadByte()
{
    return static_cast<std::uint8_t>(ReadLittleEndian(*this, 1));
}

std::uint16_t TTelegramCursor::ReadWord()
{
    return static_cast<std::uint16_t>(ReadLittleEndian(*this, 2));
}

std::uint32_t TTelegramCursor::ReadDWord()
{
    return ReadLittleEndian(*this, 4);
}

float TTelegramCursor::ReadSingle()
{
    return std::bit_cast<float>(ReadLittleEndian(*this, 4));
}

std::uint32_t TTelegramCursor::ReadBcd8()
{
    const std::uint32_t raw = ReadLittleEndian(*this, 4);
    std::uint32_t value = 0;
    std::uint32_t weight = 1;
    for (int i = 0; i < 4; ++i) {
        const std::uint32_t pair = (raw >> (8 * i)) & 0xFFu;
        value += ((pair >> 4) * 10 + (pair & 0x0Fu)) * weight;
        weight *= 100;
    }
    return value;
}

std::string_view CheckMBusResponse(TTelegramCursor& cursor, std::int32_t addr)
{
    const std::span<const std::uint8_t> telegram = cursor.Telegram;
    cursor.ReadPos = 0;
    while (!FrameStartsAt(telegram, cursor.ReadPos)) {
        if (cursor.ReadPos >= MBusMaxFrameStart)
            return MsgInvalidResponse;
        ++cursor.ReadPos;
    }
    const std::int32_t s = cursor.ReadPos;
    const auto at = [&](std::int32_t i) { return telegram[static_cast<std::size_t>(i)]; };
    const std::int32_t length = at(s + OffL);
    // The checksum sits at s + 4 + L and the stop byte behind it; both must lie in the telegram.
    const std::int32_t stopIndex = s + 5 + length;
    if (at(s + OffLRepeated) != length || stopIndex >= std::ssize(telegram))
        return MsgInvalidLField;
    if (MBusChecksum(telegram.subspan(static_cast<std::size_t>(s + 4), static_cast<std::size_t>(length))) !=
        at(stopIndex - 1))
        return MsgInvalidChSum;
    if (at(stopIndex) != MBusStop)
        return MsgInvalidEndChar;
    if ((at(s + OffC) & 0x0F) != 0x08)
        return MsgUnsupportedCField;
    if (addr != MBusPointToPointAddr && static_cast<std::int32_t>(at(s + OffA)) != addr)
        return MsgInvalidAddr;
    if ((at(s + OffCI) & 0x04) != 0)
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

// The checks, then the fixed header up to the FF marker of a frame whose records end at
// `frameEnd`. True when the records follow at the cursor; otherwise `result` says why not.
static bool ReachRecords(TTelegramCursor& cursor, std::int32_t addr, std::int32_t frameEnd,
                         TMBusDecodeResult& result)
{
    result.Message = CheckMBusResponse(cursor, addr);
    if (result.Message.empty() && !cursor.Holds(frameEnd))
        result.Message = MsgInvalidLField; // the records would lie beyond the telegram's end
    if (!result.Message.empty())
        return false;
    result.AnsweredAddr = cursor.Telegram[static_cast<std::size_t>(cursor.ReadPos + OffA)];
    if (!SkipHeaderToMarker(cursor, cursor.ReadPos)) {
        result.Status = TMBusDecodeStatus::dsNoMarker;
        return false;
    }
    return true;
}

// The records of the configuration-data frame at the cursor.
static void TakeConfigRecords(TTelegramCursor& cursor, TMBusConfigData& data)
{
    for (int i = 0; i < 4; ++i)
        cursor.ReadSingle();
    cursor.ReadDWord();
    cursor.ReadDWord();
    const std::uint32_t scaleWord = cursor.ReadDWord();
    cursor.ReadDWord();
    cursor.ReadDWord();
    data.PulseScaleCode = static_cast<std::uint8_t>(scaleWord & 0x0Fu);
    data.FlowScaleCode = static_cast<std::uint8_t>((scaleWord >> 4) & 0x0Fu);
    data.Status = TMBusDecodeStatus::dsDecoded;
}

TMBusConfigData DecodeConfigFrame(std::span<const std::uint8_t> telegram, std::int32_t addr)
{
    TMBusConfigData data;
    TTelegramCursor cursor{telegram};
    if (ReachRecords(cursor, addr, ConfigFrameEnd, data))
        TakeConfigRecords(cursor, data);
    data.ReadPos = cursor.ReadPos;
    return data;
}

// The records of the user-data frame at the cursor, with the scale codes.
static void TakeUserRecords(TTelegramCursor& cursor, TMBusScaleCodes codes, TMBusUserData& data)
{
    const float q4 = cursor.ReadSingle();
    const float q20 = cursor.ReadSingle();
    const float pulses = cursor.ReadSingle();
    cursor.ReadSingle(); // register 0x23, not shown
    const std::uint32_t config = cursor.ReadDWord();

    if (!ScaleFlow(q4, codes.FlowScaleCode, data.Q4mA) || !ScaleFlow(q20, codes.FlowScaleCode, data.Q20mA)) {
        data.Message = MsgInvalidValue;
        return;
    }
    data.ImpOutStored = pulses;
    data.ImpOutDecimals = ScaleDecimals(codes.PulseScaleCode);
    data.Address = static_cast<std::int32_t>(config & 0xFFu);
    data.Baud = static_cast<std::int32_t>((config >> 8) & 0xFFu) * 100;
    data.TestEmptyTube = ((config >> 16) & 0xFFu) != 0;
    data.PulseWidth = static_cast<std::int32_t>(config >> 24);
    data.Status = TMBusDecodeStatus::dsDecoded;
}

TMBusUserData DecodeUserFrame(std::span<const std::uint8_t> telegram, std::int32_t addr,
                              TMBusScaleCodes codes)
{
    TMBusUserData data;
    TTelegramCursor cursor{telegram};
    if (ReachRecords(cursor, addr, UserFrameEnd, data))
        TakeUserRecords(cursor, codes, data);
    data.ReadPos = cursor.ReadPos;
    return data;
}
