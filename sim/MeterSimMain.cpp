// vexora-meter-sim: the meter simulator as a command. It runs until SIGINT, SIGTERM or SIGHUP and
// then removes its COM entry. Exit status: 0 after a signal, 1 when the simulator cannot start or
// its line fails, 2 for a bad command line.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "MeterCommandLine.h"
#include "MeterSimulator.h"

namespace {

std::atomic<TMeterSimulator*> g_simulator{nullptr};
volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void OnStopSignal(int)
{
    g_stopRequested = 1;
    if (TMeterSimulator* simulator = g_simulator.load())
        simulator->Stop();
}

void CatchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A reader of the output or the log that went away must not end the simulator unannounced.
    std::signal(SIGPIPE, SIG_IGN);
}

int Serve(const TMeterCommandLine& line)
{
    TMeterLog log;
    std::FILE* logFile = nullptr;
    if (!line.LogPath.empty()) {
        logFile = std::fopen(line.LogPath.c_str(), "a");
        if (!logFile) {
            std::perror(("vexora-meter-sim: " + line.LogPath).c_str());
            return 1;
        }
        log.AddFile(logFile);
    }
    if (line.Verbose)
        log.AddFile(stderr);
    int status = 0;
    try {
        TMeterSimulator simulator(line.Sim, &log);
        g_simulator = &simulator;
        if (g_stopRequested)
            simulator.Stop();
        if (line.Sim.Device.empty())
            std::printf("vexora-meter-sim: COM%d = %s", line.Sim.ComNumber, simulator.DevicePath().c_str());
        else
            std::printf("vexora-meter-sim: on %s", simulator.DevicePath().c_str());
        for (std::size_t meter = 0; meter < simulator.MeterCount(); ++meter) {
            const TMeterState state = simulator.State(meter);
            std::printf("%s address %d, %d baud", meter == 0 ? "," : ";", state.Address(), state.Baud());
        }
        std::printf("\n");
        std::fflush(stdout);
        try {
            simulator.Run();
        } catch (...) {
            g_simulator = nullptr;
            throw;
        }
        g_simulator = nullptr;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexora-meter-sim: %s\n", error.what());
        status = 1;
    }
    if (logFile)
        std::fclose(logFile);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    TMeterCommandLine line;
    try {
        line = ParseMeterCommandLine({argv + 1, argv + argc});
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "vexora-meter-sim: %s\nTry 'vexora-meter-sim --help'.\n", error.what());
        return 2;
    }
    if (line.Help) {
        std::fputs(MeterUsage().c_str(), stdout);
        return 0;
    }
    CatchStopSignals();
    return Serve(line);
}
