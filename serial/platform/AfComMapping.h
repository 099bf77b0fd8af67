// COM numbers on this machine: COM n is the entry COM<n> of the port directory, else the n-th
// serial device of the machine in a stable order (USB adapters, then real on-board UARTs).
//
// A program can also assign a device to a COM number itself (AssignComPort); such an assignment
// comes before the port directory and the machine's devices, in this process only.
//
// VEXORA_MACHINE_PORTS=0 in the environment switches the machine's own devices off: COM n is
// then only what the port directory names (or the program assigned). Tests, and the tool run against the meter simulator,
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

// Makes COM `number` open `devicePath` (a path such as /dev/ttyUSB0) in this process, whatever
// the port directory or the machine's devices say; an empty path takes the assignment back.
// Returns false, assigning nothing, for a number below 1. Any thread may call it; a port that is
// open keeps its device, the next open takes the new one.
bool AssignComPort(int number, const std::string& devicePath);

// The device path of COM `number`, or an empty string when there is none: the program's
// assignment, else the port directory's entry, else the machine's device. A port directory with
// a problem is left out (the machine's devices still count), and said so once on standard error.
std::string ComPortDevicePath(int number);

// False when VEXORA_MACHINE_PORTS is "0".
bool MachinePortsEnabled();

// The machine's own serial devices in COM order (not the port directory's entries); none while
// the machine's ports are switched off.
std::vector<std::string> MachineSerialDevices();
