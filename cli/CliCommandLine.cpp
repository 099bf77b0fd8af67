#include "CliCommandLine.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "StrToFloat.h"

namespace {

struct TOptionSpec {
    const char* Name;
    bool TakesValue;
    bool Required;
};

struct TCommandSpec {
    const char* Name;
    std::vector<TOptionSpec> Options;
};

const TOptionSpec kPort{"port", true, true};
const TOptionSpec kBaud{"baud", true, false};
const TOptionSpec kAddr{"addr", true, false};
const TOptionSpec kJson{"json", false, false};

const std::vector<TCommandSpec>& Commands()
{
    static const std::vector<TCommandSpec> commands = {
        {"read", {kPort, kBaud, kAddr, kJson}},
        {"write",
         {kPort,
          kBaud,
          kAddr,
          {"q4ma", true, false},
          {"q20ma", true, false},
          {"imp-out", true, false},
          {"address", true, false},
          {"meter-baud", true, false},
          {"empty-tube", true, false},
          {"pulse-width", true, false},
          {"from", true, false},
          {"broadcast", false, false}}},
        {"reset", {kPort, kBaud, kAddr, {"yes", false, false}}},
        {"scan", {kPort, kBaud, {"from", true, false}, {"to", true, false}, kJson}},
        {"ports", {kJson}},
        {"help", {}},
    };
    return commands;
}

std::string Trimmed(const std::string& Text)
{
    const auto first = Text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return Text.substr(first, Text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::optional<std::string> TCliRequest::Value(const std::string& Name) const
{
    const auto found = Options.find(Name);
    if (found == Options.end())
        return std::nullopt;
    return found->second;
}

TCliRequest ParseCommandLine(const std::vector<std::string>& Args)
{
    TCliRequest request;
    if (Args.empty() || std::any_of(Args.begin(), Args.end(),
                                    [](const std::string& arg) { return arg == "--help" || arg == "-h"; })) {
        request.Command = "help";
        return request;
    }
    request.Command = Args[0];
    const auto command = std::find_if(Commands().begin(), Commands().end(),
                                      [&](const TCommandSpec& spec) { return request.Command == spec.Name; });
    if (command == Commands().end())
        throw EUsageError("unknown command '" + request.Command + "'");
    for (std::size_t i = 1; i < Args.size(); ++i) {
        const std::string& arg = Args[i];
        if (!arg.starts_with("--"))
            throw EUsageError(request.Command + ": unexpected argument '" + arg + "'");
        const auto equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const auto option = std::find_if(command->Options.begin(), command->Options.end(),
                                         [&](const TOptionSpec& spec) { return name == spec.Name; });
        if (option == command->Options.end())
            throw EUsageError(request.Command + " takes no option --" + name);
        if (request.Has(name))
            throw EUsageError(request.Command + ": --" + name + " is given twice");
        std::string value;
        if (equals != std::string::npos) {
            if (!option->TakesValue)
                throw EUsageError(request.Command + ": --" + name + " takes no value");
            value = arg.substr(equals + 1);
        } else if (option->TakesValue) {
            if (i + 1 >= Args.size())
                throw EUsageError(request.Command + ": --" + name + " needs a value");
            value = Args[++i];
        }
        request.Options[name] = value;
    }
    for (const TOptionSpec& option : command->Options)
        if (option.Required && !request.Has(option.Name))
            throw EUsageError(request.Command + " needs --" + option.Name);
    return request;
}

std::int32_t ParseInteger(const std::string& Text)
{
    std::string digits = Trimmed(Text);
    if (digits.starts_with('+'))
        digits.erase(0, 1);
    std::int32_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || error != std::errc() || stop != end)
        throw EConvertError("'" + Text + "' is not a valid integer value");
    return value;
}

double ParseFloat(const std::string& Text)
{
    return StrToFloat(QString::fromStdString(Text), QStringLiteral("."));
}

bool ParseYesNo(const std::string& Text)
{
    std::string lower = Trimmed(Text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "yes" || lower == "no")
        return lower == "yes";
    throw EConvertError("'" + Text + "' is neither yes nor no");
}

std::vector<std::int32_t> ParseIntegerList(const std::string& Text)
{
    std::vector<std::int32_t> values;
    std::size_t start = 0;
    for (;;) {
        const auto comma = Text.find(',', start);
        values.push_back(ParseInteger(Text.substr(start, comma - start)));
        if (comma == std::string::npos)
            return values;
        start = comma + 1;
    }
}

std::string UsageText()
{
    return R"(Usage: vexora-cli COMMAND [OPTIONS]

Reads, writes and resets the flow meter over M-Bus, with the telegrams, waits and
refusals of the Vexora window, and finds the meters on a line.

Commands:
  read  --port P [--baud B] [--addr A] [--json]
        the meter's values (as "Read" shows them), with units and scale codes
  write --port P [--baud B] [--addr A] [VALUES] [--from FILE] [--broadcast]
        writes registers 0x20 to 0x24 (as "Write" does); values not given are read
        from the meter first. VALUES:
          --q4ma L  --q20ma L   flows at 4 mA and 20 mA, l/h
          --imp-out X           pulse constant, pulses per litre
          --address N           the meter's own address (0 to 255)
          --meter-baud N        the meter's own baud rate (0 to 25599)
          --empty-tube yes|no   the empty-tube test
          --pulse-width N       pulse width code (0 to 250)
        --from FILE takes the values from a saved "read --json"; VALUES given as
        well take precedence. --addr 255 writes to every meter, unanswered and
        unscaled, only with --broadcast and every value given.
  reset --port P [--baud B] [--addr A] --yes
        resets the main volume counter (registers 0x30 and 0x31)
  scan  --port P [--baud B[,B...]] [--from A] [--to A] [--json]
        finds the meters by primary address (SND_NKE answered by E5) at each baud
        rate (default 2400), addresses A to A (default 0 to 250)
  ports [--json]
        the COM numbers with their devices, drivers and USB adapters

Common options:
  --port P   a COM number (3, COM3), a device path (/dev/ttyUSB0) or a network
             port (rfc2217://HOST:PORT, tcp://HOST:PORT)
  --baud B   the baud rate of the link (default 2400)
  --addr A   the meter's primary address (default 1)
  --json     JSON on standard output
  --help     this text

Exit status: 0 done, 1 no answer, 2 usage error, 3 refused input, 4 port error.
)";
}
