// vexora-cli end to end through network ports given as --port: ser2net (run by the test on
// 127.0.0.1) in front of the meter simulator's pseudo-terminal, over RFC 2217 and raw TCP; and
// gateways that cannot be reached or go wrong. Each command runs its real exchanges with their
// fixed waits.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "AfPtyPort.h"
#include "CliRun.h"
#include "NetGateways.h"
#include "SimTestSupport.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

const std::string kPortDir = AfTestPortDirectory();

class CliNetPortsTest : public testing::TestWithParam<bool> {};

TEST_P(CliNetPortsTest, ReadWriteAndScanGoThroughTheGateway)
{
    TRunningSimulator sim({.Meter = {.Address = 3, .Q4mA = 250, .ImpOut = 2.5}});
    TSer2net gateway(sim.Sim().DevicePath());
    const QString port = QString::fromStdString(GetParam() ? gateway.Rfc2217Address() : gateway.TcpAddress());

    const TRun read = Cli({"read", "--port", port, "--addr", "3", "--json"});
    EXPECT_EQ(read.Status, 0) << read.Err;
    const QJsonObject values = Json(read.Out).toObject();
    EXPECT_EQ(values.value("q4ma"), 250);
    EXPECT_EQ(values.value("imp-out"), 2.5);
    EXPECT_EQ(values.value("address"), 3);
    ASSERT_TRUE(gateway.WaitReleased());

    const TRun write =
        Cli({"write", "--port", port, "--addr", "3", "--q4ma", "300", "--q20ma", "2000", "--imp-out", "1",
             "--address", "3", "--meter-baud", "2400", "--empty-tube", "no", "--pulse-width", "10"});
    EXPECT_EQ(write.Status, 0) << write.Err;
    EXPECT_EQ(sim.Sim().State().Register(0x20), 0x3E99999Au); // 0.3, at flow scale code 0
    ASSERT_TRUE(gateway.WaitReleased());

    const TRun scan = Cli({"scan", "--port", port, "--from", "2", "--to", "3", "--json"});
    EXPECT_EQ(scan.Status, 0) << scan.Err;
    EXPECT_EQ(Json(scan.Out), (QJsonArray{QJsonObject{{"addr", 3}, {"baud", 2400}}}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, CliNetPortsTest, testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Rfc2217" : "Tcp"); });

// Gateways that cannot be reached or go wrong: the exit status, and what standard error says.
TEST(CliNetPortFaultsTest, EachFaultEndsTheCommandWithAClearWord)
{
    const std::string closed = "tcp://127.0.0.1:" + std::to_string(FreeLocalPort());
    TTcpPeer silent(TTcpPeer::TBehaviour::Silent);
    TTcpPeer closing(TTcpPeer::TBehaviour::CloseOnRequest);
    const struct {
        std::string Port;
        int Status;
        std::vector<std::string> Said;
    } cases[] = {
        {closed,
         4,
         {"vexora-cli: Can't open device COM1", "vexora-cli: COM1 is " + closed + ": connection refused"}},
        {silent.Address("rfc2217://"), 1, {"vexora-cli: DATA read error"}},
        {closing.Address("tcp://"),
         4,
         {"vexora-cli: Device COM1 failed", "vexora-cli: COM1 is " + closing.Address("tcp://")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Port);
        const TRun run = Cli({"read", "--port", QString::fromStdString(c.Port)});
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        for (const std::string& line : c.Said)
            EXPECT_THAT(run.Err, HasSubstr(line + "\n"));
    }
}

} // namespace
