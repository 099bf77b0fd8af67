#include "MeterCommandLine.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <stdexcept>

namespace {

using TApply = std::function<void(TMeterCommandLine&, const std::string&)>;

// Far beyond any meter, and within what the registers' singles hold once scaled.
constexpr int kMaxFlow = 1'000'000'000;
constexpr double kMaxPulseConstant = 1e9;

struct TFlag {
    const char* Name;  // long form, without the dashes
    char Short;        // 0 when none
    const char* Value; // name of the value, nullptr for a switch
    const char* Help;
    TApply Apply;
};

int Number(const std::string& flag, const std::string& text, int low, int high, int base = 10)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high)
        throw std::invalid_argument("--" + flag + " wants a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not '" + text + "'");
    return value;
}

// A decimal number such as 2.5 or 1e3 from `low` to `high`.
double Decimal(const std::string& flag, const std::string& text, double low, double high)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !(value >= low && value <= high))
        throw std::invalid_argument("--" + flag + " wants a decimal number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not '" + text + "'");
    return value;
}

int Register(const std::string& text)
{
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return Number("refuse-register", prefixed ? text.substr(2) : text, 0, 255, 16);
}

// Eight decimal digits, kept as the BCD that the identification number is.
std::uint32_t Identification(const std::string& text)
{
    if (text.size() != 8 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw std::invalid_argument("--id wants eight decimal digits, not '" + text + "'");
    std::uint32_t bcd = 0;
    for (char digit : text)
        bcd = bcd << 4 | static_cast<std::uint32_t>(digit - '0');
    return bcd;
}

// The flags that describe a meter, which --meter takes as its keys.
const std::vector<std::string> kMeterKeys = {"address", "baud",  "id",      "flow-scale", "pulse-scale",
                                             "q4ma",    "q20ma", "imp-out", "empty-tube", "pulse-width"};

TMeterSettings MeterFromList(const std::string& list);

TFaultAnswers Answers(const std::string& text)
{
    if (text == "all")
        return TFaultAnswers::faAll;
    if (text == "acks")
        return TFaultAnswers::faAcks;
    if (text == "frames")
        return TFaultAnswers::faFrames;
    if (text == "user-data")
        return TFaultAnswers::faUserData;
    throw std::invalid_argument("--fault-answers wants all, acks, frames or user-data, not '" + text + "'");
}

const std::vector<TFlag>& Flags()
{
    using L = TMeterCommandLine;
    using S = const std::string&;
    static const std::vector<TFlag> flags = {
        {"com", 0, "N", "register the meter as COM N in the port directory (default 1)",
         [](L& c, S v) { c.Sim.ComNumber = Number("com", v, 1, 999); }},
        {"device", 0, "DEV",
         "serve the serial device DEV, wired to the master's port, instead of a pseudo-terminal "
         "(no COM entry)",
         [](L& c, S v) { c.Sim.Device = v; }},
        {"address", 0, "A", "the meter's primary address, 0 to 250 (default 1)",
         [](L& c, S v) { c.Sim.Meter.Address = Number("address", v, 0, 255); }},
        {"baud", 0, "B", "the meter's baud rate: 300, 600, 1200, 2400, 4800, 9600 or 19200 (default 2400)",
         [](L& c, S v) { c.Sim.Meter.Baud = Number("baud", v, 0, 1000000); }},
        {"id", 0, "N",
         "the identification number of the secondary address, eight digits (default 2024 followed by "
         "the address in four digits, 20240001 for address 1)",
         [](L& c, S v) { c.Sim.Meter.Identification = Identification(v); }},
        {"flow-scale", 0, "C",
         "flow scale code, 0 to 15; registers 0x20 and 0x21 hold Q divided by 1000, 100, "
         "10 or 1 for code 0, 1, 2 or more (default 0)",
         [](L& c, S v) {
             c.Sim.Meter.FlowScaleCode = static_cast<std::uint8_t>(Number("flow-scale", v, 0, 15));
         }},
        {"pulse-scale", 0, "C",
         "pulse scale code, 0 to 15; register 0x22 holds Imp Out times 1000, 100, 10 or 1 "
         "(default 0)",
         [](L& c, S v) {
             c.Sim.Meter.PulseScaleCode = static_cast<std::uint8_t>(Number("pulse-scale", v, 0, 15));
         }},
        {"q4ma", 0, "L", "the flow at 4 mA in l/h (default 100)",
         [](L& c, S v) { c.Sim.Meter.Q4mA = Number("q4ma", v, -kMaxFlow, kMaxFlow); }},
        {"q20ma", 0, "L", "the flow at 20 mA in l/h (default 2000)",
         [](L& c, S v) { c.Sim.Meter.Q20mA = Number("q20ma", v, -kMaxFlow, kMaxFlow); }},
        {"imp-out", 0, "X", "the pulse constant in pulses per litre, e.g. 2.5 (default 1)",
         [](L& c, S v) { c.Sim.Meter.ImpOut = Decimal("imp-out", v, 0, kMaxPulseConstant); }},
        {"empty-tube", 0, nullptr, "the empty-tube test on (default off)",
         [](L& c, S) { c.Sim.Meter.TestEmptyTube = true; }},
        {"pulse-width", 0, "N", "the pulse width code, 0 to 255 (default 10)",
         [](L& c, S v) { c.Sim.Meter.PulseWidth = Number("pulse-width", v, 0, 255); }},
        {"meter", 0, "SETTINGS",
         "one more meter on the line, e.g. address=2,baud=9600,q4ma=50: the flags above from --address "
         "on, as KEY=VALUE (empty-tube alone) separated by commas, defaults for the rest; the flags "
         "themselves describe the first meter; may be given more than once",
         [](L& c, S v) { c.Sim.MoreMeters.push_back(MeterFromList(v)); }},
        {"reaction", 0, "MS",
         "milliseconds from the end of a request to the start of the answer (default 50)",
         [](L& c, S v) { c.Sim.ReactionMs = Number("reaction", v, 0, 60000); }},
        {"replace", 0, nullptr, "take COM N over even when another program has registered it",
         [](L& c, S) { c.Sim.ReplaceEntry = true; }},
        {"log", 0, "FILE", "append every telegram heard and sent (hex, time-stamped) to FILE",
         [](L& c, S v) { c.LogPath = v; }},
        {"verbose", 'v', nullptr, "log to standard error", [](L& c, S) { c.Verbose = true; }},
        {"help", 'h', nullptr, "show this text", [](L& c, S) { c.Help = true; }},
        {"no-answer", 0, nullptr, "fault: never answer (what the meter hears still applies)",
         [](L& c, S) { c.Sim.Faults.NoAnswer = true; }},
        {"silent-second-select", 0, nullptr,
         "fault: no answer to the select telegram of the user data, a Read's second select",
         [](L& c, S) { c.Sim.Faults.SilentSecondSelect = true; }},
        {"late", 0, "MS", "fault: answers come MS milliseconds late",
         [](L& c, S v) { c.Sim.Faults.LateMs = Number("late", v, 0, 60000); }},
        {"partial", 0, "N", "fault: answers stop after their first N bytes",
         [](L& c, S v) { c.Sim.Faults.PartialBytes = Number("partial", v, 1, 4096); }},
        {"bad-checksum", 0, nullptr, "fault: data frames carry a wrong checksum",
         [](L& c, S) { c.Sim.Faults.BadChecksum = true; }},
        {"noise", 0, "N", "fault: N bytes of noise before every answer",
         [](L& c, S v) { c.Sim.Faults.NoiseBytes = Number("noise", v, 0, 4096); }},
        {"echo", 0, nullptr,
         "fault: every telegram comes straight back, as from an adapter that hears itself",
         [](L& c, S) { c.Sim.Faults.Echo = true; }},
        {"refuse-register", 0, "R",
         "fault: writes of register R (hexadecimal, e.g. 22) are neither applied nor "
         "acknowledged; may be given more than once",
         [](L& c, S v) { c.Sim.Faults.RefusedRegisters.set(static_cast<std::size_t>(Register(v))); }},
        {"oversize", 0, "N",
         "fault: answers padded with noise to N bytes (above 104: more than the tool's buffer)",
         [](L& c, S v) { c.Sim.Faults.OversizeBytes = Number("oversize", v, 1, 4096); }},
        {"fault-answers", 0, "KIND",
         "the answers that --late, --partial, --bad-checksum, --noise and --oversize change: all "
         "(default), acks (the E5s), frames (the data frames) or user-data (the user-data frames "
         "only, so that a read gets its configuration data intact)",
         [](L& c, S v) { c.Sim.Faults.Answers = Answers(v); }},
    };
    return flags;
}

const TFlag& Named(const std::string& name)
{
    const auto& flags = Flags();
    return *std::find_if(flags.begin(), flags.end(), [&](const TFlag& flag) { return name == flag.Name; });
}

TMeterSettings MeterFromList(const std::string& list)
{
    TMeterCommandLine meter;
    std::size_t from = 0;
    do {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string item = list.substr(from, comma - from);
        from = comma + 1;
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        if (std::find(kMeterKeys.begin(), kMeterKeys.end(), key) == kMeterKeys.end()) {
            std::string keys;
            for (const std::string& known : kMeterKeys)
                keys += (keys.empty() ? "" : ", ") + known;
            throw std::invalid_argument("--meter " + list + ": '" + key + "' is not one of " + keys);
        }
        const TFlag& flag = Named(key);
        if ((flag.Value != nullptr) != (equals != std::string::npos))
            throw std::invalid_argument(
                "--meter " + list + ": " + key +
                (flag.Value ? " wants a value (" + key + "=" + flag.Value + ")" : " takes no value"));
        try {
            flag.Apply(meter, equals == std::string::npos ? std::string() : item.substr(equals + 1));
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument("--meter " + list + ": " + error.what());
        }
    } while (from <= list.size());
    return meter.Sim.Meter;
}

const TFlag& Find(const std::string& arg, std::string& inlineValue)
{
    std::string name;
    if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
        for (const TFlag& flag : Flags())
            if (flag.Short == arg[1])
                return flag;
    } else if (arg.rfind("--", 0) == 0) {
        name = arg.substr(2);
        if (const auto equals = name.find('='); equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        for (const TFlag& flag : Flags())
            if (name == flag.Name)
                return flag;
    }
    throw std::invalid_argument("unknown flag '" + arg + "'");
}

} // namespace

