#include "Meter.h"

#include <cstdio>
#include <utility>

#include "MeterFrames.h"

namespace {

constexpr std::uint8_t kBroadcast = 0xFF;
// Whichever meter is on a point-to-point line: every meter takes it as its own and answers.
constexpr std::uint8_t kPointToPoint = 0xFE;
constexpr std::uint8_t kCSndNke = 0x40;
constexpr std::uint8_t kFcb = 0x20; // frame count bit, toggled by masters that use it
constexpr std::uint8_t kCSndUd = 0x53;
constexpr std::uint8_t kCReqUd1 = 0x5A;
constexpr std::uint8_t kCReqUd2 = 0x5B;
constexpr std::uint8_t kCiApplicationReset = 0x50;
constexpr std::uint8_t kCiDataSend = 0x51;
constexpr std::uint8_t kCiSelection = 0x52;
constexpr std::uint8_t kCiBaud300 = 0xB8; // up to BF, 38400 baud
constexpr std::uint8_t kCiBaud38400 = 0xBF;
constexpr std::uint8_t kDifManufacturer = 0x0F;
constexpr std::uint8_t kDifInt8 = 0x01;
constexpr std::uint8_t kDifInt32 = 0x04;
constexpr std::uint8_t kVifBusAddress = 0x7A;
constexpr std::uint8_t kVifManufacturer = 0xFF;
constexpr std::size_t kSecondaryAddressLength = 8;

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += Hex2(byte);
    }
    return text;
}

TMeterAnswer Ack(TMeterRequest request, std::string note)
{
    return {request, {0xE5}, std::move(note)};
}

TMeterAnswer Silent(std::string note, TMeterRequest request = TMeterRequest::mrNone)
{
    return {request, {}, std::move(note)};
}

bool IsSndUd(std::uint8_t c)
{
    return (c & ~kFcb) == kCSndUd;
}

std::uint32_t LittleEndian(const std::uint8_t* bytes, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

// Whether the secondary address in a selection telegram's data names this meter.
bool MatchesSecondaryAddress(const TMeterState& state, const std::vector<std::uint8_t>& data)
{
    if (data.size() != kSecondaryAddressLength)
        return false;
    const std::uint32_t id = LittleEndian(data.data(), 4);
    for (int shift = 0; shift < 32; shift += 4) {
        const std::uint32_t digit = (id >> shift) & 0x0F;
        if (digit != 0x0F && digit != ((state.Identification() >> shift) & 0x0F))
            return false;
    }
    const std::uint32_t manufacturer = LittleEndian(data.data() + 4, 2);
    return (manufacturer == 0xFFFF || manufacturer == kMeterManufacturer) &&
           (data[6] == 0xFF || data[6] == kMeterVersion) && (data[7] == 0xFF || data[7] == kMeterMedium);
}

} // namespace

TMeter::TMeter(const TMeterSettings& settings, std::bitset<256> refused) : FState(settings), FRefused(refused)
{
}

TMeterAnswer TMeter::Handle(const TMBusTelegram& telegram)
{
    if (telegram.Kind == TMBusTelegramKind::tkInvalid)
        return Silent("ignored: " + telegram.Fault);
    if (telegram.Kind == TMBusTelegramKind::tkSingle)
        return Silent("ignored: a single character");
    const std::uint8_t address = telegram.A();
    const bool broadcast = address == kBroadcast;
    const bool selection = address == kMeterSelectedAddress && telegram.Kind == TMBusTelegramKind::tkLong &&
                           IsSndUd(telegram.C()) && telegram.CI() == kCiSelection;
    if (!broadcast && !selection && address != FState.Address() && address != kPointToPoint &&
        !(address == kMeterSelectedAddress && FSelected))
        return Silent("ignored: address " + Hex2(address) + ", the meter is " + Hex2(FState.Address()) +
                      (FSelected ? " and FD" : ""));
    // Anything else for the meter ends the chance of a repeat.
    const bool repeatable = std::exchange(FRepeatable, false);
    TMeterAnswer answer = selection ? HandleSelection(telegram.Data())
                          : telegram.Kind == TMBusTelegramKind::tkShort
                              ? HandleShort(telegram.C(), address, repeatable)
                              : HandleLong(telegram);
    answer.ForMeter = true;
    if (broadcast && !answer.Bytes.empty()) {
        answer.Bytes.clear();
        answer.Note += "; broadcast, no answer";
    }
    return answer;
}

