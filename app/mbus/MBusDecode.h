// Validation and decoding of the meter's RSP_UD long frames in TelegramBuf: the frame search, the
// link-layer checks with their messages, the fixed header and the records of the configuration-data
// frame and of the user-data frame. Nothing here touches a window: the decoders return what they
// found, and the caller applies it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Text of the last decoding failure (date and time followed by the message); empty at start.
extern std::string ErrorText;
// Decimal scale codes of the flow values and of the pulse constant, taken from the
// configuration-data frame. 0 at start.
extern std::uint8_t FlowScaleCode;
extern std::uint8_t PulseScaleCode;

// 1000 for code 0, 100 for code 1, 10 for code 2, 1 for every other code.
std::int32_t ScaleFactor(std::uint8_t code);
// The power of ten of ScaleFactor: 3, 2, 1 or 0.
std::int32_t ScaleDecimals(std::uint8_t code);

// Readers at ReadPos, least significant byte first; each advances ReadPos by its width. A read
// that would reach outside TelegramBuf throws std::out_of_range and leaves ReadPos unchanged.
std::uint8_t ReadByte();
std::uint16_t ReadWord();
std::uint32_t ReadDWord();
float ReadSingle();
// 8-digit packed BCD, least significant digit pair first; half-bytes above 9 count as they are.
std::uint32_t ReadBcd8();

// Failure messages, shown after the date and time.
inline constexpr std::string_view MsgInvalidResponse = " - Invalid response";
inline constexpr std::string_view MsgInvalidLField = " - Invalid LField";
inline constexpr std::string_view MsgInvalidChSum = " - Invalid ChSum";
inline constexpr std::string_view MsgInvalidEndChar = " - Invalid end char (0x16)";
inline constexpr std::string_view MsgUnsupportedCField = " - Unsupported CField";
inline constexpr std::string_view MsgInvalidAddr = " - Invalid Addr";
inline constexpr std::string_view MsgUnsupportedMode2 = " - Unsupported MBus Mode2";
inline constexpr std::string_view MsgInvalidValue = " - Invalid value";

// Frames start at index 0 to this one; anything later is not searched.
inline constexpr std::int32_t MBusMaxFrameStart = 13;

enum class TMBusDecodeStatus {
    dsDecoded,  // every check passed and every value converted
    dsNoMarker, // a valid frame without the FF marker at offset 25: nothing to take, no message
    dsFailed    // a check failed or a value cannot be converted: Message says which
};

// The address at which the one meter on a point-to-point line answers, whatever its own: it
// answers with its own address in the A field.
inline constexpr std::int32_t MBusPointToPointAddr = 254;

// Searches the frame in TelegramBuf and runs the link-layer checks in order. On success returns
// an empty message and leaves ReadPos at the frame's start; otherwise returns the message of the
// first failing check. `addr` is the "Addr" value the A field must equal; for
// MBusPointToPointAddr any A field passes.
std::string_view CheckMBusResponse(std::int32_t addr);

// What both decoders report besides their values.
struct TMBusDecodeResult {
    TMBusDecodeStatus Status = TMBusDecodeStatus::dsFailed;
    std::string_view Message; // set when Status is dsFailed
    // The A field of a frame that passed the link-layer checks, -1 otherwise: the address of the
    // meter that answered, "Addr" itself unless that is MBusPointToPointAddr.
    std::int32_t AnsweredAddr = -1;
};

struct TMBusConfigData : TMBusDecodeResult {
    std::uint8_t FlowScaleCode = 0;
    std::uint8_t PulseScaleCode = 0;
};

// Decodes the configuration-data frame. Changes nothing but ReadPos.
TMBusConfigData DecodeConfigFrame(std::int32_t addr);

struct TMBusUserData : TMBusDecodeResult {
    std::int32_t Q4mA = 0;  // "Q 4mA" in l/h
    std::int32_t Q20mA = 0; // "Q 20mA" in l/h
    // "Imp Out" in pulses per litre is ImpOutStored / 10^ImpOutDecimals: kept apart, so that
    // the display rounds the exact decimal value.
    float ImpOutStored = 0.0f;
    std::int32_t ImpOutDecimals = 0;
    std::int32_t Address = 0; // the meter's own address, 0 to 255
    std::int32_t Baud = 0;    // the meter's own baud rate, 0 to 25500
    bool TestEmptyTube = false;
    std::int32_t PulseWidth = 0; // the stored code, 0 to 255; the field clamps it to 250
};

// Decodes the user-data frame with the given scale codes. Changes nothing but ReadPos. A flow
// value that is not finite or whose scaled value does not fit a 32-bit field fails the whole
// frame with MsgInvalidValue.
TMBusUserData DecodeUserFrame(std::int32_t addr, std::uint8_t flowScaleCode, std::uint8_t pulseScaleCode);

// A flow single scaled by ScaleFactor(code): the integer the exact product lies within the
// single's rounding error of (|p - round(p)| <= |p| * 2^-23), which the register write of that
// flow stores, otherwise the product truncated toward zero. False when the result is not finite
// or does not fit 32 bits signed.
bool ScaleFlow(float value, std::uint8_t code, std::int32_t& result);
