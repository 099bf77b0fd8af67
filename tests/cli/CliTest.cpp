// vexora-cli end to end: the program as a child process against the meter simulator, which runs in
// this process on a pseudo-terminal registered as COM 1 in the tests' port directory. Each command
// runs its real exchanges with their fixed waits, some seconds each.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AfPtyPort.h"
#include "CliRun.h"
#include "SimTestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

const std::string kPortDir = AfTestPortDirectory();

// A meter whose every value differs from the window's design values, with scale codes 1 and 2.
TMeterSettings ReadMeter(int Address = 1)
{
    return {.Address = Address,
            .FlowScaleCode = 1,
            .PulseScaleCode = 2,
            .Q4mA = 250,
            .Q20mA = 4500,
            .ImpOut = 2.5,
            .TestEmptyTube = true,
            .PulseWidth = 20};
}

const QJsonObject kMeterRead{
    {"addr", 1},
    {"baud", 2400},
    {"q4ma", 250},
    {"q20ma", 4500},
    {"imp-out", 2.5},
    {"address", 1},
    {"meter-baud", 2400},
    {"empty-tube", true},
    {"pulse-width", 20},
    {"pulse-width-ms", 34.2},
    {"flow-scale-code", 1},
    {"pulse-scale-code", 2},
    {"units", QJsonObject{{"q4ma", "l/h"}, {"q20ma", "l/h"}, {"imp-out", "Imp/l"}, {"pulse-width-ms", "ms"}}},
};

class CliTest : public testing::Test {
protected:
    void Start(const TMeterSimOptions& Options) { FSim = std::make_unique<TRunningSimulator>(Options); }
    // Runs the command and checks that the simulator heard Telegrams of it.
    TRun Run(const QStringList& Args, std::uint64_t Telegrams)
    {
        const std::uint64_t before = FSim->Sim().Heard();
        TRun run = Cli(Args);
        FSim->Sim().WaitHeard(before + Telegrams, 5s);
        EXPECT_EQ(FSim->Sim().Heard() - before, Telegrams) << Args.join(' ').toStdString() << "\n" << run.Err;
        return run;
    }
    std::uint32_t Register(std::uint8_t Reg, std::size_t Meter = 0)
    {
        return FSim->Sim().State(Meter).Register(Reg);
    }

    std::unique_ptr<TRunningSimulator> FSim;
};

TEST_F(CliTest, ReadGivesTheMetersValuesAsJsonAndAsText)
{
    Start({.Meter = ReadMeter()});
    const TRun json = Run({"read", "--port", "1", "--json"}, 4);
    EXPECT_EQ(json.Status, 0) << json.Err;
    EXPECT_EQ(Json(json.Out), kMeterRead);

    // By its device path, with no COM number naming it: the program gives it one of its own.
    QTemporaryDir emptyPortDir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VEXORA_PORT_DIR", emptyPortDir.path());
    const TRun text = Cli({"read", "--port", QString::fromStdString(FSim->Sim().DevicePath())}, env);
    EXPECT_EQ(text.Status, 0) << text.Err;
    EXPECT_EQ(text.Out, "Q 4mA            250 l/h\n"
                        "Q 20mA           4500 l/h\n"
                        "Imp Out          2.5 Imp/l\n"
                        "Address          1\n"
                        "Baud             2400\n"
                        "Test empty tube  Yes\n"
                        "Pulse width      20 (34.2ms)\n"
                        "Scale codes      flow 1, pulse 2\n");
}

TEST_F(CliTest, WriteChangesOnlyTheValuesGivenAndAReadShowsThem)
{
    Start({});
    // A read of the values not given, then the configuration data and the five registers.
    const TRun write =
        Run({"write", "--port", "1", "--q20ma", "3000", "--empty-tube", "yes", "--pulse-width", "12"}, 11);
    EXPECT_EQ(write.Status, 0) << write.Err;
    EXPECT_EQ(Register(0x20), 0x3DCCCCCDu); // 100 l/h as it was, at scale code 0
    EXPECT_EQ(Register(0x21), 0x40400000u); // 3.0
    EXPECT_EQ(Register(0x24), 0x0CFF1801u); // address 1, 2400 baud, test on, width 12

    QJsonObject expected{{"q4ma", 100},        {"q20ma", 3000},      {"imp-out", 1},     {"address", 1},
                         {"meter-baud", 2400}, {"empty-tube", true}, {"pulse-width", 12}};
    const QJsonObject read = Json(Run({"read", "--port", "1", "--json"}, 4).Out).toObject();
    for (auto value = expected.begin(); value != expected.end(); ++value)
        EXPECT_EQ(read.value(value.key()), value.value()) << value.key().toStdString();
}

