#include "MeterOperations.h"

#include <QDateTime>

#include <array>
#include <cstdio>

#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "ErrorTimeStamp.h"
#include "FloatFormat.h"
#include "MBusTelegram.h"
#include "PumpWait.h"
#include "StrToFloat.h"

namespace {

// The fixed waits of the link: after opening the port, after a select telegram, after a data
// request or register write.
constexpr std::uint32_t kOpenSettleMs = 100;
constexpr std::uint32_t kSelectWaitMs = 500;
constexpr std::uint32_t kRequestWaitMs = 750;

// Progress of "Read": 1 once the meter acknowledged, 2 after the configuration data, 3 after the
// second select.
constexpr int kReadMax = 4;
// Progress of "Write": 30 before the configuration data, 31 before the first register, then the
// number of each register acknowledged.
constexpr int kWriteMin = 29;
constexpr int kWriteMax = 37;

// The scale code of factor 1, for a broadcast that reads no configuration data.
constexpr std::uint8_t kUnscaled = 3;

std::string RegisterHex(std::uint8_t Reg)
{
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", Reg);
    return hex;
}

} // namespace

std::string RegisterStatus(std::uint8_t Reg)
{
    return "Setting user data reg. 0x" + RegisterHex(Reg);
}

std::string RegisterWriteError(std::uint8_t Reg)
{
    return "Registers " + RegisterHex(Reg) + " write error";
}

std::string OutOfRangeMessage(std::string_view Caption, std::int64_t Value, std::int64_t Max)
{
    return std::string(Caption) + " " + std::to_string(Value) + " is out of range (0 to " +
           std::to_string(Max) + ")";
}

// ---- the operations ---------------------------------------------------------------------------

TOperationResult TMeterOperations::Read(std::int32_t Addr, std::int32_t Baud)
{
    if (!CheckMeterAddress(Addr))
        return TOperationResult::orRefused;
    FHost.SetProgressRange(0, kReadMax);
    if (Run(true, [&] { return ReadSteps(Addr, Baud); }))
        return TOperationResult::orDone;
    FHost.ShowMessage(MsgDataReadError);
    return TOperationResult::orFailed;
}

bool TMeterOperations::ReadSteps(std::int32_t Addr, std::int32_t Baud)
{
    // The user data are scaled with this read's scale codes or not shown at all.
    const std::optional<TMBusScaleCodes> codes = ReadConfigData(Addr, Baud, 1);
    if (!codes)
        return false;
    FHost.SetProgress(2);
    FHost.ShowStatus(StatusSelectUserData);
    Exchange(BuildSelectTelegram(Telegram(), Addr, MBusSelectUserData), kSelectWaitMs);
    FHost.SetProgress(3);
    if (!IsAcknowledged(Telegram()))
        return false;
    FHost.ShowStatus(StatusReadUserData);
    Exchange(BuildDataRequest(Telegram(), Addr), kRequestWaitMs);
    // A user-data frame that fails its checks has shown why; the meter did answer.
    DecodeUserData(Addr, *codes);
    return true;
}

std::optional<TMBusScaleCodes> TMeterOperations::ReadConfigData(std::int32_t Addr, std::int32_t Baud,
                                                                int AcknowledgedProgress)
{
    FHost.ShowStatus(StatusSelectConfigData);
    OpenLink(Baud);
    Exchange(BuildSelectTelegram(Telegram(), Addr, MBusSelectConfigData), kSelectWaitMs);
    if (!IsAcknowledged(Telegram()))
        return std::nullopt;
    FHost.SetProgress(AcknowledgedProgress);
    FHost.ShowStatus(StatusReadConfigData);
    Exchange(BuildDataRequest(Telegram(), Addr), kRequestWaitMs);
    return DecodeConfigData(Addr);
}

TOperationResult TMeterOperations::Write(std::int32_t Addr, std::int32_t Baud, const TUserDataFields& Fields)
{
    if (!CheckAddrInRange(Addr) || !CheckConfigWordFields(Fields))
        return TOperationResult::orRefused;
    if (Addr == MBusBroadcastAddr && !FHost.Confirm(MsgConfirmBroadcast))
        return TOperationResult::orRefused;
    FHost.SetProgressRange(kWriteMin, kWriteMax);
    if (Run(true, [&] { return WriteSteps(Addr, Baud, Fields); }))
        return TOperationResult::orDone;
    FHost.ShowMessage(MsgDataWriteError);
    return TOperationResult::orFailed;
}

