#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "DecodeFrames.h"
#include "MBusDecode.h"
#include "MBusRegisters.h"
#include "MBusState.h"

using namespace decodetest;

namespace {

TEST(DecodeReaders, ReadLeastSignificantByteFirstAndAdvance)
{
    const Bytes bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x00, 0x00, 0x80, 0x3F};
    const TTelegramBuf telegram = Load(bytes);
    TTelegramCursor cursor{telegram};
    EXPECT_EQ(cursor.ReadByte(), 0x12);
    EXPECT_EQ(cursor.ReadWord(), 0x5634);
    EXPECT_EQ(cursor.ReadPos, 3);
    EXPECT_EQ(cursor.ReadDWord(), 0xDEBC9A78u);
    EXPECT_EQ(cursor.ReadPos, 7);
    cursor.ReadPos = 8;
    EXPECT_EQ(cursor.ReadSingle(), 1.0f);
    EXPECT_EQ(cursor.ReadPos, 12);
}

TEST(DecodeReaders, Bcd8TakesDigitPairsLowFirstAndKeepsHalfBytesAboveNine)
{
    const TTelegramBuf telegram = Load({0x78, 0x56, 0x34, 0x12, 0xFF, 0x0A, 0x00, 0xA0});
    TTelegramCursor cursor{telegram};
    EXPECT_EQ(cursor.ReadBcd8(), 12345678u);
    // FF -> 15*10+15; 0A -> 10*100; A0 -> 10*10 000 000.
    EXPECT_EQ(cursor.ReadBcd8(), 165u + 1000u + 100000000u);
    EXPECT_EQ(cursor.ReadPos, 8);
}

TEST(DecodeReaders, RefuseReadsOutsideTheBufferAndKeepTheCursor)
{
    const TTelegramBuf telegram = Load({});
    TTelegramCursor cursor{telegram, TelegramBufSize - 3};
    EXPECT_THROW(cursor.ReadDWord(), std::out_of_range);
    EXPECT_EQ(cursor.ReadPos, TelegramBufSize - 3);
    EXPECT_NO_THROW(cursor.ReadWord());
    EXPECT_NO_THROW(cursor.ReadByte());
    EXPECT_THROW(cursor.ReadByte(), std::out_of_range);
    cursor.ReadPos = -1;
    EXPECT_THROW(cursor.ReadByte(), std::out_of_range);
    cursor.ReadPos = std::numeric_limits<std::int32_t>::max() - 1;
    EXPECT_THROW(cursor.ReadBcd8(), std::out_of_range);
    EXPECT_THROW(cursor.ReadSingle(), std::out_of_range);
}

// Corruptions in check order; each test applies one check's fault together with every later
// one, so the message tells that the earliest failing check wins.
TEST(DecodeChecks, EveryCheckInOrderAndTheFirstFailingOneWins)
{
    struct Fault {
        std::string_view Message;
        void (*Apply)(Bytes&);
    };
    const Fault faults[] = {
        {MsgInvalidLField, [](Bytes& f) { f[2] ^= 0x01; }},
        {MsgInvalidChSum, [](Bytes& f) { f[4 + f[1]] ^= 0x40; }},
        {MsgInvalidEndChar, [](Bytes& f) { f[5 + f[1]] = 0x17; }},
        {MsgUnsupportedCField, [](Bytes& f) { f[4] = 0x09; }},
        {MsgInvalidAddr, [](Bytes& f) { f[5] = 2; }},
        {MsgUnsupportedMode2, [](Bytes& f) { f[6] = 0x76; }},
    };
    const int count = static_cast<int>(std::size(faults));
    for (int first = 0; first < count; ++first) {
        Bytes frame = UserFrame({});
        // Content faults first (they are resealed), then the link-layer ones on top.
        for (int k = count - 1; k >= first; --k) {
            faults[k].Apply(frame);
            if (k >= 3)
                Reseal(frame);
        }
        const TTelegramBuf telegram = Load(frame);
        const TMBusUserData user = DecodeUserFrame(telegram, 1, {});
        EXPECT_EQ(user.Status, TMBusDecodeStatus::dsFailed) << faults[first].Message;
        EXPECT_EQ(user.Message, faults[first].Message);
        EXPECT_EQ(DecodeConfigFrame(telegram, 1).Message, faults[first].Message);
    }
}

