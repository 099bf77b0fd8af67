#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "DecodeFrames.h"
#include "MBusDecode.h"
#include "MBusRegisters.h"

using namespace decodetest;

namespace {

TEST(DecodeReaders, ReadLeastSignificantByteFirstAndAdvance)
{
    const Bytes bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x00, 0x00, 0x80, 0x3F};
    Load(bytes);
    ReadPos = 0;
    EXPECT_EQ(ReadByte(), 0x12);
    EXPECT_EQ(ReadWord(), 0x5634);
    EXPECT_EQ(ReadPos, 3);
    EXPECT_EQ(ReadDWord(), 0xDEBC9A78u);
    EXPECT_EQ(ReadPos, 7);
    ReadPos = 8;
    EXPECT_EQ(ReadSingle(), 1.0f);
    EXPECT_EQ(ReadPos, 12);
}

TEST(DecodeReaders, Bcd8TakesDigitPairsLowFirstAndKeepsHalfBytesAboveNine)
{
    Load({0x78, 0x56, 0x34, 0x12, 0xFF, 0x0A, 0x00, 0xA0});
    ReadPos = 0;
    EXPECT_EQ(ReadBcd8(), 12345678u);
    // FF -> 15*10+15; 0A -> 10*100; A0 -> 10*10 000 000.
    EXPECT_EQ(ReadBcd8(), 165u + 1000u + 100000000u);
    EXPECT_EQ(ReadPos, 8);
}

TEST(DecodeReaders, RefuseReadsOutsideTheBufferAndKeepTheCursor)
{
    Load({});
    ReadPos = TelegramBufSize - 3;
    EXPECT_THROW(ReadDWord(), std::out_of_range);
    EXPECT_EQ(ReadPos, TelegramBufSize - 3);
    EXPECT_NO_THROW(ReadWord());
    EXPECT_NO_THROW(ReadByte());
    EXPECT_THROW(ReadByte(), std::out_of_range);
    ReadPos = -1;
    EXPECT_THROW(ReadByte(), std::out_of_range);
    ReadPos = std::numeric_limits<std::int32_t>::max() - 1;
    EXPECT_THROW(ReadBcd8(), std::out_of_range);
    EXPECT_THROW(ReadSingle(), std::out_of_range);
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
        Load(frame);
        const TMBusUserData user = DecodeUserFrame(1, 0, 0);
        EXPECT_EQ(user.Status, TMBusDecodeStatus::dsFailed) << faults[first].Message;
        EXPECT_EQ(user.Message, faults[first].Message);
        EXPECT_EQ(DecodeConfigFrame(1).Message, faults[first].Message);
    }
}

TEST(DecodeChecks, AcceptedControlAndCiFieldsAndAddressComparedAsIntegers)
{
    for (std::uint8_t c : {0x08, 0x18, 0x28, 0x38, 0xF8}) {
        Bytes frame = UserFrame({});
        frame[4] = c;
        Reseal(frame);
        Load(frame);
        EXPECT_EQ(DecodeUserFrame(1, 0, 0).Status, TMBusDecodeStatus::dsDecoded) << int(c);
    }
    for (std::uint8_t ci : {0x72, 0x73, 0x70, 0xFB}) {
        Bytes frame = UserFrame({});
        frame[6] = ci;
        Reseal(frame);
        Load(frame);
        EXPECT_EQ(DecodeUserFrame(1, 0, 0).Status, TMBusDecodeStatus::dsDecoded) << int(ci);
    }
    Bytes frame = UserFrame({}, 0xFF);
    Load(frame);
    EXPECT_EQ(DecodeUserFrame(255, 0, 0).Status, TMBusDecodeStatus::dsDecoded);
    // "Addr" is not cut to a byte for the comparison.
    EXPECT_EQ(DecodeUserFrame(-1, 0, 0).Message, MsgInvalidAddr);
    Load(UserFrame({}, 1));
    EXPECT_EQ(DecodeUserFrame(257, 0, 0).Message, MsgInvalidAddr);
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
        Load(ConfigFrame(0x21u, c.A));
        const TMBusConfigData config = DecodeConfigFrame(c.Addr);
        Load(UserFrame({}, c.A));
        const TMBusUserData user = DecodeUserFrame(c.Addr, 0, 0);
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
        Load(frame, noise, 0x55);
        const TMBusUserData user = DecodeUserFrame(1, 0, 0);
        if (noise <= 13) {
            EXPECT_EQ(user.Status, TMBusDecodeStatus::dsDecoded) << noise;
            EXPECT_EQ(user.Address, 5) << noise;
        } else {
            EXPECT_EQ(user.Message, MsgInvalidResponse);
            EXPECT_EQ(ReadPos, 13);
        }
    }
}

