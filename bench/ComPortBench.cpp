// Latency from a byte's arrival on a pseudo-terminal to the user-interface thread: the port
// component's OnDataRecived beside QSerialPort's readyRead, on the same pseudo-terminal in the
// same run. Each iteration sends one byte from the far end and runs the main thread's event loop
// until the handler has it; the counters give the median and the 99th percentile.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <vector>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCom = 221;
constexpr int kMissedMs = 5000;

AfPtyPort* g_pty = nullptr;

// Runs the iterations: Arm() prepares the handler, the far end sends a byte, and the event loop
// runs until the handler calls Done() with the time it ran.
class TLatencyRun {
public:
    void Done(Clock::time_point At)
    {
        FArrived = At;
        FLoop.quit();
    }

    void Run(benchmark::State& State)
    {
        std::vector<double> latencies;
        const std::uint8_t byte = 0x55;
        for (auto _ : State) {
            FArrived = {};
            QTimer::singleShot(kMissedMs, &FLoop, &QEventLoop::quit);
            const Clock::time_point sent = Clock::now();
            g_pty->Send(&byte, 1);
            FLoop.exec();
            if (FArrived == Clock::time_point{}) {
                State.SkipWithError("the byte did not arrive");
                break;
            }
            const double seconds = std::chrono::duration<double>(FArrived - sent).count();
            State.SetIterationTime(seconds);
            latencies.push_back(seconds * 1e6);
        }
        if (latencies.empty())
            return;
        std::sort(latencies.begin(), latencies.end());
        State.counters["median_us"] = latencies[latencies.size() / 2];
        State.counters["p99_us"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }

private:
    QEventLoop FLoop;
    Clock::time_point FArrived;
};

void BM_ComPortOnDataRecived(benchmark::State& State)
{
    TAfComPort port(nullptr);
    port.SetComNumber(kCom);
    TLatencyRun run;
    port.OnDataRecived = [&](TObject*, std::int32_t Count) {
        const Clock::time_point at = Clock::now();
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(Count));
        port.ReceiveData(bytes.data(), Count);
        run.Done(at);
    };
    port.OpenPort();
    run.Run(State);
    port.ClosePort();
}
BENCHMARK(BM_ComPortOnDataRecived)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_QSerialPortReadyRead(benchmark::State& State)
{
    QSerialPort serial;
    serial.setPortName(QString::fromStdString(g_pty->DevicePath()));
    if (!serial.open(QIODevice::ReadWrite)) {
        State.SkipWithError("QSerialPort cannot open the pseudo-terminal");
        return;
    }
    TLatencyRun run;
    QObject::connect(&serial, &QSerialPort::readyRead, [&] {
        const Clock::time_point at = Clock::now();
        serial.readAll();
        run.Done(at);
    });
    run.Run(State);
    serial.close();
}
BENCHMARK(BM_QSerialPortReadyRead)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    // Only the benchmark's own pseudo-terminal is a port here.
    ::setenv("VEXORA_MACHINE_PORTS", "0", 1);
    AfTestPortDirectory();
    QCoreApplication app(argc, argv);
    AfPtyPort pty(kCom);
    g_pty = &pty;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_pty = nullptr;
    return 0;
}