TEST(DecodeChecks, AcceptedControlAndCiFieldsAndAddressComparedAsIntegers)
{
    for (std::uint8_t c : {0x08, 0x18, 0x28, 0x38, 0xF8}) {
        Bytes frame = UserFrame({});
        frame[4] = c;
        Reseal(frame);
        EXPECT_EQ(DecodeUserFrame(Load(frame), 1, {}).Status, TMBusDecodeStatus::dsDecoded) << int(c);
    }
    for (std::uint8_t ci : {0x72, 0x73, 0x70, 0xFB}) {
        Bytes frame = UserFrame({});
        frame[6] = ci;
        Reseal(frame);
        EXPECT_EQ(DecodeUserFrame(Load(frame), 1, {}).Status, TMBusDecodeStatus::dsDecoded) << int(ci);
    }
    const TTelegramBuf telegram = Load(UserFrame({}, 0xFF));
    EXPECT_EQ(DecodeUserFrame(telegram, 255, {}).Status, TMBusDecodeStatus::dsDecoded);
    // "Addr" is not cut to a byte for the comparison.
    EXPECT_EQ(DecodeUserFrame(telegram, -1, {}).Message, MsgInvalidAddr);
    EXPECT_EQ(DecodeUserFrame(Load(UserFrame({}, 1)), 257, {}).Message, MsgInvalidAddr);
}

// Addr 254 takes the answer of whichever meter is on the line, and tells its address; every other
// Addr takes only its own.
TEST(DecodeChecks, Addr254TakesAnyMetersAnswerAndOtherAddrsOnlyTheirOwn)
{
    const struct {
        std::int32_t Addr;
        std::uint8_t A; // in the answer
        bool Taken;
    } cases[] = {
        {254, 9, true},  {254, 0, true},    {254, 250, true}, {254, 254, true},  {254, 255, true},
        {9, 9, true},    {0, 0, true},      {9, 254, false},  {9, 8, false},     {253, 9, false},
        {255, 9, false}, {510, 254, false}, {-2, 254, false}, {250, 254, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("Addr " + std::to_string(c.Addr) + ", A " + std::to_string(c.A));
        const TMBusConfigData config = DecodeConfigFrame(Load(ConfigFrame(0x21u, c.A)), c.Addr);
        const TMBusUserData user = DecodeUserFrame(Load(UserFrame({}, c.A)), c.Addr, {});
        for (const TMBusDecodeResult* result :
             {static_cast<const TMBusDecodeResult*>(&config), static_cast<const TMBusDecodeResult*>(&user)}) {
            EXPECT_EQ(result->Status, c.Taken ? TMBusDecodeStatus::dsDecoded : TMBusDecodeStatus::dsFailed);
            EXPECT_EQ(result->Message, c.Taken ? std::string_view() : MsgInvalidAddr);
            EXPECT_EQ(result->AnsweredAddr, c.Taken ? c.A : -1);
        }
        if (c.Taken) {
            EXPECT_EQ(user.Address, 5); // the values are decoded as for the meter's own address
        }
    }
}

TEST(DecodeSearch, FindsFramesAfterUpTo13NoiseBytesOnly)
{
    const Bytes frame = UserFrame({});
    for (int noise = 0; noise <= 14; ++noise) {
        const TMBusUserData user = DecodeUserFrame(Load(frame, noise, 0x55), 1, {});
        if (noise <= 13) {
            EXPECT_EQ(user.Status, TMBusDecodeStatus::dsDecoded) << noise;
            EXPECT_EQ(user.Address, 5) << noise;
        } else {
            EXPECT_EQ(user.Message, MsgInvalidResponse);
            EXPECT_EQ(user.ReadPos, 13);
        }
    }
}

TEST(DecodeSearch, NeedsBothStartBytesAndTheFirstMatchWins)
{
    const Bytes frame = UserFrame({});
    TTelegramBuf telegram = Load(frame, 6, 0x00);
    telegram[1] = 0x68; // 68 without a second 68 three bytes on: skipped
    const TMBusUserData user = DecodeUserFrame(telegram, 1, {});
    EXPECT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.ReadPos, 6 + 46); // behind the last record

    // A 68 .. 68 pattern in the noise is taken for the frame.
    telegram[0] = 0x68;
    telegram[3] = 0x68;
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {}).Message, MsgInvalidLField);
}

