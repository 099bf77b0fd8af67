#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include <vexora/serial/AfLineSettings.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

DCB DcbWith(DWORD BaudRate, DWORD Flags = DCB_fBinary)
{
    DCB Dcb;
    std::memset(&Dcb, 0, sizeof Dcb);
    Dcb.DCBlength = sizeof Dcb;
    Dcb.BaudRate = BaudRate;
    Dcb.ByteSize = 8;
    SetDcbFlags(Dcb, Flags);
    return Dcb;
}

DWORD FlagsFor(TAfLineSettings Settings)
{
    return DcbFlags(LineSettingsToDCB(Settings));
}

} // namespace

TEST(DcbLayout, BitFieldsAgreeWithTheFlagWord)
{
    // The port code reads single fields; the mapping writes the whole word.
    DCB Dcb = DcbWith(0, 0);
    Dcb.fParity = 1;
    Dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    Dcb.fInX = 1;
    Dcb.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_EQ(DcbFlags(Dcb), DCB_fParity | DCB_fDtrControlHandshake | DCB_fInX | DCB_fRtsControlEnable);

    SetDcbFlags(Dcb, DCB_fOutxCtsFlow | DCB_fRtsControlHandshake | DCB_fNull | DCB_fDtrControlEnable);
    EXPECT_EQ(Dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(Dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(Dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(Dcb.fNull, 1u);
    EXPECT_EQ(Dcb.fParity, 0u);
    EXPECT_EQ(Dcb.ByteSize, 8) << "the flag word must not spill into other fields";
}

TEST(LineSettingsToDcb, DefaultsBuildTheDocumentedRecord)
{
    const DCB Dcb = LineSettingsToDCB(TAfLineSettings{});
    EXPECT_EQ(Dcb.DCBlength, 28u);
    EXPECT_EQ(Dcb.BaudRate, 115200u);
    EXPECT_EQ(DcbFlags(Dcb), 0x1011u);
    EXPECT_EQ(Dcb.ByteSize, 8);
    EXPECT_EQ(Dcb.Parity, NOPARITY);
    EXPECT_EQ(Dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(Dcb.XonChar, 0x11);
    EXPECT_EQ(Dcb.XoffChar, 0x13);
    EXPECT_EQ(Dcb.XonLim, 0);
    EXPECT_EQ(Dcb.XoffLim, 0);
    EXPECT_EQ(Dcb.wReserved, 0);
    EXPECT_EQ(Dcb.ErrorChar, 0);
    EXPECT_EQ(Dcb.EofChar, 0);
    EXPECT_EQ(Dcb.EvtChar, 0);
    EXPECT_EQ(Dcb.wReserved1, 0);
}

TEST(LineSettingsToDcb, HandshakeTakesOverItsLine)
{
    TAfLineSettings Settings;
    Settings.FlowControl = fwRtsCts;
    EXPECT_EQ(FlagsFor(Settings), 0x2015u) << "RTS handshake alone, never with enable";
    Settings.FlowControl = fwDtrDsr;
    EXPECT_EQ(FlagsFor(Settings), 0x1029u);
    Settings.FlowControl = fwXOnXOff;
    EXPECT_EQ(FlagsFor(Settings), 0x1311u);

    Settings.DTR = false;
    Settings.RTS = false;
    EXPECT_EQ(FlagsFor(Settings), 0x0301u) << "lines off leave both controls disabled";
    Settings.FlowControl = fwRtsCts;
    EXPECT_EQ(FlagsFor(Settings), 0x2005u);
}

TEST(LineSettingsToDcb, EveryOptionSetsItsOwnFlag)
{
    TAfLineSettings Settings;
    Settings.DTR = Settings.RTS = false;
    const DWORD Expected[] = {DCB_fParity, DCB_fDsrSensitivity, DCB_fTXContinueOnXoff, DCB_fErrorChar,
                              DCB_fNull};
    TAfComOptions All;
    for (int Option = 0; Option < AfComOptionCount; ++Option) {
        Settings.Options = TAfComOptions{static_cast<TAfComOption>(Option)};
        EXPECT_EQ(FlagsFor(Settings), DCB_fBinary | Expected[Option]) << "option " << Option;
        All.Include(static_cast<TAfComOption>(Option));
    }
    Settings.Options = All;
    EXPECT_EQ(FlagsFor(Settings), 0x0CC3u);
}

TEST(LineSettingsToDcb, FrameAndRateComeFromTheTables)
{
    TAfLineSettings Settings;
    Settings.BaudRate = brUser;
    Settings.UserBaudRate = 2400;
    Settings.Parity = paEven;
    DCB Dcb = LineSettingsToDCB(Settings);
    EXPECT_EQ(Dcb.BaudRate, 2400u);
    EXPECT_EQ(Dcb.Parity, EVENPARITY);
    EXPECT_EQ(DcbFlags(Dcb), 0x1011u) << "parity is generated but not checked without coParityCheck";

    Settings.UserBaudRate = 0;
    EXPECT_EQ(LineSettingsToDCB(Settings).BaudRate, 0u);

    Settings.BaudRate = br256000;
    Settings.Databits = db5;
    Settings.Parity = paSpace;
    Settings.Stopbits = sbOneAndHalf;
    Settings.XOnChar = 'a';
    Settings.XOffChar = 'b';
    Settings.XOnLim = 100;
    Settings.XOffLim = 200;
    Dcb = LineSettingsToDCB(Settings);
    EXPECT_EQ(Dcb.BaudRate, 256000u);
    EXPECT_EQ(Dcb.ByteSize, 5);
    EXPECT_EQ(Dcb.Parity, SPACEPARITY);
    EXPECT_EQ(Dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(Dcb.XonChar, 'a');
    EXPECT_EQ(Dcb.XoffChar, 'b');
    EXPECT_EQ(Dcb.XonLim, 100);
    EXPECT_EQ(Dcb.XoffLim, 200);
}

TEST(LineSettingsToDcb, ValuesOutsideTheEnumerationsAreRefused)
{
    TAfLineSettings Settings;
    Settings.BaudRate = static_cast<TAfBaudrate>(16);
    EXPECT_THROW(LineSettingsToDCB(Settings), std::out_of_range);
    Settings = {};
    Settings.Databits = static_cast<TAfDatabits>(5);
    EXPECT_THROW(LineSettingsToDCB(Settings), std::out_of_range);
    Settings = {};
    Settings.FlowControl = static_cast<TAfFlowControl>(200);
    EXPECT_THROW(LineSettingsToDCB(Settings), std::out_of_range);
}

TEST(LineSettingsFromDcb, RateMatchesTheTableOrBecomesAUserRate)
{
    TAfLineSettings Settings;
    Settings.UserBaudRate = 777;
    LineSettingsFromDCB(Settings, DcbWith(9600));
    EXPECT_EQ(Settings.BaudRate, br9600);
    EXPECT_EQ(Settings.UserBaudRate, 777) << "a table rate leaves the user rate alone";

    LineSettingsFromDCB(Settings, DcbWith(31250));
    EXPECT_EQ(Settings.BaudRate, brUser);
    EXPECT_EQ(Settings.UserBaudRate, 31250);

    Settings.UserBaudRate = 4321;
    LineSettingsFromDCB(Settings, DcbWith(0));
    EXPECT_EQ(Settings.BaudRate, brUser);
    EXPECT_EQ(Settings.UserBaudRate, 4321);
}

TEST(LineSettingsFromDcb, UnknownFrameValuesFallBackToDefaults)
{
    TAfLineSettings Settings;
    Settings.Databits = db5;
    Settings.Parity = paOdd;
    Settings.Stopbits = sbTwo;
    DCB Dcb = DcbWith(9600);
    Dcb.ByteSize = 9;
    Dcb.Parity = 7;
    Dcb.StopBits = 5;
    LineSettingsFromDCB(Settings, Dcb);
    EXPECT_EQ(Settings.Databits, db8);
    EXPECT_EQ(Settings.Parity, paNone);
    EXPECT_EQ(Settings.Stopbits, sbOne);
}

TEST(LineSettingsFromDcb, FlowControlNeedsItsWholeMask)
{
    TAfLineSettings Settings;
    const auto FlowOf = [&](DWORD Flags) {
        LineSettingsFromDCB(Settings, DcbWith(9600, Flags));
        return Settings.FlowControl;
    };
    EXPECT_EQ(FlowOf(0x2004 | 0x0028 | 0x0001), fwDtrDsr) << "both handshakes: DTR/DSR is tested first";
    EXPECT_EQ(FlowOf(0x2004 | 0x0300), fwRtsCts);
    EXPECT_EQ(FlowOf(0x0300), fwXOnXOff);
    EXPECT_EQ(FlowOf(DCB_fOutX), fwNone) << "fOutX without fInX";
    EXPECT_EQ(FlowOf(DCB_fOutxCtsFlow | DCB_fRtsControlEnable), fwNone);
    EXPECT_EQ(FlowOf(DCB_fDtrControlHandshake), fwNone);
}

TEST(LineSettingsFromDcb, OptionsCharactersAndLimitsAreTakenAndLinesKept)
{
    TAfLineSettings Settings;
    Settings.DTR = false;
    Settings.RTS = true;
    Settings.InBufSize = 1234;
    Settings.Options = {coStripNull};
    DCB Dcb = DcbWith(19200, DCB_fBinary | DCB_fParity | DCB_fErrorChar | DCB_fDtrControlEnable);
    Dcb.XonChar = 'x';
    Dcb.XoffChar = 'y';
    Dcb.XonLim = 10;
    Dcb.XoffLim = 20;
    LineSettingsFromDCB(Settings, Dcb);
    EXPECT_EQ(Settings.Options, (TAfComOptions{coParityCheck, coErrorChar}));
    EXPECT_EQ(Settings.XOnChar, 'x');
    EXPECT_EQ(Settings.XOffChar, 'y');
    EXPECT_EQ(Settings.XOnLim, 10);
    EXPECT_EQ(Settings.XOffLim, 20);
    EXPECT_FALSE(Settings.DTR) << "DTR is not read from the DCB";
    EXPECT_TRUE(Settings.RTS);
    EXPECT_EQ(Settings.InBufSize, 1234);
}

TEST(LineSettingsFromDcb, EveryCombinationSurvivesTheRoundTrip)
{
    for (int Rate = 0; Rate < AfBaudrateCount; ++Rate)
        for (int Bits = 0; Bits < AfDatabitsCount; ++Bits)
            for (int Parity = 0; Parity < AfParityCount; ++Parity)
                for (int Stop = 0; Stop < AfStopbitsCount; ++Stop)
                    for (int Flow = 0; Flow < AfFlowControlCount; ++Flow) {
                        TAfLineSettings Settings;
                        Settings.BaudRate = static_cast<TAfBaudrate>(Rate);
                        Settings.UserBaudRate = 31250;
                        Settings.Databits = static_cast<TAfDatabits>(Bits);
                        Settings.Parity = static_cast<TAfParity>(Parity);
                        Settings.Stopbits = static_cast<TAfStopbits>(Stop);
                        Settings.FlowControl = static_cast<TAfFlowControl>(Flow);
                        Settings.Options =
                            TAfComOptions::FromBits(static_cast<std::uint8_t>(Rate + Flow * 7));
                        Settings.XOnLim = static_cast<std::uint16_t>(Rate * 1000);
                        Settings.XOffLim = static_cast<std::uint16_t>(Bits * 3000);

                        TAfLineSettings Back;
                        LineSettingsFromDCB(Back, LineSettingsToDCB(Settings));
                        Back.DTR = Settings.DTR;
                        Back.RTS = Settings.RTS;
                        ASSERT_EQ(Back.UserBaudRate, Settings.BaudRate == brUser ? 31250 : 0);
                        Back.UserBaudRate = Settings.UserBaudRate;
                        ASSERT_EQ(Back, Settings)
                            << Rate << ' ' << Bits << ' ' << Parity << ' ' << Stop << ' ' << Flow;
                    }
}

TEST(XOnXOffLimits, DerivedFromTheInputQueueSize)
{
    TAfLineSettings Settings;
    Settings.FlowControl = fwXOnXOff;
    UpdateXOnXOffLimits(Settings);
    EXPECT_EQ(Settings.XOnLim, 1024);
    EXPECT_EQ(Settings.XOffLim, 3072);

    Settings.FlowControl = fwRtsCts;
    Settings.InBufSize = 4097;
    UpdateXOnXOffLimits(Settings);
    EXPECT_EQ(Settings.XOnLim, 1024);
    EXPECT_EQ(Settings.XOffLim, 3073);

    Settings.FlowControl = fwNone;
    UpdateXOnXOffLimits(Settings);
    EXPECT_EQ(Settings.XOnLim, 0);
    EXPECT_EQ(Settings.XOffLim, 0);

    Settings.FlowControl = fwDtrDsr;
    Settings.InBufSize = 0x12345; // low 16 bits 0x2345; a quarter is 0x48D1
    UpdateXOnXOffLimits(Settings);
    EXPECT_EQ(Settings.XOnLim, 0x48D1);
    EXPECT_EQ(Settings.XOffLim, static_cast<std::uint16_t>(0x2345 - 0x48D1));
}

TEST(XOnXOffLimits, WritingOneLimitRecomputesTheOther)
{
    TAfLineSettings Settings;
    Settings.XOnLim = 1024;
    Settings.XOffLim = 3072;
    EXPECT_TRUE(WriteXOnLim(Settings, 5000));
    EXPECT_EQ(Settings.XOnLim, 5000);
    EXPECT_EQ(Settings.XOffLim, 64632) << "4096 - 5000 wraps in 16 bits";

    EXPECT_TRUE(WriteXOffLim(Settings, 96));
    EXPECT_EQ(Settings.XOffLim, 96);
    EXPECT_EQ(Settings.XOnLim, 4000);

    Settings.XOnLim = 1;
    Settings.XOffLim = 2;
    EXPECT_FALSE(WriteXOnLim(Settings, 1)) << "the same value changes nothing";
    EXPECT_FALSE(WriteXOffLim(Settings, 2));
    EXPECT_EQ(Settings.XOnLim, 1);
    EXPECT_EQ(Settings.XOffLim, 2);
}

TEST(ComOptions, SetOperationsStayWithinTheOptions)
{
    constexpr TAfComOptions Parity{coParityCheck};
    static_assert(sizeof(TAfComOptions) == 1);
    static_assert(TAfComOptions{coParityCheck, coStripNull}.Bits() == 0x11);

    TAfComOptions Set;
    EXPECT_TRUE(Set.Empty());
    Set.Include(coIgnoreXOff).Include(coErrorChar);
    EXPECT_TRUE(Set.Contains(coIgnoreXOff));
    EXPECT_FALSE(Set.Contains(coParityCheck));
    EXPECT_EQ((Set + Parity).Bits(), 0x0D);
    EXPECT_EQ((Set - TAfComOptions{coErrorChar}).Bits(), 0x04);
    EXPECT_EQ((Set * TAfComOptions{coErrorChar, coStripNull}).Bits(), 0x08);
    Set.Exclude(coIgnoreXOff).Exclude(coErrorChar);
    EXPECT_TRUE(Set.Empty());
    EXPECT_EQ(TAfComOptions::FromBits(0xFF).Bits(), 0x1F) << "bits of no option are dropped";
}
