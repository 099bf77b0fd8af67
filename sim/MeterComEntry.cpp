#include "MeterComEntry.h"

#include <cerrno>
#include <climits>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// mkdir -p, the last level private to the user.
void MakeDirectory(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail("cannot make the port directory " + path);
    // Whoever can write to the directory decides what COM n opens; programs looking up COM
    // numbers ignore one that is not the user's alone, so an entry there would name nothing.
    if (const std::string problem = AfPortDirectoryProblem(path); !problem.empty())
        throw std::runtime_error("the port directory " + path + " cannot be used: " + problem);
}

// The target of the link at `path`; empty when there is no link.
std::string LinkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

TMeterComEntry::TMeterComEntry(int number, const std::string& target, bool replace) : FTarget(target)
{
    const std::string directory = ComPortDirectory();
    MakeDirectory(directory);
    FPath = directory + "/COM" + std::to_string(number);
    // access() follows the link: an entry that points nowhere does not count as held.
    if (!replace && ::access(FPath.c_str(), F_OK) == 0) {
        const std::string held = LinkTarget(FPath);
        throw std::runtime_error("COM" + std::to_string(number) + " is already registered in " + directory +
                                 (held.empty() ? std::string() : " (-> " + held + ")") +
                                 "; stop the program that holds it, or pass --replace");
    }
    // A new link moved over the entry in one step, so that no reader sees COM<n> missing.
    const std::string fresh = FPath + ".new." + std::to_string(::getpid());
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0)
        Fail("cannot register " + FPath);
    if (::rename(fresh.c_str(), FPath.c_str()) != 0) {
        const int error = errno;
        ::unlink(fresh.c_str());
        errno = error;
        Fail("cannot register " + FPath);
    }
}

TMeterComEntry::~TMeterComEntry()
{
    if (LinkTarget(FPath) == FTarget)
        ::unlink(FPath.c_str());
}
