// COM numbers on this machine: COM n is the entry COM<n> of the port directory, else the n-th
// serial device of the machine in a stable order (USB adapters, then real on-board UARTs).
//
// VEXORA_MACHINE_PORTS=0 in the environment switches the machine's own devices off: COM n is
// then only what the port directory names. Tests, and the tool run against the meter simulator,
// set it so that nothing opens or probes a real port of the machine.
#pragma once

#include <string>
#include <vector>

// The port directory: $VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else
// /tmp/vexora-ports-<uid>.
std::string ComPortDirectory();

// Why the port directory `dir` may not name devices, or an empty string when it may: whoever can
// put an entry in it decides what COM n opens, and a folder in a shared /tmp can be made by anyone
// first. It counts only as a real directory (not a symbolic link) of this user that nobody else
// may write to. A directory that does not exist names nothing and is no problem.
std::string AfPortDirectoryProblem(const std::string& dir);

// The device path of COM `number`, or an empty string when there is none. A port directory with
// a problem is left out (the machine's devices still count), and said so once on standard error.
std::string ComPortDevicePath(int number);

// False when VEXORA_MACHINE_PORTS is "0".
bool MachinePortsEnabled();

// The machine's own serial devices in COM order (not the port directory's entries); none while
// the machine's ports are switched off.
std::vector<std::string> MachineSerialDevices();