TEST(DecodeBounds, ChecksumAndStopByteMustLieInsideTheBuffer)
{
    // At index 13 a frame may be 85 long at most: its stop byte is then the buffer's last.
    Bytes records(85 - 22, 0x00);
    Bytes frame = LongFrame(records);
    ASSERT_EQ(frame[1], 85);
    ASSERT_EQ(frame.size(), 91u);
    EXPECT_EQ(DecodeConfigFrame(Load(frame, 13), 1).Status, TMBusDecodeStatus::dsDecoded);

    records.push_back(0x00);
    frame = LongFrame(records);
    const TTelegramBuf telegram = Load(frame, 13);
    EXPECT_EQ(DecodeConfigFrame(telegram, 1).Message, MsgInvalidLField);
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {}).Message, MsgInvalidLField);

    // Largest L at index 0, whatever the buffer holds.
    for (std::uint8_t fill : {0x00, 0x16, 0xFF}) {
        const TTelegramBuf largest = Load({0x68, 0xFF, 0xFF, 0x68, 0x08, 0x01, 0x72}, 0, fill);
        EXPECT_EQ(DecodeUserFrame(largest, 1, {}).Message, MsgInvalidLField);
    }
}

// A telegram that is no whole buffer, as a caller other than the tool may hand in: the search,
// the checks and the records stay inside it, and a frame whose records it does not hold fails as
// one whose checksum lies beyond it does.
TEST(DecodeBounds, ATelegramShorterThanTheBufferIsNeverReadBeyond)
{
    const Bytes user = UserFrame({});        // 48 bytes, the records end at 46
    const Bytes config = ConfigFrame(0x21u); // 64 bytes, the records end at 62
    const struct {
        const char* Name;
        Bytes Telegram;
        std::string_view AsUser, AsConfig; // the message, empty when decoded
    } cases[] = {
        {"user frame", user, {}, MsgInvalidLField},
        {"configuration frame", config, {}, {}},
        {"stop byte missing", Bytes(user.begin(), user.end() - 1), MsgInvalidLField, MsgInvalidLField},
        {"L 3 alone",
         {0x68, 0x03, 0x03, 0x68, 0x08, 0x01, 0x72, 0x7B, 0x16},
         MsgInvalidLField,
         MsgInvalidLField},
        {"start bytes only", {0x68, 0x03, 0x03, 0x68}, MsgInvalidLField, MsgInvalidLField},
        {"three bytes", {0x68, 0x03, 0x03}, MsgInvalidResponse, MsgInvalidResponse},
        {"empty", {}, MsgInvalidResponse, MsgInvalidResponse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TMBusUserData read = DecodeUserFrame(c.Telegram, 1, {});
        EXPECT_EQ(read.Message, c.AsUser);
        EXPECT_EQ(read.Status, c.AsUser.empty() ? TMBusDecodeStatus::dsDecoded : TMBusDecodeStatus::dsFailed);
        const TMBusConfigData codes = DecodeConfigFrame(c.Telegram, 1);
        EXPECT_EQ(codes.Message, c.AsConfig);
        EXPECT_EQ(codes.Status,
                  c.AsConfig.empty() ? TMBusDecodeStatus::dsDecoded : TMBusDecodeStatus::dsFailed);
    }
}

TEST(DecodeBounds, ShortFrameTakesItsRecordsFromTheBytesBehindIt)
{
    // L = 3: the checksum covers only C, A and CI, and the records come from older content.
    Bytes old = UserFrame({.Q4 = 7.0f, .Config = 0x00000009u});
    TTelegramBuf telegram = Load(old);
    const Bytes shortFrame{0x68, 0x03, 0x03, 0x68, 0x08, 0x01, 0x72, 0x7B, 0x16};
    std::copy(shortFrame.begin(), shortFrame.end(), telegram.begin());
    telegram[25] = 0xFF;
    const TMBusUserData user = DecodeUserFrame(telegram, 1, {.FlowScaleCode = 3});
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, 7);
    EXPECT_EQ(user.Address, 9);
}

