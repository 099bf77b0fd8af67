// Validation and decoding of the meter's RSP_UD long frames in a received telegram: the frame
// search, the link-layer checks with their messages, the fixed header and the records of the
// configuration-data frame and of the user-data frame. The decoders are pure functions: they read
// the telegram they are given and return what they found, and the caller applies it (and keeps the
// scale codes and the error text, TMBusState).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// 1000 for code 0, 100 for code 1, 10 for code 2, 1 for every other code.
std::int32_t ScaleFactor(std::uint8_t code);
// The power of ten of ScaleFactor: 3, 2, 1 or 0.
std::int32_t ScaleDecimals(std::uint8_t code);

// Decimal scale codes of the flow values and of the pulse constant, as the configuration-data
// frame gives them: what the user data are scaled with.
struct TMBusScaleCodes {
    std::uint8_t FlowScaleCode = 0;
    std::uint8_t PulseScaleCode = 0;
};

// A read cursor over a received telegram. The readers take their bytes at ReadPos, least
// significant first, and advance ReadPos by their width. A read that would reach outside Telegram
// throws std::out_of_range and leaves ReadPos unchanged.
struct TTelegramCursor {
    std::span<const std::uint8_t> Telegram;
    std::int32_t ReadPos = 0;

    std::uint8_t ReadByte();
    std::uint16_t ReadWord();
    std::uint32_t ReadDWord();
    float ReadSingle();
    // 8-digit packed BCD, least significant digit pair first; half-bytes above 9 count as they are.
    std::uint32_t ReadBcd8();
    // Whether `count` bytes from ReadPos lie inside Telegram.
    bool Holds(std::int32_t count) const;
};

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

// Searches the frame in the cursor's telegram from index 0 and runs the link-layer checks in order. On
// success returns an empty message and leaves ReadPos at the frame's start; otherwise returns the
// message of the first failing check. `addr` is the "Addr" value the A field must equal; for
// MBusPointToPointAddr any A field passes. Reads nothing outside the telegram: a frame whose
// checksum or stop byte would lie beyond its end fails with MsgInvalidLField.
std::string_view CheckMBusResponse(TTelegramCursor& cursor, std::int32_t addr);

// What both decoders report besides their values.
struct TMBusDecodeResult {
    TMBusDecodeStatus Status = TMBusDecodeStatus::dsFailed;
    std::string_view Message; // set when Status is dsFailed
    // The A field of a frame that passed the link-layer checks, -1 otherwise: the address of the
    // meter that answered, "Addr" itself unless that is MBusPointToPointAddr.
    std::int32_t AnsweredAddr = -1;
    // Where the decoder stopped reading: the last frame start searched, the frame's start after a
    // failed check, the marker's offset without a marker, behind the last record otherwise.
    std::int32_t ReadPos = 0;
};

// The scale codes of a decoded frame; a base, so that they pass on as one value.
struct TMBusConfigData : TMBusDecodeResult, TMBusScaleCodes {};

// The decoders take the received telegram (the tool's whole buffer) and `addr`, the "Addr" value the
// answer must come from, and change nothing. The records are read at their fixed offsets whatever
// L says, so a frame shorter than its layout is decoded from the bytes behind it in the telegram;
// a telegram that ends before them fails with MsgInvalidLField (the tool's buffer always holds
// them).
//
// Decodes the configuration-data frame.
TMBusConfigData DecodeConfigFrame(std::span<const std::uint8_t> telegram, std::int32_t addr);

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

// Decodes the user-data frame with the scale codes of the configuration data. A flow value that is
// not finite or whose scaled value does not fit a 32-bit field fails the whole frame with
// MsgInvalidValue.
TMBusUserData DecodeUserFrame(std::span<const std::uint8_t> telegram, std::int32_t addr,
                              TMBusScaleCodes codes);

// A flow single scaled by ScaleFactor(code): the integer the exact product lies within the
// single's rounding error of (|p - round(p)| <= |p| * 2^-23), which the register write of that
// flow stores, otherwise the product truncated toward zero. False when the result is not finite
// or does not fit 32 bits signed.
bool ScaleFlow(float value, std::uint8_t code, std::int32_t& result);
