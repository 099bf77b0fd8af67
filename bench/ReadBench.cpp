// One whole "Read" of the main window against the meter simulator, run as a child process on a
// pseudo-terminal registered as COM 1 in a private port directory: the tool's CPU time during the
// read (this process only: the window, the port and its threads) as a share of one core, and the
// read's wall time beside the fixed waits of its exchanges (100 + 500 + 750 + 500 + 750 ms). The
// same Read goes through network ports too: ser2net (a child process) in front of the simulator's
// pseudo-terminal, as COM 2 over RFC 2217 and as COM 3 over raw TCP.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QPushButton>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "AppForms.h"
#include "Application.h"
#include "MessageBoxes.h"
#include "NetGateways.h"
#include "UnitVexora.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFixedWaitsMs = 100 + 500 + 750 + 500 + 750;

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The simulator as a child process, registered as COM 1 in a port directory of its own.
class TSimulatorChild {
public:
    TSimulatorChild()
    {
        char pattern[] = "/tmp/vexora-bench-ports-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("cannot make the port directory");
        FDir = pattern;
        ::setenv("VEXORA_PORT_DIR", FDir.c_str(), 1);
        ::setenv("VEXORA_MACHINE_PORTS", "0", 1);
        FPid = ::fork();
        if (FPid == 0) {
            ::execl(VEXORA_METER_SIM, VEXORA_METER_SIM, "--com", "1", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string entry = FDir + "/COM1";
        struct stat info {};
        for (int i = 0; i < 1000 && ::lstat(entry.c_str(), &info) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::lstat(entry.c_str(), &info) != 0)
            throw std::runtime_error("the meter simulator did not register COM 1");
    }
    ~TSimulatorChild()
    {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        for (const std::string& entry : FEntries)
            ::unlink(entry.c_str());
        ::rmdir(FDir.c_str());
    }

    // Names `target` (a network port's address) as COM `number` in the port directory.
    void Register(int number, const std::string& target)
    {
        const std::string entry = FDir + "/COM" + std::to_string(number);
        if (::symlink(target.c_str(), entry.c_str()) != 0)
            throw std::runtime_error("cannot register " + entry);
        FEntries.push_back(entry);
    }

    // The simulator's pseudo-terminal.
    std::string Device() const
    {
        char target[256] = {};
        const ssize_t n = ::readlink((FDir + "/COM1").c_str(), target, sizeof target - 1);
        return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    }

private:
    std::string FDir;
    std::vector<std::string> FEntries;
    pid_t FPid = -1;
};

// The gateway of the network ports while the benchmarks run.
const TSer2net* g_gateway = nullptr;

void BM_Read(benchmark::State& State, int ComNumber)
{
    Form1->AfComPort1->SetComNumber(static_cast<std::uint16_t>(ComNumber));
    QString failure;
    TMessageHook previous = SetMessageHook([&failure](const TMessageRequest& box) {
        failure = box.Text;
        return TModalResult::mrOk;
    });
    double cpu = 0;
    double wall = 0;
    for (auto _ : State) {
        // A Read does not follow another at once: the gateway has let go of the last one (it
        // turns a new client away for some milliseconds after, which an open waits out).
        g_gateway->WaitReleased();
        const double cpuStart = ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        Form1->Button2->click();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuStart;
        wall += seconds;
        State.SetIterationTime(seconds);
        if (!failure.isEmpty()) {
            State.SkipWithError(failure.toStdString().c_str());
            break;
        }
    }
    SetMessageHook(std::move(previous));
    const auto reads = static_cast<double>(State.iterations());
    State.counters["cpu_share_pct"] = cpu / wall * 100;
    State.counters["cpu_ms"] = cpu / reads * 1000;
    State.counters["fixed_waits_ms"] = kFixedWaitsMs;
    State.counters["beyond_waits_ms"] = wall / reads * 1000 - kFixedWaitsMs;
}
BENCHMARK_CAPTURE(BM_Read, pty, 1)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, rfc2217, 2)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Read, tcp, 3)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TSimulatorChild simulator;
    TSer2net gateway(simulator.Device());
    simulator.Register(2, gateway.Rfc2217Address());
    simulator.Register(3, gateway.TcpAddress());
    g_gateway = &gateway;
    TApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CreateForms();
    benchmark::RunSpecifiedBenchmarks();
    DestroyForms();
    benchmark::Shutdown();
    return 0;
}
