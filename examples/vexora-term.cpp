// vexora-term: a terminal on a serial port, built on the port component TAfComPort alone.
//
//     vexora-term [options] PORT
//
// Standard input goes to the port, what the port receives goes to standard output, and line
// errors and modem-line changes are reported on standard error (run with --help for the options).
//
// What the example shows:
// - A port component fires its events on the thread that made the first component, served by
//   that thread's Qt event loop: main() makes a QCoreApplication first and runs its loop.
// - The line settings are properties, set before OpenPort().
// - OnDataRecived says how many received bytes wait; ReceiveData takes them.
// - SendData queues all bytes or none (then it raises): the terminal reads from standard input
//   only what OutputSpace() says fits, and waits for OnOutBufFree when the queue is full.
// - An error that reaches the event thread (a device that goes away) is raised again on the
//   main thread and goes to the application's exception display, which the program installs.
// - A device path becomes a COM number with AssignComPort, in this process only.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfComMapping.h>

// The component's names; the platform's stay behind platform::.
using namespace vexora::serial;

namespace {

const char kUsage[] = R"(usage: vexora-term [options] PORT

PORT is a COM number (3 or COM3) or a device path (/dev/ttyUSB0).

  -b, --baud N      baud rate (default 9600)
  -f, --frame F     data bits, parity (N, O, E, M or S) and stop bits (1, 1.5 or 2),
                    e.g. 8N1 (default), 8E1, 7O2
      --flow KIND   flow control: none (default), rtscts, xonxoff or dtrdsr
  -x, --hex         show received bytes as hex, 16 to a line
      --hex-input   read standard input as hex bytes ("10 5B 01 5C 16")
  -w, --wait MS     at the end of standard input, go on until the port has been quiet
                    for MS milliseconds (default 500)
  -h, --help        this text

When standard input is a terminal, every key goes to the port as typed (Ctrl-C too)
and Ctrl-] ends. Otherwise the end of standard input ends, once all of it has gone
out and the port has been quiet for the --wait time.
)";

constexpr char kQuitKey = 0x1D; // Ctrl-]
// The COM number a device path is assigned to. The assignment holds in this process only, so
// any number will do.
constexpr int kPathComNumber = 1;

struct TOptions {
    int ComNumber = 0;
    std::string DevicePath; // when PORT is a path, which ComNumber is then assigned to
    int Baud = 9600;
    TAfDatabits Databits = db8;
    TAfParity Parity = paNone;
    TAfStopbits Stopbits = sbOne;
    TAfFlowControl FlowControl = fwNone;
    bool Hex = false;
    bool HexInput = false;
    int WaitMs = 500;
    bool Help = false;
};

int ParseNumber(std::string_view text, const char* what, int low, int high)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw std::invalid_argument(std::string(what) + " must be a number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not '" + std::string(text) + "'");
    return value;
}

// "8N1", "7E2", "5N1.5".
void ParseFrame(const std::string& text, TOptions& options)
{
    static const std::string kParities = "NOEMS"; // in the order of TAfParity
    const std::string stop = text.size() > 2 ? text.substr(2) : "";
    const auto parity =
        text.size() > 2 ? kParities.find(static_cast<char>(std::toupper(text[1]))) : std::string::npos;
    if (text.size() < 3 || text[0] < '5' || text[0] > '8' || parity == std::string::npos ||
        (stop != "1" && stop != "1.5" && stop != "2"))
        throw std::invalid_argument("the frame is data bits 5 to 8, parity N, O, E, M or S and stop bits "
                                    "1, 1.5 or 2, e.g. 8N1, not '" +
                                    text + "'");
    options.Databits = static_cast<TAfDatabits>(db5 + (text[0] - '5'));
    options.Parity = static_cast<TAfParity>(parity);
    options.Stopbits = stop == "1" ? sbOne : stop == "2" ? sbTwo : sbOneAndHalf;
}

