// The command line of vexora-meter-sim: its flags, their values and the usage text, which lists
// every flag the parser knows.
#pragma once

#include <string>
#include <vector>

#include "MeterSimulator.h"

struct TMeterCommandLine {
    TMeterSimOptions Sim;
    std::string LogPath;  // --log: append the log to this file
    bool Verbose = false; // -v: log to standard error
    bool Help = false;
};

// Parses the arguments (without the program name). Throws std::invalid_argument with a message
// for the user on an unknown flag, a missing value or a value out of range. Address and baud
// rate are checked by the meter itself when the simulator is made.
TMeterCommandLine ParseMeterCommandLine(const std::vector<std::string>& args);

std::string MeterUsage();
