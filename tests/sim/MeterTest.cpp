// The meter without a line: its frames, its answers to each telegram, the link-layer reader, the
// fault shaping and the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <type_traits>

#include "MBusDecode.h"
#include "MBusTelegram.h"
#include "Meter.h"
#include "MeterBus.h"
#include "MeterCommandLine.h"
#include "MeterFaults.h"
#include "MeterFrames.h"
#include "SimTestSupport.h"

namespace {

using namespace std::chrono_literals;

TMBusTelegram Heard(const TBytes& bytes)
{
    TMBusFrameReader reader;
    auto telegrams = reader.Feed(bytes.data(), bytes.size(), TMeterClock::now(), 50ms);
    EXPECT_EQ(telegrams.size(), 1u);
    return telegrams.empty() ? TMBusTelegram{} : telegrams.front();
}

// The request a builder of the tool writes, with the builder's arguments behind the telegram.
template <typename... Params>
TBytes Built(int (*build)(std::span<std::uint8_t>, Params...), std::type_identity_t<Params>... args)
{
    TTelegramBuf telegram{};
    return {telegram.begin(), telegram.begin() + build(telegram, args...)};
}

// A standard master's reading of a variable-data response (CI 72): the link layer, then the data
// records behind the fixed header up to the manufacturer-specific data.
struct TWalk {
    std::vector<std::pair<std::uint8_t, std::uint64_t>> Records; // VIF and value
    std::size_t ManufacturerData = 0;                            // offset of its first byte
};

TWalk WalkVariableData(const TBytes& f)
{
    TWalk walk;
    const std::size_t length = f[1];
    EXPECT_TRUE(f[0] == 0x68 && f[2] == length && f[3] == 0x68 && f.size() == length + 6 && f.back() == 0x16);
    EXPECT_EQ(f[length + 4], MBusChecksum(std::span(f).subspan(4, length)));
    EXPECT_EQ(f[4], 0x08);
    EXPECT_EQ(f[6], 0x72);
    static constexpr int kDataLength[16] = {0, 1, 2, 3, 4, 4, 6, 8, -1, 1, 2, 3, 4, -1, 6, -1};
    std::size_t i = 19;
    while (i < length + 4) {
        const std::uint8_t dif = f[i++];
        if (dif == 0x0F || dif == 0x1F) {
            walk.ManufacturerData = i;
            break;
        }
        while (f[i - 1] & 0x80) // DIFEs
            ++i;
        const std::uint8_t vif = f[i++];
        while (f[i - 1] & 0x80) // VIFEs
            ++i;
        const int n = kDataLength[dif & 0x0F];
        EXPECT_GE(n, 0) << "DIF " << int(dif);
        std::uint64_t value = 0;
        for (int k = n - 1; k >= 0; --k)
            value = value << 8 | f[i + static_cast<std::size_t>(k)];
        walk.Records.emplace_back(vif, value);
        i += static_cast<std::size_t>(std::max(n, 0));
    }
    EXPECT_LE(i, length + 4);
    return walk;
}

// The tool's telegram buffer with `frame` received into it.
TTelegramBuf Received(const TBytes& frame)
{
    TTelegramBuf telegram{};
    std::copy_n(frame.begin(), std::min(frame.size(), telegram.size()), telegram.begin());
    return telegram;
}

TEST(MeterFrames, AreVariableDataResponsesThatTheToolDecodesToTheHeldRegisters)
{
    TMeterSettings settings;
    settings.Address = 7;
    settings.Baud = 9600;
    settings.FlowScaleCode = 2;
    settings.PulseScaleCode = 1;
    settings.Q4mA = 150;
    settings.Q20mA = 2500;
    settings.ImpOut = 2.5;
    settings.TestEmptyTube = true;
    settings.PulseWidth = 30;
    settings.Volume = 0xFEDCBA; // the widest the volume record holds
    const TMeterState state(settings);
    const TBytes config = BuildConfigDataFrame(state, 9);
    const TBytes user = BuildUserDataFrame(state, 9);
    ASSERT_EQ(config.size(), 64u);
    ASSERT_EQ(user.size(), 48u);

    for (const TBytes* frame : {&config, &user}) {
        const TWalk walk = WalkVariableData(*frame);
        ASSERT_EQ(walk.Records.size(), 1u);
        EXPECT_EQ(walk.Records[0].first, 0x13); // volume in litres
        EXPECT_EQ(walk.Records[0].second, 0xFEDCBAu);
        EXPECT_EQ(walk.ManufacturerData, 25u);
        EXPECT_EQ((*frame)[15], 9); // access number
    }

    const TMBusConfigData codes = DecodeConfigFrame(Received(config), 7);
    ASSERT_EQ(codes.Status, TMBusDecodeStatus::dsDecoded) << codes.Message;
    EXPECT_EQ(codes.FlowScaleCode, 2);
    EXPECT_EQ(codes.PulseScaleCode, 1);

    const TMBusUserData data = DecodeUserFrame(Received(user), 7, codes);
    ASSERT_EQ(data.Status, TMBusDecodeStatus::dsDecoded) << data.Message;
    EXPECT_EQ(data.Q4mA, 150);
    EXPECT_EQ(data.Q20mA, 2500);
    EXPECT_FLOAT_EQ(data.ImpOutStored, 250.0f); // 2.5 pulses per litre at pulse code 1
    EXPECT_EQ(data.ImpOutDecimals, 2);
    EXPECT_EQ(data.Address, 7);
    EXPECT_EQ(data.Baud, 9600);
    EXPECT_TRUE(data.TestEmptyTube);
    EXPECT_EQ(data.PulseWidth, 30);
}

TEST(MeterTelegrams, AnswersAndAppliesTheToolsTelegrams)
{
    TMeter meter;
    auto ask = [&](const TBytes& telegram) { return meter.Handle(Heard(telegram)).Bytes; };
    const TBytes ack{0xE5};

    EXPECT_EQ(ask(HexBytes("68 05 05 68 53 01 51 0F 02 B6 16")), ack);
    const TBytes user = ask(HexBytes("10 5B 01 5C 16"));
    EXPECT_EQ(user, BuildUserDataFrame(meter.State(), user[15]));
    EXPECT_EQ(ask(HexBytes("68 0A 0A 68 53 01 51 04 FF 20 00 00 00 00 C8 16")), ack);
    EXPECT_EQ(meter.State().Register(0x20), 0u);

    EXPECT_EQ(ask(Built(BuildSelectTelegram, 1, MBusSelectConfigData)), ack);
    EXPECT_EQ(ask(HexBytes("10 7B 01 7C 16")).size(), 64u); // REQ_UD2 with the frame count bit
    EXPECT_EQ(ask(HexBytes("10 40 01 41 16")), ack);        // SND_NKE: back to the user data
    EXPECT_EQ(ask(HexBytes("10 5B 01 5C 16")).size(), 48u);

    // Address 5, 9600 baud, empty-tube test on, pulse width 10; acknowledged at the old address.
    EXPECT_EQ(ask(Built(BuildRegisterWrite, 1, 0x24, 0x0AFF6005)), ack);
    EXPECT_EQ(meter.State().Address(), 5);
    EXPECT_EQ(meter.State().Baud(), 9600);
    EXPECT_TRUE(ask(HexBytes("10 5B 01 5C 16")).empty());
    EXPECT_EQ(ask(Built(BuildDataRequest, 5)).at(5), 5);

    EXPECT_EQ(ask(Built(BuildRegisterWrite, 5, 0x30, 0)), ack);
    EXPECT_EQ(ask(Built(BuildRegisterWrite, 5, 0x31, 0)), ack);
    EXPECT_EQ(meter.State().Volume(), 0u);
}

TEST(MeterTelegrams, StaysSilentForOtherAddressesBadFramesBroadcastAndWhatItCannotTake)
{
    TMeterFaults faults;
    faults.RefusedRegisters.set(0x22);
    TMeter meter({}, faults.RefusedRegisters);
    const TMeterState before = meter.State();
    auto silent = [&](const TBytes& telegram) { return meter.Handle(Heard(telegram)).Bytes.empty(); };

    EXPECT_TRUE(silent(HexBytes("10 5B 02 5D 16")));                     // another address
    EXPECT_TRUE(silent(HexBytes("10 5B 01 5D 16")));                     // bad checksum
    EXPECT_TRUE(silent(HexBytes("68 05 05 68 53 01 51 0F 02 B6 17")));   // no stop byte
    EXPECT_TRUE(silent(Built(BuildSelectTelegram, 1, 0x03)));            // unknown frame
    EXPECT_TRUE(silent(Built(BuildRegisterWrite, 1, 0x40, 1)));          // unknown register
    EXPECT_TRUE(silent(Built(BuildRegisterWrite, 1, 0x22, 1)));          // refused register
    EXPECT_TRUE(silent(Built(BuildRegisterWrite, 1, 0x24, 0x0A008001))); // 12800 baud
    EXPECT_TRUE(silent(Built(BuildRegisterWrite, 1, 0x24, 0x0A0018FB))); // address 251
    for (std::uint8_t reg = 0x20; reg <= 0x24; ++reg)
        EXPECT_EQ(meter.State().Register(reg), before.Register(reg)) << int(reg);

    // Broadcast: applied, never answered.
    EXPECT_TRUE(silent(Built(BuildRegisterWrite, 0xFF, 0x21, 0x3F800000)));
    EXPECT_EQ(meter.State().Register(0x21), 0x3F800000u);
    EXPECT_TRUE(silent(Built(BuildSelectTelegram, 0xFF, MBusSelectConfigData)));
    EXPECT_EQ(meter.State().Selected(), TMeterFrame::mfConfigData);
    EXPECT_TRUE(silent(Built(BuildDataRequest, 0xFF)));
}

// One meter through the telegrams of a standard master, in order: each step's answer is E5,
// silence, a fresh frame ("user", "config": new access number, the meter's address) or the last
// frame again ("again").
TEST(MeterTelegrams, AnswersAStandardMastersTelegramsAsASlave)
{
    constexpr std::uint8_t FD = 0xFD;
    const TBytes mine{0x7F, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}; // 1234567?, any maker etc.
    const TBytes water{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07};
    const TBytes otherId{0x79, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF};
    const TBytes otherTopDigit{0x78, 0x56, 0x34, 0x02, 0xFF, 0xFF, 0xFF, 0xFF}; // 02345678
    const TBytes otherMaker{0xFF, 0xFF, 0xFF, 0xFF, 0x34, 0x12, 0xFF, 0xFF};
    const struct {
        TBytes Telegram;
        std::string Answer;
    } steps[] = {
        {LongFrame(0x53, 1, 0x50), "E5"},                           // application reset
        {LongFrame(0x73, 1, 0x51, {0x0C, 0x13, 0, 0, 0, 0}), "E5"}, // data it does not use
        {LongFrame(0x53, 1, 0x5C), "E5"},                           // an unused CI
        {LongFrame(0x53, 1, 0xBD), "E5"},                           // 9600 baud
        {LongFrame(0x53, 1, 0xBF), ""},                             // 38400 baud
        {ShortFrame(0x5A, 1), "E5"},                                // REQ_UD1
        {ShortFrame(0x5B, 1), "user"},
        {ShortFrame(0x5B, 1), "again"}, // FCB not toggled
        {ShortFrame(0x7B, 1), "user"},
        {ShortFrame(0x7B, 1), "again"},
        {Built(BuildSelectTelegram, 1, MBusSelectConfigData), "E5"},
        {ShortFrame(0x7B, 1), "config"},                      // the select came between
        {LongFrame(0x53, 1, 0x51, {0x01, 0x7A, 0x05}), "E5"}, // primary address 5
        {ShortFrame(0x5B, 1), ""},
        {ShortFrame(0x5B, 5), "config"},
        {LongFrame(0x53, 5, 0x51, {0x01, 0x7A, 0xFB}), ""},   // address 251
        {LongFrame(0x53, 5, 0x51, {0x01, 0x7A, 0xFA}), "E5"}, // address 250, the largest
        {ShortFrame(0x5B, 0xFA), "config"},
        {LongFrame(0x53, 0xFA, 0x51, {0x01, 0x7A, 0x05}), "E5"},
        {ShortFrame(0x5B, 0xFE), "config"},                   // the one meter on the line, answering as 5
        {Built(BuildRegisterWrite, 5, 0x30, 0x01000000), ""}, // beyond the volume record
        {Built(BuildRegisterWrite, 5, 0x30, 0x00FFFFFF), "E5"},
        {ShortFrame(0x40, 5), "E5"},
        {ShortFrame(0x5B, FD), ""}, // not selected
        {LongFrame(0x53, FD, 0x52, mine), "E5"},
        {ShortFrame(0x5B, FD), "user"},
        {ShortFrame(0x40, FD), "E5"}, // deselects
        {ShortFrame(0x5B, FD), ""},
        {LongFrame(0x53, FD, 0x52, otherId), ""},
        {LongFrame(0x53, FD, 0x52, otherMaker), ""},
        {LongFrame(0x53, FD, 0x52, otherTopDigit), ""},
        {LongFrame(0x53, FD, 0x52, water), "E5"},
        {LongFrame(0x53, FD, 0x52, otherId), ""}, // deselects
        {ShortFrame(0x40, FD), ""},
        {LongFrame(0x53, FD, 0x52, mine), "E5"},
        {ShortFrame(0x40, 5), "E5"}, // leaves it selected
        {LongFrame(0x53, FD, 0x51, {0x0F, 0x01}), "E5"},
        {ShortFrame(0x5B, FD), "config"},
        {ShortFrame(0x40, 0xFF), ""}, // deselects every meter
        {ShortFrame(0x5B, FD), ""},
    };
    TMeter meter({.Identification = 0x12345678});
    TBytes last;
    int step = 0;
    for (const auto& [telegram, expected] : steps) {
        SCOPED_TRACE("step " + std::to_string(++step) + ": " + TMeterLog::Hex(telegram));
        const TBytes answer = meter.Handle(Heard(telegram)).Bytes;
        if (expected == "E5" || expected.empty()) {
            EXPECT_EQ(answer, expected.empty() ? TBytes{} : TBytes{0xE5});
        } else if (expected == "again") {
            EXPECT_EQ(answer, last);
        } else {
            ASSERT_EQ(answer.size(), expected == "user" ? 48u : 64u);
            EXPECT_EQ(answer[5], meter.State().Address());
            EXPECT_NE(answer, last);
            last = answer;
        }
    }
    EXPECT_EQ(meter.State().Address(), 5);
    EXPECT_EQ(meter.State().Baud(), 9600);
    EXPECT_EQ(meter.State().Volume(), 0xFFFFFFu);
}

TEST(MeterBus, RefusesMetersThatWouldAnswerTogetherAndCollidesThoseThatDo)
{
    const auto refusal = [](std::vector<TMeterSettings> meters) -> std::string {
        try {
            TMeterBus bus(meters, {});
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "";
    };
    EXPECT_EQ(refusal({{}, {.Baud = 9600}, {.Baud = 9600}}),
              "meters 2 and 3 both have address 1 at 9600 baud: on one line they would answer together");
    EXPECT_EQ(refusal({{.Address = 1, .Identification = 0x20240002}, {.Address = 2}}),
              "meters 1 and 2 both have identification number 20240002 at 2400 baud: on one line they "
              "would answer together");
    EXPECT_EQ(refusal({{}, {.Baud = 9600}, {.Address = 2}}), "");

    // Meters 20240001 and 20240002 both match 2024000?: their answers meet on the wire.
    TMeterBus bus({{.Address = 1}, {.Address = 2}, {.Address = 3, .Baud = 9600}}, {});
    const TBytes both{0x0F, 0x00, 0x24, 0x20, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(bus.Handle(Heard(LongFrame(0x53, 0xFD, 0x52, both)), 2400).Bytes, TBytes{0xE5});
    const TMeterAnswer collided = bus.Handle(Heard(ShortFrame(0x5B, 0xFD)), 2400);
    TBytes expected = BuildUserDataFrame(bus.Meter(0).State(), 1);
    const TBytes second = BuildUserDataFrame(bus.Meter(1).State(), 1);
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] &= second[i];
    EXPECT_EQ(collided.Bytes, expected);
    EXPECT_EQ(collided.Note, "meter 1: user data; meter 2: user data; meters 1 and 2 answer together");
    // The meter at 9600 baud heard none of it.
    EXPECT_FALSE(bus.Meter(2).Selected());
    EXPECT_TRUE(bus.Handle(Heard(ShortFrame(0x5B, 3)), 2400).Bytes.empty());
    EXPECT_EQ(bus.Handle(Heard(ShortFrame(0x5B, 3)), 9600).Bytes.size(), 48u);
}

TEST(MeterLink, SplitsTheLineIntoTelegramsAndGivesUpFramesTheLineLeftIncomplete)
{
    TMBusFrameReader reader;
    const auto t0 = TMeterClock::now();
    auto feed = [&](const std::string& hex, TMeterClock::duration at) {
        const TBytes bytes = HexBytes(hex);
        std::vector<std::pair<TMBusTelegramKind, TBytes>> out;
        for (const auto& telegram : reader.Feed(bytes.data(), bytes.size(), t0 + at, 50ms))
            out.emplace_back(telegram.Kind, telegram.Bytes);
        return out;
    };
    using K = TMBusTelegramKind;
    using Out = std::vector<std::pair<K, TBytes>>;
    EXPECT_EQ(feed("00 FF 10 5B", 0ms), (Out{{K::tkInvalid, {0x00, 0xFF}}}));
    EXPECT_EQ(feed("01 5C 16 68 0A 0A 68 53", 1ms), (Out{{K::tkShort, HexBytes("10 5B 01 5C 16")}}));
    // The long frame begun above would take the next 11 bytes, but the line went quiet meanwhile.
    EXPECT_EQ(feed("10 5B 01 5C 16 E5", 1s), (Out{{K::tkInvalid, HexBytes("68 0A 0A 68 53")},
                                                  {K::tkShort, HexBytes("10 5B 01 5C 16")},
                                                  {K::tkSingle, {0xE5}}}));
    EXPECT_EQ(feed("68 05 06 68 00 68 03 03 68 53 01 51 A5 16", 2s),
              (Out{{K::tkInvalid, HexBytes("68 05 06")},
                   {K::tkInvalid, HexBytes("68 00")},
                   {K::tkLong, HexBytes("68 03 03 68 53 01 51 A5 16")}}));
}

TEST(MeterFaults, ShapeTheAnswersAsTheFlagsSay)
{
    TMeter meter;
    const TMBusTelegram request = Heard(HexBytes("10 5B 01 5C 16"));
    const TMeterAnswer frame = meter.Handle(request);
    const TMeterAnswer userAck = meter.Handle(Heard(HexBytes("68 05 05 68 53 01 51 0F 02 B6 16")));
    const TMeterAnswer configAck = meter.Handle(Heard(Built(BuildSelectTelegram, 1, MBusSelectConfigData)));
    auto shape = [&](const TMeterFaults& faults, const TMeterAnswer& answer) {
        return ShapeOutputs(faults, request, answer);
    };
    auto bytes = [&](const TMeterFaults& faults, const TMeterAnswer& answer) {
        const auto outputs = shape(faults, answer);
        return outputs.empty() ? TBytes{} : outputs.back().Bytes;
    };
    auto noiseThen = [](int count, TBytes rest) {
        TBytes out = NoiseBytes(count);
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };

    TMeterFaults faults;
    EXPECT_EQ(bytes(faults, frame), frame.Bytes);
    faults.BadChecksum = true;
    TBytes badSum = frame.Bytes;
    ++badSum[46];
    EXPECT_EQ(bytes(faults, frame), badSum);
    EXPECT_EQ(bytes(faults, userAck), userAck.Bytes);

    faults = {};
    faults.PartialBytes = 10;
    EXPECT_EQ(bytes(faults, frame), TBytes(frame.Bytes.begin(), frame.Bytes.begin() + 10));
    faults = {};
    faults.NoiseBytes = 3;
    EXPECT_EQ(bytes(faults, frame), noiseThen(3, frame.Bytes));
    faults.Answers = TFaultAnswers::faAcks;
    EXPECT_EQ(bytes(faults, frame), frame.Bytes);
    EXPECT_EQ(bytes(faults, userAck), noiseThen(3, {0xE5}));
    faults.Answers = TFaultAnswers::faFrames;
    EXPECT_EQ(bytes(faults, userAck), userAck.Bytes);

    faults = {};
    faults.OversizeBytes = 120;
    const TBytes padded = bytes(faults, frame);
    ASSERT_EQ(padded.size(), 120u);
    EXPECT_TRUE(std::equal(frame.Bytes.begin(), frame.Bytes.end(), padded.begin()));
    faults.LateMs = 900;
    EXPECT_EQ(shape(faults, frame).back().ExtraDelayMs, 900);

    faults = {};
    faults.Echo = true;
    faults.NoAnswer = true;
    const auto echoed = shape(faults, frame);
    ASSERT_EQ(echoed.size(), 1u);
    EXPECT_TRUE(echoed[0].Echo);
    EXPECT_EQ(echoed[0].Bytes, request.Bytes);

    faults = {};
    faults.SilentSecondSelect = true;
    EXPECT_TRUE(shape(faults, userAck).empty());
    EXPECT_EQ(bytes(faults, configAck), configAck.Bytes);
}

TEST(MeterCommandLine, TakesEveryFormOfValueAndRefusesBadOnes)
{
    const TMeterCommandLine line =
        ParseMeterCommandLine({"--com", "3", "--refuse-register", "22", "--refuse-register=0x30",
                               "--late=900", "-v", "--fault-answers", "frames", "--echo", "--q4ma", "-5",
                               "--q20ma=4500", "--imp-out", "2.5e0", "--empty-tube", "--pulse-width", "255"});
    EXPECT_EQ(line.Sim.ComNumber, 3);
    EXPECT_TRUE(line.Sim.Faults.RefusedRegisters.test(0x22));
    EXPECT_TRUE(line.Sim.Faults.RefusedRegisters.test(0x30));
    EXPECT_EQ(line.Sim.Faults.RefusedRegisters.count(), 2u);
    EXPECT_EQ(line.Sim.Faults.LateMs, 900);
    EXPECT_EQ(line.Sim.Faults.Answers, TFaultAnswers::faFrames);
    EXPECT_EQ(ParseMeterCommandLine({"--fault-answers=user-data"}).Sim.Faults.Answers,
              TFaultAnswers::faUserData);
    EXPECT_TRUE(line.Verbose && line.Sim.Faults.Echo);
    const TMeterSettings& meter = line.Sim.Meter;
    EXPECT_EQ(meter.Q4mA, -5);
    EXPECT_EQ(meter.Q20mA, 4500);
    EXPECT_EQ(meter.ImpOut, 2.5);
    EXPECT_TRUE(meter.TestEmptyTube);
    EXPECT_EQ(meter.PulseWidth, 255);

    // Each --meter one more meter; the flags stay the first one's.
    const TMeterCommandLine line2 =
        ParseMeterCommandLine({"--meter", "address=2,baud=9600,id=12345678,empty-tube,q4ma=50", "--address",
                               "3", "--meter=address=4"});
    EXPECT_EQ(line2.Sim.Meter.Address, 3);
    ASSERT_EQ(line2.Sim.MoreMeters.size(), 2u);
    const TMeterSettings& second = line2.Sim.MoreMeters[0];
    EXPECT_TRUE(second.Address == 2 && second.Baud == 9600 && second.TestEmptyTube && second.Q4mA == 50);
    EXPECT_EQ(second.Identification, 0x12345678u);
    EXPECT_TRUE(line2.Sim.MoreMeters[1].Address == 4 && line2.Sim.MoreMeters[1].Baud == 2400);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--late"},
                                                {"--noise", "-1"},
                                                {"--com", "2x"},
                                                {"--echo=1"},
                                                {"--refuse-register", "100"},
                                                {"--fault-answers", "some"},
                                                {"--imp-out", "1,5"},
                                                {"--imp-out", "-1"},
                                                {"--imp-out", "nan"},
                                                {"--pulse-width", "256"},
                                                {"--bogus"},
                                                {"--id", "1234567"},
                                                {"--id", "1234567A"},
                                                {"--meter", "address"},
                                                {"--meter", "com=2"},
                                                {"--meter", "empty-tube=yes"},
                                                {"--meter", "address=2,,baud=300"},
                                                {"--meter", "baud=x"},
                                                {"x"}})
        EXPECT_THROW(ParseMeterCommandLine(bad), std::invalid_argument) << bad[0];
}

} // namespace
