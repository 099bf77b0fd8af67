// The simulator's entry COM<n> in the port directory: a symbolic link to its pseudo-terminal, so
// that programs open the simulated meter as COM n.
#pragma once

#include <string>

class TMeterComEntry {
public:
    // Makes the port directory when it is missing and links COM<number> in it to `target`. An entry
    // that points nowhere (left by a program that was killed) is replaced; a live one only with
    // `replace`, else std::runtime_error says who holds it. Other failures throw std::system_error.
    TMeterComEntry(int number, const std::string& target, bool replace);
    // Removes the entry, unless something else has taken it over meanwhile.
    ~TMeterComEntry();
    TMeterComEntry(const TMeterComEntry&) = delete;
    TMeterComEntry& operator=(const TMeterComEntry&) = delete;

    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::string FTarget;
};
