/// \file
/// COM numbers on this machine: COM n is the entry `COM<n>` of the port directory, else the n-th
/// serial device of the machine in a stable order (USB adapters, then real on-board UARTs).
///
/// VEXORA_MACHINE_PORTS=0 in the environment switches the machine's own devices off: COM n is then
/// only what the port directory names. Tests, and the tool run against the meter simulator, set it
/// so that nothing opens or probes a real port of the machine.
///
/// Nothing is cached: every call reads the environment and looks at the folders again, so an
/// adapter plugged in later is found, and the numbers of the machine's devices move up when one
/// before them is unplugged. Any thread; nothing raises (beyond std::bad_alloc); no device is
/// opened.
#pragma once

#include <string>
#include <vector>

/// The port directory: $VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else
/// `/tmp/vexora-ports-<uid>`. It need not exist.
std::string ComPortDirectory();

/// Why the port directory `dir` may not name devices, or an empty string when it may: whoever can
/// put an entry in it decides what COM n opens, and a folder in a shared /tmp can be made by
/// anyone first. It counts only as a real directory (not a symbolic link) of this user that nobody
/// else may write to. A directory that does not exist names nothing and is no problem.
std::string AfPortDirectoryProblem(const std::string& dir);

/// The device path of COM `number`, or an empty string when there is none (also for 0 and below).
/// An entry `COM<n>` of the port directory wins (a symbolic link gives its target); else the n-th
/// of MachineSerialDevices(). A port directory with a problem is left out (the machine's devices
/// still count), and said so once per directory on standard error. Costs a look at the directory
/// and, without an entry there, a scan of /dev.
std::string ComPortDevicePath(int number);

/// False when VEXORA_MACHINE_PORTS is "0".
bool MachinePortsEnabled();

/// The machine's own serial devices in COM order: `/dev/ttyUSB<n>`, then `/dev/ttyACM<n>`, each by
/// number, then the `/dev/ttyS<n>` whose driver reports a real UART (not the port directory's
/// entries); none while the machine's ports are switched off.
std::vector<std::string> MachineSerialDevices();
