// What the process itself shows of its work, for the tests that a port or a window left alone does
// nothing: its CPU time, its threads, and how often they have slept and been woken.
#pragma once

#include <time.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

// The CPU time all of the process's threads have used so far, in milliseconds.
inline double CpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The task ids of the process's threads.
inline std::set<std::string> Threads()
{
    std::set<std::string> threads;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        threads.insert(task.path().filename());
    return threads;
}

// How often the process's threads other than `Others` have gone to sleep (each time to be woken
// again) or lost the processor so far.
inline long Switches(const std::set<std::string>& Others = {})
{
    long switches = 0;
    for (const std::string& thread : Threads()) {
        if (Others.count(thread))
            continue;
        std::ifstream status("/proc/self/task/" + thread + "/status");
        std::string key;
        long value = 0;
        while (status >> key)
            if ((key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") &&
                status >> value)
                switches += value;
    }
    return switches;
}