void ParsePort(const std::string& text, TOptions& options)
{
    if (text.find('/') != std::string::npos) {
        options.DevicePath = text;
        options.ComNumber = kPathComNumber;
        return;
    }
    std::string_view number = text;
    if (number.size() > 3 && (number.substr(0, 3) == "COM" || number.substr(0, 3) == "com"))
        number.remove_prefix(3);
    options.ComNumber = ParseNumber(number, "PORT (a COM number, or a device path with a '/')", 1, 65535);
}

TOptions ParseOptions(int argc, char* argv[])
{
    TOptions options;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        const bool takesValue = arg == "-b" || arg == "--baud" || arg == "-f" || arg == "--frame" ||
                                arg == "--flow" || arg == "-w" || arg == "--wait";
        if (takesValue) {
            if (++i == argc)
                throw std::invalid_argument(arg + " needs a value");
            value = argv[i];
        }
        if (arg == "-h" || arg == "--help")
            options.Help = true;
        else if (arg == "-b" || arg == "--baud")
            options.Baud = ParseNumber(value, "the baud rate", 1, 4000000);
        else if (arg == "-f" || arg == "--frame")
            ParseFrame(value, options);
        else if (arg == "--flow") {
            // In the order of TAfFlowControl.
            static const char* const kKinds[] = {"none", "xonxoff", "rtscts", "dtrdsr"};
            const auto kind = std::find(std::begin(kKinds), std::end(kKinds), value);
            if (kind == std::end(kKinds))
                throw std::invalid_argument("--flow is none, rtscts, xonxoff or dtrdsr, not '" + value + "'");
            options.FlowControl = static_cast<TAfFlowControl>(kind - std::begin(kKinds));
        } else if (arg == "-x" || arg == "--hex")
            options.Hex = true;
        else if (arg == "--hex-input")
            options.HexInput = true;
        else if (arg == "-w" || arg == "--wait")
            options.WaitMs = ParseNumber(value, "--wait", 0, 3600000);
        else if (arg.starts_with("-"))
            throw std::invalid_argument("unknown option " + arg);
        else if (havePort)
            throw std::invalid_argument("one PORT only, not '" + arg + "' as well");
        else {
            ParsePort(arg, options);
            havePort = true;
        }
    }
    if (!havePort && !options.Help)
        throw std::invalid_argument("no PORT given");
    return options;
}

void Report(const std::string& text)
{
    std::fprintf(stderr, "vexora-term: %s\n", text.c_str());
}

// ---- standard input as a terminal in raw mode, given back however the program ends
termios g_savedTerminal;
bool g_terminalRaw = false;

void RestoreTerminal()
{
    if (g_terminalRaw)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
}

void RestoreTerminalAndDie(int signal)
{
    RestoreTerminal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Keys go through one by one, unechoed and unchanged (Ctrl-C, Ctrl-Z and Ctrl-S included);
// output processing stays, so that lines on the screen still start at the left.
void MakeTerminalRaw()
{
    if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return;
    termios raw = g_savedTerminal;
    raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return;
    g_terminalRaw = true;
    for (int signal : {SIGTERM, SIGHUP, SIGQUIT})
        std::signal(signal, RestoreTerminalAndDie);
}

// ---- hex: bytes in, text out
class THexReader {
public:
    // Appends the bytes that the hex digits of Text make to Bytes. Blanks and line ends may stand
    // between bytes; anything else is reported and skipped.
    void Read(std::string_view Text, std::string& Bytes)
    {
        for (char c : Text) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                if (!std::isspace(static_cast<unsigned char>(c)))
                    Report(std::string("not a hex digit, skipped: '") + c + "'");
                continue;
            }
            if (FHigh < 0) {
                FHigh = digit;
            } else {
                Bytes += static_cast<char>(FHigh * 16 + digit);
                FHigh = -1;
            }
        }
    }
    bool HalfByte() const { return FHigh >= 0; }