TMeterCommandLine ParseMeterCommandLine(const std::vector<std::string>& args)
{
    TMeterCommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        const bool hasInline = args[i].find('=') != std::string::npos && args[i].rfind("--", 0) == 0;
        const TFlag& flag = Find(args[i], value);
        if (!flag.Value && hasInline)
            throw std::invalid_argument("--" + std::string(flag.Name) + " takes no value");
        if (flag.Value && !hasInline) {
            if (i + 1 >= args.size())
                throw std::invalid_argument("--" + std::string(flag.Name) + " wants a value (" + flag.Value +
                                            ")");
            value = args[++i];
        }
        flag.Apply(line, value);
    }
    return line;
}

std::string MeterUsage()
{
    constexpr std::size_t kIndent = 28;
    constexpr std::size_t kWidth = 100;
    std::string text =
        "Usage: vexora-meter-sim [flags]\n"
        "Simulates the flow meter on a pseudo-terminal registered as COM N in the port directory\n"
        "($VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else /tmp/vexora-ports-<uid>), until\n"
        "interrupted. More meters share the line with --meter; each answers at its own baud rate only.\n\n";
    for (const TFlag& flag : Flags()) {
        std::string line = flag.Short ? std::string("  -") + flag.Short + ", --" : std::string("      --");
        line += flag.Name;
        if (flag.Value)
            line += std::string(" ") + flag.Value;
        // The help text word-wrapped into a column of its own.
        std::size_t from = 0;
        const std::string help = flag.Help;
        while (from < help.size()) {
            line.resize(std::max(line.size() + 2, kIndent), ' ');
            std::size_t to = help.size();
            if (to - from > kWidth - kIndent)
                to = help.rfind(' ', from + kWidth - kIndent);
            text += line + help.substr(from, to - from) + "\n";
            line.clear();
            from = to + 1;
        }
    }
    return text;
}
