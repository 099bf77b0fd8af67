// The command line of vexora-cli: the command, its options and the exit statuses.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// What the program's exit status says.
enum TExitStatus : int {
    esDone = 0,
    esNoAnswer = 1,  // the meter did not answer or acknowledge; a scan found none
    esUsage = 2,     // the command line itself: an unknown command or option, a value missing
    esRefused = 3,   // a value the tool refuses (as the window does), or a confirmation not given
    esPortError = 4, // the port cannot be found, opened, set up, written or read
};

// A mistake in the command line; its message says which.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value the tool refuses before anything is sent; its message says why.
class ERefusedInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TCliRequest {
    std::string Command; // read, write, reset, scan, ports or help
    // The options given, by name without the dashes: the value, or "" for a flag.
    std::map<std::string, std::string> Options;

    bool Has(const std::string& Name) const { return Options.count(Name) != 0; }
    std::optional<std::string> Value(const std::string& Name) const;
};

// Reads argv[1..]: the command, then options as "--name value" or "--name=value" and flags as
// "--name". "--help" or "-h" anywhere, or no arguments, make the command "help". Raises
// EUsageError for an unknown command, an option the command does not take, a flag given a value,
// an option without its value, an option given twice and a required option missing.
TCliRequest ParseCommandLine(const std::vector<std::string>& Args);

// The text of --help.
std::string UsageText();

// The values of options, as the window reads its fields; each raises EConvertError (StrToFloat.h)
// for a text that is none.
// A decimal integer with an optional sign, blanks around it allowed, in the 32-bit range ("'<text>'
// is not a valid integer value").
std::int32_t ParseInteger(const std::string& Text);
// A decimal number with "." as decimal separator and an optional exponent ("'<text>' is not a
// valid floating point value").
double ParseFloat(const std::string& Text);
// "yes" or "no" in any case ("'<text>' is neither yes nor no").
bool ParseYesNo(const std::string& Text);
// Comma-separated integers ("2400,9600"), each through ParseInteger.
std::vector<std::int32_t> ParseIntegerList(const std::string& Text);