private:
    int FHigh = -1; // the first digit of a byte, while its second has not come
};

class THexWriter {
public:
    std::string Write(std::string_view Bytes)
    {
        static const char kDigits[] = "0123456789ABCDEF";
        std::string text;
        for (unsigned char byte : Bytes) {
            if (FColumn > 0)
                text += FColumn == 16 ? '\n' : ' ';
            if (FColumn == 16)
                FColumn = 0;
            text += kDigits[byte >> 4];
            text += kDigits[byte & 15];
            ++FColumn;
        }
        return text;
    }
    // The line end that the last line still lacks.
    std::string End() { return std::exchange(FColumn, 0) > 0 ? "\n" : ""; }

private:
    int FColumn = 0; // bytes on the current line
};

// ---- the terminal
class TTerminal {
public:
    explicit TTerminal(const TOptions& Options) : FOptions(Options)
    {
        // The component opens COM numbers; a path becomes one in this process.
        if (!Options.DevicePath.empty())
            platform::AssignComPort(Options.ComNumber, Options.DevicePath);
        // The line settings: properties of the component, in force from OpenPort on (and at
        // once while the port is open).
        FPort.SetComNumber(Options.ComNumber);
        FPort.SetUserBaudRate(Options.Baud); // any rate; BaudRate becomes brUser
        FPort.SetDatabits(Options.Databits);
        FPort.SetParity(Options.Parity);
        FPort.SetStopbits(Options.Stopbits);
        FPort.SetFlowControl(Options.FlowControl);
        FPort.SetOutBufSize(64 * 1024);

        // The events come on this (the main) thread, one at a time.
        FPort.OnDataRecived = [this](TObject*, std::int32_t Count) { Received(Count); };
        FPort.OnOutBufFree = [this](TObject*) { OutputDrained(); };
        FPort.OnLineError = [](TObject*, platform::DWORD Errors) {
            Report("line error:" + LineErrorNames(Errors));
        };
        FPort.OnCTSChanged = [](TObject*) { Report("CTS changed"); };
        FPort.OnDSRChanged = [](TObject*) { Report("DSR changed"); };
        FPort.OnRLSDChanged = [](TObject*) { Report("DCD changed"); };
        FPort.OnRINGDetected = [](TObject*) { Report("RING"); };

        FInput.setEnabled(false); // from the open on
        // A Qt slot must not let an exception out: it goes to the exception display (main()).
        QObject::connect(&FInput, &QSocketNotifier::activated, [this] {
            try {
                ReadInput();
            } catch (...) {
                ApplicationHandleException(std::current_exception());
            }
        });
        FQuiet.setSingleShot(true);
        FQuiet.setInterval(Options.WaitMs);
        QObject::connect(&FQuiet, &QTimer::timeout, [] { QCoreApplication::exit(0); });
    }

    ~TTerminal() { WriteOut(FHexOut.End()); }

    // Raises the component's error when the port cannot be opened.
    void Open()
    {
        FPort.OpenPort();
        FInput.setEnabled(true);
    }

private:
    static std::string LineErrorNames(platform::DWORD Errors)
    {
        static const std::pair<platform::DWORD, const char*> kNames[] = {
            {platform::CE_BREAK, "break"},
            {platform::CE_FRAME, "framing"},
            {platform::CE_OVERRUN, "overrun"},
            {platform::CE_RXOVER, "input queue overflow"},
            {platform::CE_RXPARITY, "parity"}};
        std::string names;
        for (const auto& [flag, name] : kNames)
            if (Errors & flag)
                names += std::string(" ") + name;
        return names;
    }

