#include "ports/AfNetAddress_p.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <string_view>

namespace vexora::serial::platform {

namespace {

constexpr const char* kRfc2217Scheme = "rfc2217://";
constexpr const char* kTcpScheme = "tcp://";

// Why the last connection to each address failed, under its lock; only addresses that failed.
std::mutex g_problemLock;
std::map<std::string, std::string> g_problems;

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char wanted, char given) {
               return std::tolower(static_cast<unsigned char>(given)) == wanted;
           });
}

bool ValidPort(const std::string& port)
{
    if (port.empty() || port.size() > 5 || port.front() == '0')
        return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::stoi(port) <= 65535;
}

// A host name or IPv4 address: letters, digits, dots, dashes and underscores.
bool ValidHostName(const std::string& host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

bool ValidIpv6(const std::string& host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '%';
    });
}

} // namespace

const char* AfNetPortScheme(const std::string& address)
{
    for (const char* scheme : {kRfc2217Scheme, kTcpScheme})
        if (StartsWithNoCase(address, scheme))
            return scheme;
    return nullptr;
}

bool AfParseNetAddress(const std::string& address, AfNetAddress& parsed)
{
    const char* scheme = AfNetPortScheme(address);
    if (!scheme)
        return false;
    AfNetAddress result;
    result.Kind = scheme == kRfc2217Scheme ? AfNetPortKind::Rfc2217 : AfNetPortKind::Tcp;
    const std::string rest = address.substr(std::string_view(scheme).size());
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = rest.substr(0, colon);
    result.Port = rest.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!ValidIpv6(host))
            return false;
    } else if (!ValidHostName(host)) {
        return false;
    }
    if (!ValidPort(result.Port))
        return false;
    result.Host = std::move(host);
    parsed = std::move(result);
    return true;
}

void AfNoteNetPortProblem(const std::string& address, const std::string& reason)
{
    std::lock_guard guard(g_problemLock);
    if (reason.empty())
        g_problems.erase(address);
    else
        g_problems[address] = reason;
}

std::string AfNetPortProblem(const std::string& address)
{
    std::lock_guard guard(g_problemLock);
    const auto found = g_problems.find(address);
    return found == g_problems.end() ? std::string() : found->second;
}

} // namespace vexora::serial::platform
