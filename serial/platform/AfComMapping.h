// COM numbers on this machine: COM n is the entry COM<n> of the port directory, else the n-th
// serial device of the machine in a stable order (USB adapters, then real on-board UARTs).
#pragma once

#include <string>
#include <vector>

// The port directory: $VEXORA_PORT_DIR, else $XDG_RUNTIME_DIR/vexora-ports, else
// /tmp/vexora-ports-<uid>.
std::string ComPortDirectory();

// The device path of COM `number`, or an empty string when there is none.
std::string ComPortDevicePath(int number);

// The machine's own serial devices in COM order (not the port directory's entries).
std::vector<std::string> MachineSerialDevices();
