// The operations on the meter, their steps and their messages, without any window: "Read",
// "Write", the reset of the main volume counter, and the bus scan. The main window and vexora-cli
// both run them, each through a host that shows what the operation reports (status, progress,
// messages) and answers its one question.
//
// Every operation first refuses what it cannot send, with a message and nothing sent; then it
// opens the port, runs its exchanges with the fixed waits of the link, and ends with the port
// closed, also when it raises (port errors, EConvertError for a value the meter's scale cannot
// take, EAbort when the host has the operation stop). A port whose device fails meanwhile (an
// adapter pulled out) ends the operation at its next step with the port core's error, "Device
// COM<n> failed", and nothing else is reported (PortFailure.h). Runs on the thread that owns the
// port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "MBusDecode.h"
#include "MBusLink.h"
#include "MBusRegisters.h"
#include "MBusState.h"
#include "PortFailure.h"

// Status texts of the steps.
inline constexpr std::string_view StatusSelectConfigData = "Switching FRAME config data";
inline constexpr std::string_view StatusReadConfigData = "Reading config data";
inline constexpr std::string_view StatusSelectUserData = "Switching FRAME user data";
inline constexpr std::string_view StatusReadUserData = "Reading user data";

// Messages.
inline constexpr std::string_view MsgNonAckBroadcast = "Addr 255 is non ack broadcast";
inline constexpr std::string_view MsgConfirmBroadcast = "Addr 255 is addr non ack broadcast\nContinue?";
inline constexpr std::string_view MsgDataReadError = "DATA read error";
inline constexpr std::string_view MsgDataWriteError = "DATA write error";

// The captions by which messages name the values.
inline constexpr std::string_view CaptionAddr = "Addr"; // the address the requests go to
inline constexpr std::string_view CaptionImpOut = "Imp Out";
inline constexpr std::string_view CaptionAddress = "Address"; // the meter's own address
inline constexpr std::string_view CaptionBaud = "Baud";       // the meter's own baud rate
inline constexpr std::string_view CaptionPulseWidth = "Pulse width";

// The address every meter takes as its own and none answers.
inline constexpr std::int32_t MBusBroadcastAddr = 255;
// The highest primary address a meter can have (251 to 254 have other uses on the bus).
inline constexpr std::int32_t MBusMaxPrimaryAddr = 250;

// "Setting user data reg. 0x20", the status of a register write.
std::string RegisterStatus(std::uint8_t Reg);
// "Registers 22 write error".
std::string RegisterWriteError(std::uint8_t Reg);
// "Addr -1 is out of range (0 to 255)".
std::string OutOfRangeMessage(std::string_view Caption, std::int64_t Value, std::int64_t Max);

// What an operation needs from whoever runs it. Each call comes at the step it names, in the
// order the steps take; the defaults do nothing.
class TMeterOperationHost {
public:
    virtual ~TMeterOperationHost() = default;

    // Before the first step of an operation that passed its checks, and after its last (also
    // when it raised): the window locks and frees its controls here.
    virtual void OperationStarted() {}
    virtual void OperationEnded() {}
    // The step in progress; hidden at the end of an operation that showed one.
    virtual void ShowStatus(std::string_view Text) = 0;
    virtual void HideStatus() {}
    // The progress range of the operation, set before it starts, and its progress.
    virtual void SetProgressRange(int Min, int Max) = 0;
    virtual void SetProgress(int Value) = 0;
    // A message for the user; the operation goes on once it was shown.
    virtual void ShowMessage(std::string_view Text) = 0;
    // A question; true for Yes.
    virtual bool Confirm(std::string_view Text) = 0;
    // The user data of a Read, decoded and scaled; comes before the Read ends.
    virtual void UserDataRead(const TMBusUserData& Data) { (void)Data; }
    // Asked before and after every exchange: true makes the operation end at once with EAbort
    // (the window was closed).
    virtual bool StopRequested() const { return false; }
    // A meter the scan found.
    virtual void MeterFound(std::int32_t Addr, std::int32_t Baud) { (void)Addr, (void)Baud; }
};

enum class TOperationResult {
    orDone,    // every step done
    orRefused, // refused before anything was sent (the message said why), or not confirmed
    orFailed   // the meter did not acknowledge (the message said so)
};

class TMeterOperations {
public:
    // State: where the scale codes and the error text are kept between operations. The requests
    // are built, and the answers tested and decoded, in the link's telegram buffer (the owner gives
    // the link State.TelegramBuf). All three, and the link's port, must outlive the operations,
    // which take over the port's OnSyncEvent (TPortFailure).
    TMeterOperations(TMBusLink& Link, TMeterOperationHost& Host, TMBusState& State)
        : FLink(Link), FHost(Host), FState(State), FPortFailure(Link.Port())
    {
    }