TEST(DecodeSearch, NeedsBothStartBytesAndTheFirstMatchWins)
{
    const Bytes frame = UserFrame({});
    Load(frame, 6, 0x00);
    TelegramBuf[1] = 0x68; // 68 without a second 68 three bytes on: skipped
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(ReadPos, 6 + 46); // behind the last record

    // A 68 .. 68 pattern in the noise is taken for the frame.
    TelegramBuf[0] = 0x68;
    TelegramBuf[3] = 0x68;
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).Message, MsgInvalidLField);
}

TEST(DecodeBounds, ChecksumAndStopByteMustLieInsideTheBuffer)
{
    // At index 13 a frame may be 85 long at most: its stop byte is then the buffer's last.
    Bytes records(85 - 22, 0x00);
    Bytes frame = LongFrame(records);
    ASSERT_EQ(frame[1], 85);
    ASSERT_EQ(frame.size(), 91u);
    Load(frame, 13);
    EXPECT_EQ(DecodeConfigFrame(1).Status, TMBusDecodeStatus::dsDecoded);

    records.push_back(0x00);
    frame = LongFrame(records);
    Load(frame, 13);
    EXPECT_EQ(DecodeConfigFrame(1).Message, MsgInvalidLField);
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).Message, MsgInvalidLField);

    // Largest L at index 0, whatever the buffer holds.
    for (std::uint8_t fill : {0x00, 0x16, 0xFF}) {
        Load({0x68, 0xFF, 0xFF, 0x68, 0x08, 0x01, 0x72}, 0, fill);
        EXPECT_EQ(DecodeUserFrame(1, 0, 0).Message, MsgInvalidLField);
    }
}

TEST(DecodeBounds, ShortFrameTakesItsRecordsFromTheBytesBehindIt)
{
    // L = 3: the checksum covers only C, A and CI, and the records come from older content.
    Bytes old = UserFrame({.Q4 = 7.0f, .Config = 0x00000009u});
    Load(old);
    const Bytes shortFrame{0x68, 0x03, 0x03, 0x68, 0x08, 0x01, 0x72, 0x7B, 0x16};
    std::copy(shortFrame.begin(), shortFrame.end(), TelegramBuf);
    TelegramBuf[25] = 0xFF;
    const TMBusUserData user = DecodeUserFrame(1, 3, 0);
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, 7);
    EXPECT_EQ(user.Address, 9);
}

TEST(DecodeUserData, FlowIsTruncatedNotRounded)
{
    Load(UserFrame({.Q4 = 0.129f, .Q20 = 0.125f}));
    TMBusUserData user = DecodeUserFrame(1, 0, 0);
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, 129); // 0.129f is what a write of 129 stores
    EXPECT_EQ(user.Q20mA, 125);

    Load(UserFrame({.Q4 = -12.75f, .Q20 = 123.456f}));
    user = DecodeUserFrame(1, 1, 0);
    EXPECT_EQ(user.Q4mA, -1275);  // toward zero
    EXPECT_EQ(user.Q20mA, 12345); // 123.456 * 100 = 12345.6
    user = DecodeUserFrame(1, 2, 0);
    EXPECT_EQ(user.Q20mA, 1234);
    user = DecodeUserFrame(1, 9, 0);
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
    Load(UserFrame({.Pulses = 2500.0f}));
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).ImpOutStored, 2500.0f);
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).ImpOutDecimals, 3);
    EXPECT_EQ(DecodeUserFrame(1, 0, 1).ImpOutDecimals, 2);
    EXPECT_EQ(DecodeUserFrame(1, 0, 2).ImpOutDecimals, 1);
    for (std::uint8_t code : {3, 4, 15, 255})
        EXPECT_EQ(DecodeUserFrame(1, 0, code).ImpOutDecimals, 0) << int(code);
}

