// vexora-linelog: prints the lines a serial port receives, each stamped with the time its first
// byte came, and at the end how many bytes and lines came. Ctrl-C ends it.
//
//     vexora-linelog PORT [BAUD]      PORT: a COM number (3) or a device path; BAUD: 9600
//
// What the example shows:
// - A data dispatcher linked to a port component (SetConnComponent) takes every block the port
//   receives on the port's event thread, straight into a ring of its own, and serves it on the
//   main thread to its listeners, one after the other.
// - Every listener of a round reads the same bytes, each from the round's first byte on: here a
//   line logger and a byte counter both read all of them.
// - The dispatcher's own events: OnPortOpen and OnPortClose.
// - A Qt program that ends cleanly on Ctrl-C: the signal handler only writes to a pipe, which
//   the event loop watches.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <unistd.h>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfDataDispatcher.h>
#include <vexora/serial/platform/AfComMapping.h>

// The component's names; the platform's stay behind platform::.
using namespace vexora::serial;

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

// "14:02:11.734"
std::string TimeOfDay(std::chrono::system_clock::time_point When)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(When);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

// Cuts what it reads into lines (LF or CR LF ends one) and prints each with the time of its first
// byte; bytes that are no printable text show as \xNN.
class TLineLogger : public TAfDataDispatcherListener {
public:
    // Called on the main thread for every round of received data.
    void DispatcherData(TAfDataDispatcher& Sender) override
    {
        char buffer[512];
        for (std::int32_t count; (count = Sender.ReadData(buffer, sizeof buffer)) > 0;)
            for (char c : std::string_view(buffer, static_cast<std::size_t>(count)))
                Take(c);
    }

    // Prints a line that has no end yet.
    void Flush()
    {
        if (FStarted)
            PrintLine();
    }

    int Lines() const { return FLines; }

private:
    void Take(char c)
    {
        if (!FStarted) {
            FStarted = true;
            FFirstByte = std::chrono::system_clock::now();
        }
        if (c == '\n') {
            if (FLine.ends_with('\r'))
                FLine.pop_back();
            PrintLine();
        } else {
            FLine += c;
        }
    }

    void PrintLine()
    {
        std::string shown;
        for (unsigned char c : FLine) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
            shown += escaped;
        }
        std::printf("%s  %s\n", TimeOfDay(FFirstByte).c_str(), shown.c_str());
        std::fflush(stdout);
        FLine.clear();
        FStarted = false;
        ++FLines;
    }

    std::string FLine;
    bool FStarted = false;
    std::chrono::system_clock::time_point FFirstByte;
    int FLines = 0;
};

// Counts the bytes. It has to read them to count them: at the end of a round the dispatcher drops
// as many bytes as the listener that read most has taken, whatever the others did.
class TByteCounter : public TAfDataDispatcherListener {
public:
    void DispatcherData(TAfDataDispatcher& Sender) override
    {
        char buffer[512];
        for (std::int32_t count; (count = Sender.ReadData(buffer, sizeof buffer)) > 0;)
            FBytes += count;
    }
    long long Bytes() const { return FBytes; }

private:
    long long FBytes = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: vexora-linelog PORT [BAUD]\n");
        return 2;
    }
    const std::string portName = argv[1];
    int comNumber = 0;
    if (portName.find('/') != std::string::npos) {
        comNumber = 1; // a device path: assigned to COM 1, in this process only
        platform::AssignComPort(comNumber, portName);
    } else {
        comNumber = std::atoi(portName.c_str() + (portName.starts_with("COM") ? 3 : 0));
    }
    const int baud = argc == 3 ? std::atoi(argv[2]) : 9600;
    if (comNumber < 1 || comNumber > 65535 || baud < 1) {
        std::fprintf(stderr, "vexora-linelog: PORT is a COM number or a device path, BAUD a rate\n");
        return 2;
    }

    // This thread makes the first component, so its event loop serves the port's events and the
    // dispatcher's rounds.
    QCoreApplication application(argc, argv);

    TAfComPort port(nullptr);
    port.SetComNumber(comNumber);
    port.SetUserBaudRate(baud); // 8N1, no flow control: the component's defaults

    // A ring of 64 KiB: room for what arrives while the main thread is busy.
    TAfDataDispatcher dispatcher(nullptr, 64 * 1024);
    dispatcher.SetConnComponent(&port);
    dispatcher.OnPortOpen = [&](TObject*) {
        std::fprintf(stderr, "vexora-linelog: %s open\n", portName.c_str());
    };
    dispatcher.OnPortClose = [&](TObject*) {
        std::fprintf(stderr, "vexora-linelog: %s closed\n", portName.c_str());
    };

    // Both listeners read every byte; they are served in the order they registered.
    TLineLogger logger;
    TByteCounter counter;
    dispatcher.RegisterListener(&logger);
    dispatcher.RegisterListener(&counter);

    if (::pipe(g_signalPipe) != 0)
        return 1;
    QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    try {
        port.OpenPort();
    } catch (const Exception& error) {
        std::fprintf(stderr, "vexora-linelog: %s: %s\n", portName.c_str(), error.what());
        return 1;
    }
    application.exec();

    port.ClosePort(); // the dispatcher hears of it first (OnPortClose)
    logger.Flush();
    std::fprintf(stderr, "vexora-linelog: %lld bytes, %d lines\n", counter.Bytes(), logger.Lines());
    return 0;
}
