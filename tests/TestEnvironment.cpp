// Linked into every test executable: before anything else runs, the machine's own serial devices
// are switched off (COM n is then only what a test registers in its port directory), so that no
// test opens or probes a real port of the machine.
#include <cstdlib>

namespace {

const bool g_machinePortsOff = [] {
    ::setenv("VEXORA_MACHINE_PORTS", "0", 1);
    return true;
}();

} // namespace
