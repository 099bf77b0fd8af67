// Wake descriptors on eventfd: a signal adds one to its counter, a take reads the counter back
// to zero.
#include "sync/AfWakeFd_p.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vexora::serial::platform {

int AfMakeWakeFd()
{
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void AfSignalWakeFd(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void AfTakeWakeFd(int fd)
{
    std::uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
}

} // namespace vexora::serial::platform
