#include "Meter.h"

#include <cstdio>

#include "MeterFrames.h"

namespace {

constexpr std::uint8_t kBroadcast = 0xFF;
constexpr std::uint8_t kCSndNke = 0x40;
constexpr std::uint8_t kFcb = 0x20; // frame count bit, toggled by masters that use it
constexpr std::uint8_t kCSndUd = 0x53;
constexpr std::uint8_t kCReqUd2 = 0x5B;
constexpr std::uint8_t kCiDataSend = 0x51;
constexpr std::uint8_t kDifManufacturer = 0x0F;
constexpr std::uint8_t kDifInt32 = 0x04;
constexpr std::uint8_t kVifManufacturer = 0xFF;

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
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
    if (!broadcast && address != FState.Address())
        return Silent("ignored: address " + Hex2(address) + ", the meter is " + Hex2(FState.Address()));
    TMeterAnswer answer =
        telegram.Kind == TMBusTelegramKind::tkShort ? HandleShort(telegram, broadcast) : HandleLong(telegram);
    if (broadcast && !answer.Bytes.empty()) {
        answer.Bytes.clear();
        answer.Note += "; broadcast, no answer";
    }
    return answer;
}

TMeterAnswer TMeter::HandleShort(const TMBusTelegram& telegram, bool broadcast)
{
    const std::uint8_t c = telegram.C();
    if (c == kCSndNke) {
        FState.Select(TMeterFrame::mfUserData);
        return Ack(TMeterRequest::mrLinkReset, "link reset");
    }
    if ((c & ~kFcb) == kCReqUd2) {
        if (broadcast)
            return Silent("ignored: data request to the broadcast address");
        const bool config = FState.Selected() == TMeterFrame::mfConfigData;
        return {TMeterRequest::mrDataRequest, BuildSelectedFrame(FState),
                config ? "configuration data" : "user data"};
    }
    return Silent("ignored: C field " + Hex2(c));
}

TMeterAnswer TMeter::HandleLong(const TMBusTelegram& telegram)
{
    if ((telegram.C() & ~kFcb) != kCSndUd || telegram.CI() != kCiDataSend)
        return Silent("ignored: C field " + Hex2(telegram.C()) + ", CI " + Hex2(telegram.CI()));
    const std::vector<std::uint8_t> data = telegram.Data();
    if (data.size() == 2 && data[0] == kDifManufacturer) {
        if (data[1] == 0x01) {
            FState.Select(TMeterFrame::mfConfigData);
            return Ack(TMeterRequest::mrSelectConfig, "selects the configuration data");
        }
        if (data[1] == 0x02) {
            FState.Select(TMeterFrame::mfUserData);
            return Ack(TMeterRequest::mrSelectUser, "selects the user data");
        }
    }
    if (data.size() == 7 && data[0] == kDifInt32 && data[1] == kVifManufacturer) {
        const std::uint32_t value =
            static_cast<std::uint32_t>(data[3]) | static_cast<std::uint32_t>(data[4]) << 8 |
            static_cast<std::uint32_t>(data[5]) << 16 | static_cast<std::uint32_t>(data[6]) << 24;
        return WriteRegister(data[2], value);
    }
    return Silent("ignored: a record the meter does not know");
}

TMeterAnswer TMeter::WriteRegister(std::uint8_t reg, std::uint32_t value)
{
    char text[40];
    std::snprintf(text, sizeof text, "register %02X := %08X", reg, value);
    if (FRefused.test(reg) || !FState.WriteRegister(reg, value))
        return Silent(std::string("refused: ") + text, TMeterRequest::mrRegisterWrite);
    return Ack(TMeterRequest::mrRegisterWrite, text);
}
