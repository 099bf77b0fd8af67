#include <vexora/serial/AfLineSettings.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vexora::serial {

using namespace platform;

namespace {

constexpr std::array<DWORD, AfBaudrateCount> BaudRates = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000, 0};
constexpr std::array<BYTE, AfDatabitsCount> ByteSizes = {4, 5, 6, 7, 8};
constexpr std::array<BYTE, AfParityCount> Parities = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
                                                      SPACEPARITY};
constexpr std::array<BYTE, AfStopbitsCount> StopBits = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
constexpr std::array<DWORD, AfFlowControlCount> FlowMasks = {0, DCB_fOutX | DCB_fInX,
                                                             DCB_fOutxCtsFlow | DCB_fRtsControlHandshake,
                                                             DCB_fOutxDsrFlow | DCB_fDtrControlHandshake};
constexpr std::array<DWORD, AfComOptionCount> OptionFlags = {
    DCB_fParity, DCB_fDsrSensitivity, DCB_fTXContinueOnXoff, DCB_fErrorChar, DCB_fNull};

template <typename Table>
typename Table::value_type Lookup(const Table& Values, unsigned Ordinal, const char* What)
{
    if (Ordinal >= Values.size())
        throw std::out_of_range(std::string("Invalid ") + What + " value " + std::to_string(Ordinal));
    return Values[Ordinal];
}

// The ordinal of the first table entry equal to Value, or Fallback.
template <typename Enum, typename Table, typename Value>
Enum Find(const Table& Values, Value Wanted, Enum Fallback)
{
    for (std::size_t Ordinal = 0; Ordinal < Values.size(); ++Ordinal)
        if (Values[Ordinal] == Wanted)
            return static_cast<Enum>(Ordinal);
    return Fallback;
}

// InBufSize - Limit on the low 16 bits of InBufSize, wrapping.
std::uint16_t OtherLimit(std::int32_t InBufSize, std::uint16_t Limit)
{
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(InBufSize) - Limit);
}

} // namespace

DWORD BaudRateValue(TAfBaudrate BaudRate)
{
    return Lookup(BaudRates, BaudRate, "baud rate");
}

BYTE DatabitsValue(TAfDatabits Databits)
{
    return Lookup(ByteSizes, Databits, "data bits");
}

BYTE ParityValue(TAfParity Parity)
{
    return Lookup(Parities, Parity, "parity");
}

BYTE StopbitsValue(TAfStopbits Stopbits)
{
    return Lookup(StopBits, Stopbits, "stop bits");
}

DWORD FlowControlMask(TAfFlowControl FlowControl)
{
    return Lookup(FlowMasks, FlowControl, "flow control");
}

DWORD ComOptionFlag(TAfComOption Option)
{
    return Lookup(OptionFlags, Option, "option");
}

DCB LineSettingsToDCB(const TAfLineSettings& Settings)
{
    DCB Dcb;
    std::memset(&Dcb, 0, sizeof Dcb);
    Dcb.DCBlength = sizeof(DCB);

    Dcb.BaudRate = Settings.BaudRate == brUser ? static_cast<DWORD>(Settings.UserBaudRate)
                                               : BaudRateValue(Settings.BaudRate);
    Dcb.ByteSize = DatabitsValue(Settings.Databits);
    Dcb.Parity = ParityValue(Settings.Parity);
    Dcb.StopBits = StopbitsValue(Settings.Stopbits);

    Dcb.XonChar = Settings.XOnChar;
    Dcb.XoffChar = Settings.XOffChar;
    Dcb.XonLim = Settings.XOnLim;
    Dcb.XoffLim = Settings.XOffLim;

    DWORD Flags = FlowControlMask(Settings.FlowControl) | DCB_fBinary;
    for (int Option = 0; Option < AfComOptionCount; ++Option)
        if (Settings.Options.Contains(static_cast<TAfComOption>(Option)))
            Flags |= OptionFlags[static_cast<std::size_t>(Option)];
    // A line that a handshake drives is left to the handshake.
    if (Settings.DTR && Settings.FlowControl != fwDtrDsr)
        Flags |= DCB_fDtrControlEnable;
    if (Settings.RTS && Settings.FlowControl != fwRtsCts)
        Flags |= DCB_fRtsControlEnable;
    SetDcbFlags(Dcb, Flags);
    return Dcb;
}

void LineSettingsFromDCB(TAfLineSettings& Settings, const DCB& Dcb)
{
    // A rate of 0 matches the brUser row itself and leaves UserBaudRate as it is.
    const auto Rate = Find(BaudRates, Dcb.BaudRate, brUser);
    Settings.BaudRate = Rate;
    if (Rate == brUser && Dcb.BaudRate != 0)
        Settings.UserBaudRate = static_cast<std::int32_t>(Dcb.BaudRate);

    Settings.Databits = Find(ByteSizes, Dcb.ByteSize, db8);
    Settings.Parity = Find(Parities, Dcb.Parity, paNone);
    Settings.Stopbits = Find(StopBits, Dcb.StopBits, sbOne);

    const DWORD Flags = DcbFlags(Dcb);
    Settings.FlowControl = fwNone;
    for (TAfFlowControl Candidate : {fwDtrDsr, fwRtsCts, fwXOnXOff}) {
        const DWORD Mask = FlowMasks[Candidate];
        if ((Flags & Mask) == Mask) {
            Settings.FlowControl = Candidate;
            break;
        }
    }

    TAfComOptions Options;
    for (int Option = 0; Option < AfComOptionCount; ++Option)
        if (Flags & OptionFlags[static_cast<std::size_t>(Option)])
            Options.Include(static_cast<TAfComOption>(Option));
    Settings.Options = Options;

    Settings.XOnChar = Dcb.XonChar;
    Settings.XOffChar = Dcb.XoffChar;
    Settings.XOnLim = Dcb.XonLim;
    Settings.XOffLim = Dcb.XoffLim;
}

void UpdateXOnXOffLimits(TAfLineSettings& Settings)
{
    if (Settings.FlowControl == fwNone) {
        Settings.XOnLim = 0;
        Settings.XOffLim = 0;
        return;
    }
    Settings.XOnLim = static_cast<std::uint16_t>(Settings.InBufSize / 4);
    Settings.XOffLim = OtherLimit(Settings.InBufSize, Settings.XOnLim);
}

bool WriteXOnLim(TAfLineSettings& Settings, std::uint16_t Value)
{
    if (Value == Settings.XOnLim)
        return false;
    Settings.XOnLim = Value;
    Settings.XOffLim = OtherLimit(Settings.InBufSize, Value);
    return true;
}

bool WriteXOffLim(TAfLineSettings& Settings, std::uint16_t Value)
{
    if (Value == Settings.XOffLim)
        return false;
    Settings.XOffLim = Value;
    Settings.XOnLim = OtherLimit(Settings.InBufSize, Value);
    return true;
}

} // namespace vexora::serial