TMeterAnswer TMeter::HandleShort(std::uint8_t c, std::uint8_t address, bool repeatable)
{
    if (c == kCSndNke) {
        FState.Select(TMeterFrame::mfUserData);
        if (address == kMeterSelectedAddress || address == kBroadcast) {
            const bool wasSelected = std::exchange(FSelected, false);
            return Ack(TMeterRequest::mrLinkReset, wasSelected ? "link reset, deselected" : "link reset");
        }
        return Ack(TMeterRequest::mrLinkReset, "link reset");
    }
    if (address == kBroadcast && ((c & ~kFcb) == kCReqUd2 || (c & ~kFcb) == kCReqUd1))
        return Silent("ignored: data request to the broadcast address");
    if ((c & ~kFcb) == kCReqUd1)
        return Ack(TMeterRequest::mrClass1Request, "no alarm data");
    if ((c & ~kFcb) == kCReqUd2) {
        const bool fcb = (c & kFcb) != 0;
        // A repeat follows the data request answered last with nothing in between: the selection
        // is still the one that frame was built from.
        const bool config = FState.Selected() == TMeterFrame::mfConfigData;
        FRepeatable = true;
        if (repeatable && fcb == FLastFcb)
            return {TMeterRequest::mrDataRequest, FLastFrame, "the last frame again: FCB not toggled", false,
                    !config};
        FLastFrame = BuildSelectedFrame(FState);
        FLastFcb = fcb;
        return {TMeterRequest::mrDataRequest, FLastFrame, config ? "configuration data" : "user data", false,
                !config};
    }
    return Silent("ignored: C field " + Hex2(c));
}

TMeterAnswer TMeter::HandleLong(const TMBusTelegram& telegram)
{
    if (!IsSndUd(telegram.C()))
        return Silent("ignored: C field " + Hex2(telegram.C()) + ", CI " + Hex2(telegram.CI()));
    if (telegram.CI() == kCiApplicationReset) {
        FState.Select(TMeterFrame::mfUserData);
        return Ack(TMeterRequest::mrApplicationReset, "application reset");
    }
    if (telegram.CI() == kCiDataSend)
        return HandleData(telegram.Data());
    if (telegram.CI() >= kCiBaud300 && telegram.CI() <= kCiBaud38400) {
        const int baud = 300 << (telegram.CI() - kCiBaud300);
        const std::string note = "baud rate := " + std::to_string(baud);
        if (!FState.SetBaud(baud))
            return Silent("refused: " + note, TMeterRequest::mrBaudChange);
        return Ack(TMeterRequest::mrBaudChange, note);
    }
    return Ack(TMeterRequest::mrUnusedData, "confirmed, not used: CI " + Hex2(telegram.CI()));
}

TMeterAnswer TMeter::HandleData(const std::vector<std::uint8_t>& data)
{
    if (data.size() == 2 && data[0] == kDifManufacturer) {
        if (data[1] == 0x01) {
            FState.Select(TMeterFrame::mfConfigData);
            return Ack(TMeterRequest::mrSelectConfig, "selects the configuration data");
        }
        if (data[1] == 0x02) {
            FState.Select(TMeterFrame::mfUserData);
            return Ack(TMeterRequest::mrSelectUser, "selects the user data");
        }
        return Silent("refused: the meter has no frame " + Hex2(data[1]));
    }
    if (data.size() == 7 && data[0] == kDifInt32 && data[1] == kVifManufacturer)
        return WriteRegister(data[2], LittleEndian(data.data() + 3, 4));
    if (data.size() == 3 && data[0] == kDifInt8 && data[1] == kVifBusAddress) {
        const std::string note = "primary address := " + Hex2(data[2]);
        if (!FState.SetAddress(data[2]))
            return Silent("refused: " + note, TMeterRequest::mrAddressChange);
        return Ack(TMeterRequest::mrAddressChange, note);
    }
    return Ack(TMeterRequest::mrUnusedData, "confirmed, not used: " + HexBytes(data));
}

TMeterAnswer TMeter::HandleSelection(const std::vector<std::uint8_t>& data)
{
    FSelected = MatchesSecondaryAddress(FState, data);
    if (!FSelected)
        return Silent("deselected: secondary address " + HexBytes(data), TMeterRequest::mrSecondarySelect);
    return Ack(TMeterRequest::mrSecondarySelect, "selected by secondary address");
}

TMeterAnswer TMeter::WriteRegister(std::uint8_t reg, std::uint32_t value)
{
    char text[40];
    std::snprintf(text, sizeof text, "register %02X := %08X", reg, value);
    if (FRefused.test(reg) || !FState.WriteRegister(reg, value))
        return Silent(std::string("refused: ") + text, TMeterRequest::mrRegisterWrite);
    return Ack(TMeterRequest::mrRegisterWrite, text);
}