bool TMeterOperations::WriteSteps(std::int32_t Addr, std::int32_t Baud, const TUserDataFields& Fields)
{
    // The broadcast reaches every meter and none answers: no configuration data, no
    // acknowledgements, and the values unscaled.
    const bool broadcast = Addr == MBusBroadcastAddr;
    TMBusScaleCodes codes{kUnscaled, kUnscaled};
    if (!broadcast) {
        // Without this meter's scale codes every value would be scaled wrongly: write none.
        const std::optional<TMBusScaleCodes> read = ReadConfigData(Addr, Baud, 30);
        if (!read)
            return false;
        codes = *read;
    } else {
        // Kept until configuration data are decoded again.
        FState.ScaleCodes = codes;
        FHost.ShowStatus(RegisterStatus(RegQ4mA));
        OpenLink(Baud);
    }
    FHost.SetProgress(31);
    // All five before the first goes out, so that a value that cannot be written leaves the
    // meter as it was.
    std::array<std::uint32_t, UserDataRegisterCount> values{};
    if (!UserDataRegisters(Fields, codes.FlowScaleCode, codes.PulseScaleCode, values))
        throw EConvertError(std::string(CaptionImpOut) + " " +
                            FloatToStrGeneral(Fields.ImpOut, 15).toStdString() + " is out of range");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto reg = static_cast<std::uint8_t>(RegQ4mA + i);
        FHost.ShowStatus(RegisterStatus(reg));
        Exchange(BuildRegisterWrite(Telegram(), Addr, reg, values[i]), kRequestWaitMs);
        if (!broadcast && !IsAcknowledged(Telegram())) {
            FHost.ShowMessage(RegisterWriteError(reg));
            return false;
        }
        FHost.SetProgress(reg);
    }
    return true;
}

TOperationResult TMeterOperations::Reset(std::int32_t Addr, std::int32_t Baud)
{
    if (!CheckMeterAddress(Addr))
        return TOperationResult::orRefused;
    if (Run(false, [&] { return ResetSteps(Addr, Baud); }))
        return TOperationResult::orDone;
    FHost.ShowMessage(MsgDataWriteError);
    return TOperationResult::orFailed;
}

bool TMeterOperations::ResetSteps(std::int32_t Addr, std::int32_t Baud)
{
    OpenLink(Baud);
    bool acknowledged = true;
    // The second register is written also when the first was not acknowledged.
    for (const std::uint8_t reg : {RegVolume, RegVolumeFraction}) {
        Exchange(BuildRegisterWrite(Telegram(), Addr, reg, 0), kRequestWaitMs);
        acknowledged = IsAcknowledged(Telegram()) && acknowledged;
    }
    return acknowledged;
}

TOperationResult TMeterOperations::Scan(const std::vector<std::int32_t>& Bauds, std::int32_t From,
                                        std::int32_t To)
{
    if (!CheckInRange(CaptionAddr, From, MBusMaxPrimaryAddr) ||
        !CheckInRange(CaptionAddr, To, MBusMaxPrimaryAddr))
        return TOperationResult::orRefused;
    if (From > To) {
        FHost.ShowMessage(std::string(CaptionAddr) + " " + std::to_string(From) + " to " +
                          std::to_string(To) + " is an empty range");
        return TOperationResult::orRefused;
    }
    FHost.SetProgressRange(0, static_cast<int>(Bauds.size()) * (To - From + 1));
    return Run(true, [&] { return ScanSteps(Bauds, From, To); }) ? TOperationResult::orDone
                                                                 : TOperationResult::orFailed;
}

bool TMeterOperations::ScanSteps(const std::vector<std::int32_t>& Bauds, std::int32_t From, std::int32_t To)
{
    bool found = false;
    int probed = 0;
    for (const std::int32_t baud : Bauds) {
        FHost.ShowStatus("Scanning at " + std::to_string(baud) + " baud");
        OpenLink(baud);
        for (std::int32_t addr = From; addr <= To; ++addr) {
            StopWhenRequested();
            if (FLink.Probe(addr)) {
                found = true;
                FHost.MeterFound(addr, baud);
            }
            FHost.SetProgress(++probed);
        }
    }
    return found;
}

