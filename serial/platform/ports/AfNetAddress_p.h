// Inside the comm platform: the addresses of network ports, `rfc2217://HOST:PORT` (a serial port
// behind a Telnet COM Port Control gateway) and `tcp://HOST:PORT` (raw bytes), as a COM number's
// device names them; and why this process last failed to reach one. Any thread.
#pragma once

#include <string>

namespace vexora::serial::platform {

enum class AfNetPortKind { Rfc2217, Tcp };

struct AfNetAddress {
    AfNetPortKind Kind = AfNetPortKind::Tcp;
    std::string Host; // a name, an IPv4 address or an IPv6 address (without its brackets)
    std::string Port; // 1 to 65535, in decimal
};

// The scheme that begins `address` ("rfc2217://" or "tcp://", in any letter case) as this
// platform spells it, or null when it is no network port's.
const char* AfNetPortScheme(const std::string& address);

// Reads `address`: the scheme in any letter case, a host (an IPv6 address in brackets), a colon
// and a port number, nothing else. False for anything else, also for another scheme.
bool AfParseNetAddress(const std::string& address, AfNetAddress& parsed);

// Notes why connecting to `address` failed ("connection refused"); an empty `reason` notes that
// it succeeded. AfNetPortProblem gives it back.
void AfNoteNetPortProblem(const std::string& address, const std::string& reason);
std::string AfNetPortProblem(const std::string& address);

} // namespace vexora::serial::platform
