// Linked into every test executable: before anything else runs, the machine's own serial devices
// are switched off (COM n is then only what a test registers in its port directory), so that no
// test opens or probes a real port of the machine.
//
// The one place where tests open real serial devices is the guest that scripts/test-uart.sh boots
// under QEMU: there the variables VEXORA_UART_* name its emulated UARTs. They count only inside
// that guest, whose kernel command line carries vexora.uart_guest=1; anywhere else they are
// dropped here, so that no test opens what they name.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool InUartGuest()
{
    std::ifstream cmdline("/proc/cmdline");
    std::string word;
    while (cmdline >> word)
        if (word == "vexora.uart_guest=1")
            return true;
    return false;
}

const bool g_machinePortsOff = [] {
    ::setenv("VEXORA_MACHINE_PORTS", "0", 1);
    std::vector<std::string> uartNames;
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "VEXORA_UART_", 12) == 0)
            uartNames.emplace_back(*entry, std::strcspn(*entry, "="));
    if (!uartNames.empty() && !InUartGuest()) {
        for (const std::string& name : uartNames)
            ::unsetenv(name.c_str());
        std::fputs("VEXORA_UART_* ignored: only the UART guest (scripts/test-uart.sh) opens real ports\n",
                   stderr);
    }
    return true;
}();

} // namespace
