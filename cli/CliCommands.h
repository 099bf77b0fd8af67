// The commands of vexora-cli: read, write, reset, scan and ports, each on the shared operations
// (MeterOperations.h) with the terminal as their host.
#pragma once

#include <string>
#include <vector>

// Runs the command line Args (without the program's name) to its end and returns the exit status
// (TExitStatus). Every message goes to standard error, results to standard output. Needs a
// QCoreApplication on this thread: the port's events are served there.
int RunCli(const std::vector<std::string>& Args);