TEST(DecodeUserData, ConfigurationWordFillsAddressBaudTestAndPulseWidth)
{
    Load(UserFrame({.Config = 0x0A010C05u})); // 05 0C 01 0A in frame order
    TMBusUserData user = DecodeUserFrame(1, 0, 0);
    EXPECT_EQ(user.Address, 5);
    EXPECT_EQ(user.Baud, 1200);
    EXPECT_TRUE(user.TestEmptyTube);
    EXPECT_EQ(user.PulseWidth, 10);

    Load(UserFrame({.Config = 0xFF00FFFEu}));
    user = DecodeUserFrame(1, 0, 0);
    EXPECT_EQ(user.Address, 254);
    EXPECT_EQ(user.Baud, 25500);
    EXPECT_FALSE(user.TestEmptyTube);
    EXPECT_EQ(user.PulseWidth, 255);

    Load(UserFrame({.Config = 0x00800000u}));
    EXPECT_TRUE(DecodeUserFrame(1, 0, 0).TestEmptyTube);
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
        Load(UserFrame({.Q4 = c.Q4, .Q20 = c.Q20}));
        const TMBusUserData user = DecodeUserFrame(1, c.Code, 0);
        EXPECT_EQ(user.Status, TMBusDecodeStatus::dsFailed) << c.Q4 << " " << c.Q20;
        EXPECT_EQ(user.Message, MsgInvalidValue);
    }
    // The extremes that still fit.
    Load(UserFrame({.Q4 = -2147483648.0f, .Q20 = 2147483520.0f}));
    const TMBusUserData user = DecodeUserFrame(1, 3, 0);
    ASSERT_EQ(user.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(user.Q4mA, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(user.Q20mA, 2147483520);
    Load(UserFrame({.Q4 = -0.9f}));
    EXPECT_EQ(DecodeUserFrame(1, 0, 0).Q4mA, -900); // -0.899999976: what a write of -900 stores
}

TEST(DecodeConfigData, ScaleWordGivesBothCodes)
{
    Load(ConfigFrame(0x21u));
    TMBusConfigData config = DecodeConfigFrame(1);
    ASSERT_EQ(config.Status, TMBusDecodeStatus::dsDecoded);
    EXPECT_EQ(config.PulseScaleCode, 1);
    EXPECT_EQ(config.FlowScaleCode, 2);
    EXPECT_EQ(ReadPos, 62);

    Load(ConfigFrame(0xABCDEF3Cu)); // bits 8-31 are not used
    config = DecodeConfigFrame(1);
    EXPECT_EQ(config.PulseScaleCode, 0x0C);
    EXPECT_EQ(config.FlowScaleCode, 3);
}

TEST(DecodeMarker, MissingFFMarkerDecodesNothing)
{
    Bytes frame = UserFrame({});
    frame[25] = 0xFE;
    Reseal(frame);
    Load(frame);
    const TMBusUserData user = DecodeUserFrame(1, 0, 0);
    EXPECT_EQ(user.Status, TMBusDecodeStatus::dsNoMarker);
    EXPECT_TRUE(user.Message.empty());
    EXPECT_EQ(ReadPos, 25);

    frame = ConfigFrame(0x21u);
    frame[25] = 0x00;
    Reseal(frame);
    Load(frame);
    EXPECT_EQ(DecodeConfigFrame(1).Status, TMBusDecodeStatus::dsNoMarker);
}

TEST(DecodeGlobals, DecodersLeaveScaleCodesAndErrorTextAlone)
{
    FlowScaleCode = 7;
    PulseScaleCode = 8;
    ErrorText = "earlier";
    Load(ConfigFrame(0x21u));
    ASSERT_EQ(DecodeConfigFrame(1).Status, TMBusDecodeStatus::dsDecoded);
    Load(UserFrame({.Q4 = std::numeric_limits<float>::quiet_NaN()}));
    ASSERT_EQ(DecodeUserFrame(1, 0, 0).Status, TMBusDecodeStatus::dsFailed);
    EXPECT_EQ(FlowScaleCode, 7);
    EXPECT_EQ(PulseScaleCode, 8);
    EXPECT_EQ(ErrorText, "earlier");
}

} // namespace