// A meter's saved read written back to it leaves every register as it was, also for values that
// a single holds only approximately. Then a batch of meters set to the profile of one: its saved
// read written to another, whose address is kept. Every value given, no meter is read first.
TEST_F(CliTest, WriteFromASavedReadGivesAnotherMeterTheSameValues)
{
    Start({.Meter = ReadMeter(),
           .MoreMeters = {TMeterSettings{.Address = 2, .Q4mA = 10, .Q20mA = 1234, .ImpOut = 1.2345678}}});
    QTemporaryDir dir;
    const std::string own = dir.filePath("meter2.json").toStdString();
    std::ofstream(own) << Run({"read", "--port", "1", "--addr", "2", "--json"}, 4).Out;
    std::vector<std::uint32_t> before;
    for (std::uint8_t reg = 0x20; reg <= 0x24; ++reg)
        before.push_back(Register(reg, 1));
    const TRun back = Run({"write", "--port", "1", "--addr", "2", "--from", QString::fromStdString(own)}, 7);
    EXPECT_EQ(back.Status, 0) << back.Err;
    for (std::uint8_t reg = 0x20; reg <= 0x24; ++reg)
        EXPECT_EQ(Register(reg, 1), before[reg - 0x20]) << "register " << std::hex << int(reg);

    const TRun saved = Run({"read", "--port", "1", "--addr", "1", "--json"}, 4);
    const std::string file = dir.filePath("meter1.json").toStdString();
    std::ofstream(file) << saved.Out;
    const TRun write = Run(
        {"write", "--port", "1", "--addr", "2", "--from", QString::fromStdString(file), "--address", "2"}, 7);
    EXPECT_EQ(write.Status, 0) << write.Err;

    QJsonObject second = Json(Run({"read", "--port", "1", "--addr", "2", "--json"}, 4).Out).toObject();
    // The other meter keeps its own scale codes: the registers differ, the values do not.
    for (const char* own : {"addr", "flow-scale-code", "pulse-scale-code"})
        second.remove(own);
    QJsonObject first = kMeterRead;
    first.remove("addr");
    first.remove("flow-scale-code");
    first.remove("pulse-scale-code");
    first["address"] = 2;
    EXPECT_EQ(second, first);
}

// Addr 254: whichever meter is on the line answers, and the read says at which address.
TEST_F(CliTest, ReadAtAddr254GivesTheValuesOfTheMeterOnTheLineAndItsAddress)
{
    Start({.Meter = ReadMeter(9)});
    const TRun json = Run({"read", "--port", "1", "--addr", "254", "--json"}, 4);
    EXPECT_EQ(json.Status, 0) << json.Err;
    QJsonObject expected = kMeterRead;
    expected["addr"] = 254;
    expected["address"] = 9;
    expected["answered-addr"] = 9;
    EXPECT_EQ(Json(json.Out), expected);

    const TRun text = Run({"read", "--port", "1", "--addr", "254"}, 4);
    EXPECT_EQ(text.Status, 0) << text.Err;
    EXPECT_THAT(text.Out, HasSubstr("\nAddress          9\n"));
    EXPECT_THAT(text.Out, testing::EndsWith("\nAnswered at Addr 9\n"));
}

TEST_F(CliTest, ScanFindsEachMeterAtItsAddressAndRateAndNothingElse)
{
    Start({.Meter = ReadMeter(),
           .MoreMeters = {TMeterSettings{.Address = 5, .Baud = 9600}, TMeterSettings{.Address = 7}}});
    // 9 addresses at two rates, the absent ones asked twice.
    const TRun scan =
        Run({"scan", "--port", "1", "--baud", "2400,9600", "--from", "0", "--to", "8", "--json"}, 33);
    EXPECT_EQ(scan.Status, 0) << scan.Err;
    EXPECT_EQ(Json(scan.Out),
              (QJsonArray{QJsonObject{{"addr", 1}, {"baud", 2400}}, QJsonObject{{"addr", 7}, {"baud", 2400}},
                          QJsonObject{{"addr", 5}, {"baud", 9600}}}));
}

