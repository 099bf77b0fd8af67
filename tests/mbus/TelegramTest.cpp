#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <vector>

#include "MBusTelegram.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The first `length` bytes of `telegram`.
Bytes Sent(const TTelegramBuf& telegram, int length)
{
    return {telegram.begin(), telegram.begin() + length};
}

TEST(Telegram, RequestsAreBuiltByteForByte)
{
    TTelegramBuf t{};
    EXPECT_EQ(BuildSelectTelegram(t, 1, MBusSelectUserData), 11);
    EXPECT_EQ(Sent(t, 11), (Bytes{0x68, 0x05, 0x05, 0x68, 0x53, 0x01, 0x51, 0x0F, 0x02, 0xB6, 0x16}));

    EXPECT_EQ(BuildSelectTelegram(t, 1, MBusSelectConfigData), 11);
    EXPECT_EQ(Sent(t, 11), (Bytes{0x68, 0x05, 0x05, 0x68, 0x53, 0x01, 0x51, 0x0F, 0x01, 0xB5, 0x16}));

    EXPECT_EQ(BuildDataRequest(t, 1), 5);
    EXPECT_EQ(Sent(t, 5), (Bytes{0x10, 0x5B, 0x01, 0x5C, 0x16}));

    EXPECT_EQ(BuildRegisterWrite(t, 1, 0x20, 0), 16);
    EXPECT_EQ(Sent(t, 16), (Bytes{0x68, 0x0A, 0x0A, 0x68, 0x53, 0x01, 0x51, 0x04, 0xFF, 0x20, 0x00, 0x00,
                                  0x00, 0x00, 0xC8, 0x16}));
}

TEST(Telegram, ChecksumsWrapPastFF)
{
    TTelegramBuf t{};
    // 5B + FE = 0x159: the checksum keeps the low byte.
    BuildDataRequest(t, 0xFE);
    EXPECT_EQ(Sent(t, 5), (Bytes{0x10, 0x5B, 0xFE, 0x59, 0x16}));

    // 53 + FD + 51 + 0F + 02 = 0x1B2.
    BuildSelectTelegram(t, 0xFD, MBusSelectUserData);
    EXPECT_EQ(t[9], 0xB2);

    // 53 + 01 + 51 + 04 + FF + 22 + 00 + 00 + 7A + 44 = 0x288; value least significant byte first.
    BuildRegisterWrite(t, 1, 0x22, 0x447A0000u);
    EXPECT_EQ(Sent(t, 16), (Bytes{0x68, 0x0A, 0x0A, 0x68, 0x53, 0x01, 0x51, 0x04, 0xFF, 0x22, 0x00, 0x00,
                                  0x7A, 0x44, 0x88, 0x16}));
}

TEST(Telegram, AddressIsTheLowByteOfAddr)
{
    TTelegramBuf t{};
    BuildDataRequest(t, 0x1FE);
    EXPECT_EQ(t[2], 0xFE);
    BuildDataRequest(t, -1);
    EXPECT_EQ(t[2], 0xFF);
    EXPECT_EQ(t[3], 0x5A);
    BuildDataRequest(t, -256);
    EXPECT_EQ(t[2], 0x00);
}

TEST(Telegram, BufferKeepsWhatLiesBehindTheLastTelegram)
{
    TTelegramBuf t{};
    BuildRegisterWrite(t, 1, 0x24, 0xAABBCCDDu);
    BuildDataRequest(t, 1);
    // The short frame overwrote 5 bytes; the rest still holds the register write.
    EXPECT_EQ(t[9], 0x24);
    EXPECT_EQ(t[10], 0xDD);
    EXPECT_EQ(t[15], 0x16);
}

TEST(Telegram, AcknowledgementIsAFirstByteOfE5)
{
    TTelegramBuf t{};
    BuildSelectTelegram(t, 1, MBusSelectConfigData);
    EXPECT_FALSE(IsAcknowledged(t)); // silence leaves the request: 68
    t[0] = 0xE5;
    EXPECT_TRUE(IsAcknowledged(t));
}

// A builder writes only into the span it is given: one too short for its telegram is refused with
// nothing written; one of the telegram's length takes it whole.
TEST(Telegram, ABuilderNeverWritesBeyondItsSpan)
{
    const struct {
        int Length;
        int (*Build)(std::span<std::uint8_t>);
    } builders[] = {
        {SelectTelegramLength,
         [](std::span<std::uint8_t> t) { return BuildSelectTelegram(t, 1, MBusSelectUserData); }},
        {DataRequestLength, [](std::span<std::uint8_t> t) { return BuildDataRequest(t, 1); }},
        {RegisterWriteLength, [](std::span<std::uint8_t> t) { return BuildRegisterWrite(t, 1, 0x20, 1); }},
        {SndNkeLength, [](std::span<std::uint8_t> t) { return BuildSndNke(t, 1); }},
    };
    for (const auto& b : builders) {
        SCOPED_TRACE(b.Length);
        TTelegramBuf t;
        t.fill(0xAA);
        const auto room = static_cast<std::size_t>(b.Length);
        EXPECT_THROW(b.Build(std::span(t).first(room - 1)), std::out_of_range);
        EXPECT_EQ(Sent(t, TelegramBufSize), Bytes(TelegramBufSize, 0xAA));
        EXPECT_EQ(b.Build(std::span(t).first(room)), b.Length);
        EXPECT_EQ(t[room - 1], MBusStop);
        EXPECT_EQ(t[room], 0xAA);
    }
    EXPECT_FALSE(IsAcknowledged({}));
}

TEST(Telegram, AnEchoIsTheWholeRequestOrTheTailAPurgeLeftOfIt)
{
    const Bytes request{0x10, 0x5B, 0x01, 0x5C, 0x16};
    const auto echoOf = [&](const Bytes& received) { return MBusEchoLength(received, request); };
    EXPECT_EQ(echoOf({0x10, 0x5B, 0x01, 0x5C, 0x16, 0xE5}), 5u);
    EXPECT_EQ(echoOf({0x5C, 0x16, 0xE5}), 2u);
    EXPECT_EQ(echoOf({0x16}), 1u);
    // An answer, bytes that only start like the request or hold its tail further in: no echo.
    for (const Bytes& none : {Bytes{0xE5}, Bytes{0x68, 0x2A, 0x2A, 0x68}, Bytes{}, Bytes{0x10, 0x5B, 0x02},
                              Bytes{0xE5, 0x5C, 0x16}})
        EXPECT_EQ(echoOf(none), 0u);
    // The longest tail wins: with a checksum of 16 the stop byte alone matches too.
    EXPECT_EQ(MBusEchoLength(Bytes{0x16, 0x16, 0xE5}, Bytes{0x10, 0x5B, 0xBB, 0x16, 0x16}), 2u);
}

} // namespace