TEST(DecodeUserData, FlowIsTruncatedNotRounded)
{
    TMBusUserData user = DecodeUserFrame(Load(UserFrame({.Q4 = 0.129f, .Q20 = 0.125f})), 1, {});
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, 129); // 0.129f is what a write of 129 stores
    EXPECT_EQ(user.Q20mA, 125);

    const TTelegramBuf telegram = Load(UserFrame({.Q4 = -12.75f, .Q20 = 123.456f}));
    user = DecodeUserFrame(telegram, 1, {.FlowScaleCode = 1});
    EXPECT_EQ(user.Q4mA, -1275);  // toward zero
    EXPECT_EQ(user.Q20mA, 12345); // 123.456 * 100 = 12345.6
    user = DecodeUserFrame(telegram, 1, {.FlowScaleCode = 2});
    EXPECT_EQ(user.Q20mA, 1234);
    user = DecodeUserFrame(telegram, 1, {.FlowScaleCode = 9});
    EXPECT_EQ(user.Q20mA, 123);
}

// What a write of a flow stores reads back as that flow, for every flow a single can tell from its
// neighbours at every scale code (|n| < 2^23); a single that holds a real fraction is still
// truncated toward zero.
TEST(DecodeUserData, EveryFlowReadsBackAsWrittenAndARealFractionIsTruncated)
{
    constexpr std::int32_t kLimit = 1 << 23;
    for (std::uint8_t code = 0; code <= 3; ++code) {
        std::int64_t wrong = 0;
        std::int32_t first = 0;
        std::int32_t firstRead = 0;
        for (std::int32_t n = -kLimit + 1; n < kLimit; ++n) {
            std::int32_t read = 0;
            if (ScaleFlow(std::bit_cast<float>(FlowRegister(n, code)), code, read) && read == n)
                continue;
            if (wrong++ == 0) {
                first = n;
                firstRead = read;
            }
        }
        EXPECT_EQ(wrong, 0) << "scale code " << int(code) << ": " << first << " reads back as " << firstRead;
    }

    const struct {
        float Stored;
        std::uint8_t Code;
        std::int32_t Shown;
    } fractions[] = {
        {0.1197f, 0, 119}, {0.125f, 0, 125},     {0.12345f, 0, 123},   {-0.1197f, 0, -119},
        {0.9999f, 0, 999}, {123.456f, 1, 12345}, {-12.755f, 1, -1275}, {1234.56f, 2, 12345},
        {0.05f, 2, 0},     {2.5f, 3, 2},         {-2.5f, 3, -2},       {1000.75f, 3, 1000},
    };
    for (const auto& f : fractions) {
        std::int32_t read = 0;
        ASSERT_TRUE(ScaleFlow(f.Stored, f.Code, read)) << f.Stored;
        EXPECT_EQ(read, f.Shown) << f.Stored << " at scale code " << int(f.Code);
    }
}

TEST(DecodeUserData, PulseConstantKeepsTheStoredSingleAndTheDecimalsOfItsCode)
{
    const TTelegramBuf telegram = Load(UserFrame({.Pulses = 2500.0f}));
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {}).ImpOutStored, 2500.0f);
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {}).ImpOutDecimals, 3);
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {.PulseScaleCode = 1}).ImpOutDecimals, 2);
    EXPECT_EQ(DecodeUserFrame(telegram, 1, {.PulseScaleCode = 2}).ImpOutDecimals, 1);
    for (std::uint8_t code : {3, 4, 15, 255})
        EXPECT_EQ(DecodeUserFrame(telegram, 1, {.PulseScaleCode = code}).ImpOutDecimals, 0) << int(code);
}

TEST(DecodeUserData, ConfigurationWordFillsAddressBaudTestAndPulseWidth)
{
    // 05 0C 01 0A in frame order
    TMBusUserData user = DecodeUserFrame(Load(UserFrame({.Config = 0x0A010C05u})), 1, {});
    EXPECT_EQ(user.Address, 5);
    EXPECT_EQ(user.Baud, 1200);
    EXPECT_TRUE(user.TestEmptyTube);
    EXPECT_EQ(user.PulseWidth, 10);

    user = DecodeUserFrame(Load(UserFrame({.Config = 0xFF00FFFEu})), 1, {});
    EXPECT_EQ(user.Address, 254);
    EXPECT_EQ(user.Baud, 25500);
    EXPECT_FALSE(user.TestEmptyTube);
    EXPECT_EQ(user.PulseWidth, 255);

    EXPECT_TRUE(DecodeUserFrame(Load(UserFrame({.Config = 0x00800000u})), 1, {}).TestEmptyTube);
}