TEST_F(CliTest, EveryRefusalAndEveryExitStatus)
{
    Start({});
    const QString missing = QString::fromStdString(kPortDir + "/no-such-device");
    const QStringList values = {"--q4ma",       "100",  "--q20ma",      "2000", "--address",     "1",
                                "--meter-baud", "2400", "--empty-tube", "no",   "--pulse-width", "10"};
    const auto write = [&](QStringList Args) { return QStringList{"write", "--port", "1"} + Args; };
    const struct {
        QStringList Args;
        int Status;
        std::string Said; // a line of standard error, or of standard output for a result
        std::uint64_t Telegrams = 0;
    } cases[] = {
        {{"read"}, 2, "vexora-cli: read needs --port"},
        {{"fetch", "--port", "1"}, 2, "vexora-cli: unknown command 'fetch'"},
        {{"read", "--port", "1", "--yes"}, 2, "vexora-cli: read takes no option --yes"},
        {{"read", "--port"}, 2, "vexora-cli: read: --port needs a value"},
        {write({}), 2, "vexora-cli: write needs a value to write, or --from FILE"},
        {{"read", "--port", "1", "--addr", "255"}, 3, "vexora-cli: Addr 255 is non ack broadcast"},
        {{"reset", "--port", "1", "--addr", "-1", "--yes"},
         3,
         "vexora-cli: Addr -1 is out of range (0 to 255)"},
        {write({"--addr", "256", "--q4ma", "1"}), 3, "vexora-cli: Addr 256 is out of range (0 to 255)"},
        {write({"--imp-out", "1,5"}), 3, "vexora-cli: '1,5' is not a valid floating point value"},
        {write({"--q4ma", "x"}), 3, "vexora-cli: 'x' is not a valid integer value"},
        {write({"--address", "256"}), 3, "vexora-cli: Address 256 is out of range (0 to 255)"},
        {write({"--meter-baud", "38400"}), 3, "vexora-cli: Baud 38400 is out of range (0 to 25599)"},
        {write({"--pulse-width", "251"}), 3, "vexora-cli: Pulse width 251 is out of range (0 to 250)"},
        {write({"--empty-tube", "maybe"}), 3, "vexora-cli: 'maybe' is neither yes nor no"},
        {write({"--addr", "255", "--q4ma", "1"}), 3,
         "vexora-cli: Addr 255 is addr non ack broadcast: --broadcast writes to every meter on the line"},
        {write({"--addr", "255", "--broadcast", "--q4ma", "1"}), 3,
         "vexora-cli: Addr 255 is addr non ack broadcast: no meter answers, so every value must be given"},
        {write({"--from", missing}), 3,
         "vexora-cli: " + missing.toStdString() + ": No such file or directory"},
        {{"reset", "--port", "1"},
         3,
         "vexora-cli: the reset clears the meter's main volume counter: --yes does it"},
        {{"scan", "--port", "1", "--from", "9", "--to", "5"}, 3, "vexora-cli: Addr 9 to 5 is an empty range"},
        {{"scan", "--port", "1", "--to", "251"}, 3, "vexora-cli: Addr 251 is out of range (0 to 250)"},
        {{"read", "--port", "abc"},
         3,
         "vexora-cli: 'abc' is not a COM number, a device path or a network port (rfc2217://host:port, "
         "tcp://host:port)"},
        // After the configuration data: the meter's scale makes it too large for a single.
        {write(values + QStringList{"--imp-out", "1e36"}), 3, "vexora-cli: Imp Out 1E36 is out of range", 2},
        {{"read", "--port", "9"}, 4, "vexora-cli: Invalid port number (COM9)"},
        {{"read", "--port", missing}, 4, "vexora-cli: " + missing.toStdString() + ": no such device"},
        {write(values + QStringList{"--imp-out", "1", "--addr", "255", "--broadcast"}), 0, "", 5},
        {{"ports"}, 0, "COM 1  " + FSim->Sim().DevicePath() + ", pseudo-terminal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.join(' ').toStdString());
        const TRun run = Run(c.Args, c.Telegrams);
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        if (!c.Said.empty()) {
            EXPECT_THAT("\n" + run.Err + run.Out, HasSubstr("\n" + c.Said + "\n"));
        }
    }
}

// The meter acknowledges both selects and its configuration data decode (all four exchanges
// run), but its user data do not: nothing to print, and the read failed.
TEST_F(CliTest, AReadWhoseUserDataDoNotDecodeEndsWithDataReadError)
{
    Start({.Faults = {.BadChecksum = true, .Answers = TFaultAnswers::faUserData}});
    const TRun run = Run({"read", "--port", "1"}, 4);
    EXPECT_EQ(run.Status, 1);
    EXPECT_THAT(run.Err, HasSubstr(" - Invalid ChSum\n"));
    EXPECT_THAT(run.Err, testing::EndsWith("\nvexora-cli: DATA read error\n"));
    EXPECT_EQ(run.Out, "");
}

TEST_F(CliTest, AMeterThatDoesNotAnswer)
{
    Start({.Faults = {.NoAnswer = true}});
    const struct {
        QStringList Args;
        std::string Said;
        std::uint64_t Telegrams;
    } cases[] = {
        {{"read", "--port", "1"}, "vexora-cli: DATA read error", 1},
        {{"reset", "--port", "1", "--yes"}, "vexora-cli: DATA write error", 2},
        {{"scan", "--port", "1", "--from", "1", "--to", "1"},
         "vexora-cli: no meter answered",
         2}, // and once more
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.join(' ').toStdString());
        const TRun run = Run(c.Args, c.Telegrams);
        EXPECT_EQ(run.Status, 1);
        EXPECT_EQ(run.Err, c.Said + "\n");
        EXPECT_EQ(run.Out, "");
    }
}

} // namespace

// The port's device goes while a read waits for the meter (an adapter pulled out): one error that
// names the port, and the exit status of a port error, not the silence of a meter.
TEST(CliDeviceGone, AReadWhosePortGoesEndsThereWithAPortError)
{
    AfPtyPort line(1);
    static int argc = 1;
    static char name[] = "cli_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    QProcess process;
    process.start(QStringLiteral(VEXORA_CLI), {"read", "--port", "1"});
    ASSERT_EQ(line.Receive(11, 10000).size(), 11u) << "the select telegram";
    line.CloseFarEnd();
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 4);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
              "vexora-cli: Device COM1 failed\nvexora-cli: COM1 was " + line.DevicePath() +
                  ", which is no longer there\n");
    EXPECT_EQ(process.readAllStandardOutput().toStdString(), "");
}