// ---- what the operations share ----------------------------------------------------------------

bool TMeterOperations::Run(bool ShowsProgress, const std::function<bool()>& Steps)
{
    FHost.OperationStarted();
    FPortFailure.OperationStarted();
    const auto end = [&] {
        FPortFailure.OperationEnded();
        if (ShowsProgress)
            FHost.SetProgress(0);
        FLink.Port().ClosePort();
        if (ShowsProgress)
            FHost.HideStatus();
        FHost.OperationEnded();
    };
    bool done = false;
    try {
        done = Steps();
    } catch (...) {
        end();
        throw;
    }
    end();
    return done;
}

bool TMeterOperations::CheckMeterAddress(std::int32_t Addr)
{
    if (Addr >= MBusBroadcastAddr) {
        FHost.ShowMessage(MsgNonAckBroadcast);
        return false;
    }
    return CheckAddrInRange(Addr);
}

bool TMeterOperations::CheckAddrInRange(std::int32_t Addr)
{
    // A negative value would go out as its low byte: -1 as the broadcast address FF.
    return CheckInRange(CaptionAddr, Addr, MBusBroadcastAddr);
}

bool TMeterOperations::CheckConfigWordFields(const TUserDataFields& Fields)
{
    // Added into the word, a value out of its byte would carry into the next part's.
    return CheckInRange(CaptionAddress, Fields.Address, ConfigAddressMax) &&
           CheckInRange(CaptionBaud, Fields.Baud, ConfigBaudMax) &&
           CheckInRange(CaptionPulseWidth, Fields.PulseWidth, ConfigPulseWidthMax);
}

bool TMeterOperations::CheckInRange(std::string_view Caption, std::int64_t Value, std::int64_t Max)
{
    if (Value >= 0 && Value <= Max)
        return true;
    FHost.ShowMessage(OutOfRangeMessage(Caption, Value, Max));
    return false;
}

std::optional<TMBusScaleCodes> TMeterOperations::DecodeConfigData(std::int32_t Addr)
{
    const TMBusConfigData data = DecodeConfigFrame(Telegram(), Addr);
    if (!Decoded(data))
        return std::nullopt;
    const TMBusScaleCodes codes = data;
    FState.ScaleCodes = codes;
    return codes;
}

bool TMeterOperations::DecodeUserData(std::int32_t Addr, TMBusScaleCodes Codes)
{
    const TMBusUserData data = DecodeUserFrame(Telegram(), Addr, Codes);
    if (!Decoded(data))
        return false;
    FHost.UserDataRead(data);
    return true;
}

bool TMeterOperations::Decoded(const TMBusDecodeResult& Result)
{
    // A failure is reported, a frame without marker is not.
    if (Result.Status == TMBusDecodeStatus::dsFailed) {
        const QString stamp = ErrorTimeStamp(QDateTime::currentDateTime());
        FState.ErrorText = stamp.toStdString() + std::string(Result.Message);
        FHost.ShowMessage(FState.ErrorText);
    }
    return Result.Status == TMBusDecodeStatus::dsDecoded;
}

void TMeterOperations::OpenLink(std::int32_t Baud)
{
    TAfComPort& port = FLink.Port();
    port.SetUserBaudRate(Baud);
    port.OpenPort();
    PumpWait(kOpenSettleMs);
    StopWhenRequested();
    port.ClearInput();
    port.ClearOutput();
}

void TMeterOperations::Exchange(std::int32_t Length, std::uint32_t WaitMs)
{
    StopWhenRequested();
    FLink.Port().ClearInput();
    FLink.Port().ClearOutput();
    FLink.SendTelegram(Length);
    FLink.Delay(WaitMs);
    StopWhenRequested();
}

void TMeterOperations::StopWhenRequested()
{
    // Closing the window closes the port and ends any wait at once: the operation ends without
    // taking the silence that follows for the meter's.
    if (FHost.StopRequested())
        throw EAbort();
    // So does a device that fails: its error, and not the silence, is what the user learns.
    FPortFailure.RaiseIfFailed();
}
