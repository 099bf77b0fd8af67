// The watch on the serial ports: one inotify descriptor with a watch on /dev, on /dev/pts and on
// the port directory (or, until that exists, on the nearest folder above it).
#include <vexora/serial/platform/AfComPortWatch.h>

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <vexora/serial/platform/AfComMapping.h>

#include "ports/AfMachinePorts_p.h"

namespace vexora::serial::platform {

namespace {

constexpr std::uint32_t kEntries = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// The folder watched itself removed or moved away.
constexpr std::uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF;

bool IsDirectory(const std::string& Path)
{
    struct stat info {};
    return ::stat(Path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Whether Name is COM<n>, an entry the port directory names a port by.
bool IsComEntry(const std::string& Name)
{
    return Name.size() > 3 && Name.starts_with("COM") &&
           Name.find_first_not_of("0123456789", 3) == std::string::npos;
}

std::string WithoutTrailingSlashes(std::string Path)
{
    while (Path.size() > 1 && Path.back() == '/')
        Path.pop_back();
    return Path;
}

} // namespace

AfComPortWatch::AfComPortWatch()
    : AfComPortWatch(MachinePortsEnabled() ? "/dev" : "", "/dev/pts", ComPortDirectory())
{
}

AfComPortWatch::AfComPortWatch(std::string DevDir, std::string PtsDir, std::string PortDir)
    : FFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), FDevDir(std::move(DevDir)), FPtsDir(std::move(PtsDir)),
      FPortDir(WithoutTrailingSlashes(std::move(PortDir)))
{
    if (FFd < 0)
        return;
    // Permissions count too: a device that udev gives its group a moment after it appeared.
    if (!FDevDir.empty())
        FDevWatch = ::inotify_add_watch(FFd, FDevDir.c_str(), kEntries | IN_ATTRIB | IN_ONLYDIR);
    if (!FPtsDir.empty())
        FPtsWatch = ::inotify_add_watch(FFd, FPtsDir.c_str(), IN_DELETE | IN_ONLYDIR);
    WatchPortDirectory();
}

AfComPortWatch::~AfComPortWatch()
{
    if (FFd >= 0)
        ::close(FFd);
}

void AfComPortWatch::WatchPortDirectory()
{
    // A watch shared with /dev or /dev/pts (the same folder) stays for them.
    if (FPortWatch >= 0 && FPortWatch != FDevWatch && FPortWatch != FPtsWatch)
        ::inotify_rm_watch(FFd, FPortWatch);
    FPortWatch = -1;
    FPortDirWatched = false;
    FPortDirStep.clear();
    if (FPortDir.empty())
        return;
    std::string folder = FPortDir;
    while (!IsDirectory(folder)) {
        const std::size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos)
            return; // a relative path none of whose folders exists
        FPortDirStep = folder.substr(slash + 1);
        folder = slash == 0 ? "/" : folder.substr(0, slash);
    }
    FPortDirWatched = folder == FPortDir;
    const std::uint32_t events = FPortDirWatched ? kEntries | IN_ATTRIB : IN_CREATE | IN_MOVED_TO;
    FPortWatch = ::inotify_add_watch(FFd, folder.c_str(), events | kGone | IN_ONLYDIR | IN_MASK_ADD);
}

bool AfComPortWatch::NamedByPortDirectory(const std::string& Device) const
{
    if (!FPortDirWatched)
        return false;
    DIR* folder = ::opendir(FPortDir.c_str());
    if (!folder)
        return false;
    bool named = false;
    while (const dirent* entry = ::readdir(folder)) {
        if (!IsComEntry(entry->d_name))
            continue;
        char target[PATH_MAX];
        const std::string path = FPortDir + "/" + entry->d_name;
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == Device) {
            named = true;
            break;
        }
    }
    ::closedir(folder);
    return named;
}

bool AfComPortWatch::TakeChanges()
{
    if (FFd < 0)
        return false;
    bool changed = false;
    bool lookAgain = false; // at the port directory, made or gone
    TakeEvents(changed, lookAgain);
    while (lookAgain) {
        lookAgain = false;
        WatchPortDirectory();
        // Entries may have come with the folder, before its watch.
        changed = changed || FPortDirWatched;
        // The end of the watch left behind comes at once; the folder may have changed again.
        TakeEvents(changed, lookAgain);
    }
    return changed;
}

void AfComPortWatch::TakeEvents(bool& Changed, bool& LookAgain)
{
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t length = ::read(FFd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return;
        for (std::size_t at = 0; at < static_cast<std::size_t>(length);) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const std::string name = event.len > 0 ? std::string(buffer + at + sizeof event) : std::string();
            at += sizeof event + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                // Events were lost: anything may have changed, the port directory's state too.
                Changed = LookAgain = true;
                continue;
            }
            if (event.wd == FDevWatch && AfIsSerialDeviceName(name))
                Changed = true;
            if (event.wd == FPtsWatch && NamedByPortDirectory(FPtsDir + "/" + name))
                Changed = true;
            if (event.wd != FPortWatch)
                continue;
            if (event.mask & kGone)
                Changed = LookAgain = true;
            else if (FPortDirWatched && IsComEntry(name))
                Changed = true;
            else if (!FPortDirWatched && name == FPortDirStep)
                LookAgain = true;
        }
    }
}

} // namespace vexora::serial::platform