TEST(DecodeUserData, UnconvertibleFlowFailsTheWholeFrame)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float Q4, Q20;
        std::uint8_t Code;
    };
    const Case bad[] = {
        {nan, 1.0f, 0},
        {1.0f, nan, 0},
        {inf, 1.0f, 3},
        {1.0f, -inf, 3},
        {2147483648.0f, 1.0f, 3},  // 2^31: one past the field
        {1.0f, -2147483904.0f, 3}, // the next single below -2^31
        {2147484.0f, 1.0f, 0},     // 2 147 484 000 after scaling
        {3.0e38f, 1.0f, 0},        // 3e41: beyond 64 bits as well
    };
    for (const Case& c : bad) {
        const TMBusUserData user =
            DecodeUserFrame(Load(UserFrame({.Q4 = c.Q4, .Q20 = c.Q20})), 1, {c.Code, 0});
        EXPECT_EQ(user.Status, TMBusDecodeStatus::dsFailed) << c.Q4 << " " << c.Q20;
        EXPECT_EQ(user.Message, MsgInvalidValue);
    }
    // The extremes that still fit.
    const TMBusUserData user = DecodeUserFrame(Load(UserFrame({.Q4 = -2147483648.0f, .Q20 = 2147483520.0f})),
                                               1, {.FlowScaleCode = 3});
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(user.Q20mA, 2147483520);
    // -0.899999976: what a write of -900 stores
    EXPECT_EQ(DecodeUserFrame(Load(UserFrame({.Q4 = -0.9f})), 1, {}).Q4mA, -900);
}

TEST(DecodeConfigData, ScaleWordGivesBothCodes)
{
    TMBusConfigData config = DecodeConfigFrame(Load(ConfigFrame(0x21u)), 1);
    ASSERT_EQ(config.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(config.PulseScaleCode, 1);
    EXPECT_EQ(config.FlowScaleCode, 2);
    EXPECT_EQ(config.ReadPos, 62);

    config = DecodeConfigFrame(Load(ConfigFrame(0xABCDEF3Cu)), 1); // bits 8-31 are not used
    EXPECT_EQ(config.PulseScaleCode, 0x0C);
    EXPECT_EQ(config.FlowScaleCode, 3);
}

TEST(DecodeMarker, MissingFFMarkerDecodesNothing)
{
    Bytes frame = UserFrame({});
    frame[25] = 0xFE;
    Reseal(frame);
    const TMBusUserData user = DecodeUserFrame(Load(frame), 1, {});
    EXPECT_EQ(user.Status, TMBusDecodeStatus::dsNoMarker);
    EXPECT_TRUE(user.Message.empty());
    EXPECT_EQ(user.ReadPos, 25);

    frame = ConfigFrame(0x21u);
    frame[25] = 0x00;
    Reseal(frame);
    EXPECT_EQ(DecodeConfigFrame(Load(frame), 1).Status, TMBusDecodeStatus::dsNoMarker);
}

// The scale codes and the error text kept between operations change only where the operations
// apply a decoder's result.
TEST(DecodeGlobals, DecodersLeaveScaleCodesAndErrorTextAlone)
{
    TMBusState state{.ScaleCodes = {.FlowScaleCode = 7, .PulseScaleCode = 8}, .ErrorText = "earlier"};
    state.TelegramBuf = Load(ConfigFrame(0x21u));
    ASSERT_EQ(DecodeConfigFrame(state.TelegramBuf, 1).Status, TMBusDecodeStatus::dsDecoded);
    state.TelegramBuf = Load(UserFrame({.Q4 = std::numeric_limits<float>::quiet_NaN()}));
    ASSERT_EQ(DecodeUserFrame(state.TelegramBuf, 1, state.ScaleCodes).Status, TMBusDecodeStatus::dsFailed);
    EXPECT_EQ(state.ScaleCodes.FlowScaleCode, 7);
    EXPECT_EQ(state.ScaleCodes.PulseScaleCode, 8);
    EXPECT_EQ(state.ErrorText, "earlier");
}

} // namespace