    // "Read" at Baud: the configuration data (scale codes), then the user data, which go to the
    // host. Refuses an Addr below 0 or from 255 (broadcast, no answer). orFailed ("DATA read
    // error") unless both selects were acknowledged and the configuration data decoded; a user-data
    // frame that fails its checks shows why, and the read still counts as done.
    TOperationResult Read(std::int32_t Addr, std::int32_t Baud);
    // "Write" at Baud: registers 0x20 to 0x24 from Fields, scaled with the scale codes of the
    // configuration data read first; to Addr 255, once confirmed, unscaled and unanswered.
    // Refuses an Addr outside 0 to 255 and fields that do not fit register 0x24. orFailed ("DATA
    // write error") when the configuration data failed or a register was not acknowledged (which
    // its own message names). Raises EConvertError when Imp Out does not fit the meter's scale,
    // before the first register.
    TOperationResult Write(std::int32_t Addr, std::int32_t Baud, const TUserDataFields& Fields);
    // The reset of the main volume counter: registers 0x30 and 0x31 written with 0, the second
    // also when the first was not acknowledged. Refuses as Read does; orFailed ("DATA write
    // error") unless both were acknowledged.
    TOperationResult Reset(std::int32_t Addr, std::int32_t Baud);
    // The bus scan: at each rate of Bauds, every primary address from From to To probed
    // (TMBusLink::Probe), each meter found told to the host. Refuses addresses outside 0 to 250
    // and From above To; orFailed when no meter answered.
    TOperationResult Scan(const std::vector<std::int32_t>& Bauds, std::int32_t From, std::int32_t To);

    // The checks, each with its message: Addr of Read and Reset (below 255 and not negative),
    // Addr of Write (0 to 255), and address, baud rate and pulse width each within its byte of
    // register 0x24.
    bool CheckMeterAddress(std::int32_t Addr);
    bool CheckAddrInRange(std::int32_t Addr);
    bool CheckConfigWordFields(const TUserDataFields& Fields);
    // Whether Value lies from 0 to Max; otherwise says so, naming the value by Caption.
    bool CheckInRange(std::string_view Caption, std::int64_t Value, std::int64_t Max);

    // The decoders on the telegram buffer, for answers from Addr: a failure shows the date, the
    // time and the message (and becomes the state's ErrorText). The configuration data give their
    // scale codes, which the state keeps as well; none when the frame was not decoded. The user
    // data, scaled with Codes, go to the host; true when they were decoded.
    std::optional<TMBusScaleCodes> DecodeConfigData(std::int32_t Addr);
    bool DecodeUserData(std::int32_t Addr, TMBusScaleCodes Codes);

private:
    // Runs Steps between OperationStarted and OperationEnded, and then the closing steps, also
    // when Steps raise. ShowsProgress: the operation uses the progress and the status.
    bool Run(bool ShowsProgress, const std::function<bool()>& Steps);
    bool ReadSteps(std::int32_t Addr, std::int32_t Baud);
    bool WriteSteps(std::int32_t Addr, std::int32_t Baud, const TUserDataFields& Fields);
    bool ResetSteps(std::int32_t Addr, std::int32_t Baud);
    bool ScanSteps(const std::vector<std::int32_t>& Bauds, std::int32_t From, std::int32_t To);
    // Opens the link, selects and reads the configuration data: their scale codes, none unless the
    // meter acknowledged the select (progress then AcknowledgedProgress) and the data decoded.
    std::optional<TMBusScaleCodes> ReadConfigData(std::int32_t Addr, std::int32_t Baud,
                                                  int AcknowledgedProgress);
    // UserBaudRate, the port opened, and a first clearing of both directions once it has settled.
    void OpenLink(std::int32_t Baud);
    // The telegram buffer of the link.
    std::span<std::uint8_t> Telegram() const { return FLink.Telegram(); }
    // One exchange: both directions cleared, the request of Length bytes built in the telegram
    // buffer sent, and Delay(WaitMs).
    void Exchange(std::int32_t Length, std::uint32_t WaitMs);
    // Ends the operation when the host asks for it (EAbort) or the port's device has failed.
    void StopWhenRequested();
    // True when the frame was decoded; a failure is shown, a frame without its marker is not.
    bool Decoded(const TMBusDecodeResult& Result);

    TMBusLink& FLink;
    TMeterOperationHost& FHost;
    TMBusState& FState;
    TPortFailure FPortFailure;
};