    void ReadInput()
    {
        // Never more than the output queue takes now: SendData takes all or nothing.
        const std::int32_t space = FPort.OutputSpace();
        if (space <= 0) {
            FInput.setEnabled(false); // until OnOutBufFree
            return;
        }
        char buffer[4096];
        const ssize_t count = ::read(STDIN_FILENO, buffer, std::min<std::size_t>(sizeof buffer, space));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0) {
            if (count < 0)
                Report(std::string("standard input: ") + std::strerror(errno));
            InputEnded();
            return;
        }
        std::string_view input(buffer, static_cast<std::size_t>(count));
        const std::size_t quit = g_terminalRaw ? input.find(kQuitKey) : std::string_view::npos;
        Send(input.substr(0, quit));
        if (quit != std::string_view::npos)
            QCoreApplication::exit(0); // at once: flow control may hold what is still queued
    }

    void Send(std::string_view Input)
    {
        std::string bytes;
        if (FOptions.HexInput)
            FHexIn.Read(Input, bytes);
        else
            bytes = Input;
        if (!bytes.empty())
            FPort.SendData(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }

    void InputEnded()
    {
        FInput.setEnabled(false);
        FInputEnded = true;
        if (FHexIn.HalfByte())
            Report("the last hex digit has no second one: dropped");
        OutputDrained();
    }

    // Every byte queued has gone to the device (or nothing was queued).
    void OutputDrained()
    {
        if (FPort.OutputCount() > 0)
            return; // more was queued since; another OnOutBufFree follows
        if (!FInputEnded)
            FInput.setEnabled(true);
        else if (!FQuiet.isActive())
            FQuiet.start();
    }

    void Received(std::int32_t Count)
    {
        char buffer[4096];
        while (Count > 0) {
            const std::int32_t chunk = std::min<std::int32_t>(Count, sizeof buffer);
            FPort.ReceiveData(buffer, chunk);
            Count -= chunk;
            const std::string_view bytes(buffer, static_cast<std::size_t>(chunk));
            WriteOut(FOptions.Hex ? FHexOut.Write(bytes) : std::string(bytes));
        }
        if (FQuiet.isActive())
            FQuiet.start(); // not quiet yet: the wait starts again
    }

    void WriteOut(std::string_view Bytes)
    {
        while (!Bytes.empty()) {
            const ssize_t written = ::write(STDOUT_FILENO, Bytes.data(), Bytes.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0) { // nobody reads any more (a closed pipe): nothing left to do
                QCoreApplication::exit(errno == EPIPE ? 0 : 1);
                return;
            }
            Bytes.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    TOptions FOptions;
    TAfComPort FPort{nullptr}; // no owner: the terminal owns it
    QSocketNotifier FInput{STDIN_FILENO, QSocketNotifier::Read};
    QTimer FQuiet;
    THexReader FHexIn;
    THexWriter FHexOut;
    bool FInputEnded = false;
};

} // namespace

int main(int argc, char* argv[])
{
    TOptions options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const std::invalid_argument& error) {
        Report(error.what());
        std::fprintf(stderr, "Try 'vexora-term --help'.\n");
        return 2;
    }
    if (options.Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN); // a closed standard output is an error of write(), not death

    // The thread that makes the first component serves its events: this one, through the
    // application's event loop.
    QCoreApplication application(argc, argv);
    // Where errors raised on the main thread by the component's event hand-over go.
    SetApplicationExceptionHandler([](std::exception_ptr Error) {
        try {
            std::rethrow_exception(Error);
        } catch (const std::exception& error) {
            Report(error.what());
        }
        QCoreApplication::exit(1);
    });

    TTerminal terminal(options);
    try {
        terminal.Open();
    } catch (const Exception& error) {
        // The message names the COM number, which a path was assigned to: name both.
        const std::string com = "COM" + std::to_string(options.ComNumber);
        Report((options.DevicePath.empty() ? com : options.DevicePath + " (" + com + ")") + ": " +
               error.what());
        return 1;
    }
    if (::isatty(STDIN_FILENO)) {
        MakeTerminalRaw();
        Report("on " + ComDeviceName(options.ComNumber) + "; Ctrl-] ends");
    }
    const int status = application.exec();
    RestoreTerminal();
    return status;
}
