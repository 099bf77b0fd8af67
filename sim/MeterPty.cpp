#include "MeterPty.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Raw, 8 data bits, even parity, at `baud`; false when the terminal cannot be read.
bool SetLine(int fd, int baud)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARODD | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CS8 | PARENB | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = static_cast<speed_t>(baud);
    t.c_ospeed = static_cast<speed_t>(baud);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::ioctl(fd, TCSETS2, &t); // a pseudo-terminal keeps what it can; nothing here is vital
    return true;
}

} // namespace

TMeterPty::TMeterPty(int baud, const std::string& device)
{
    if (!device.empty()) {
        FDevicePath = device;
        FMaster = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FMaster < 0 || !SetLine(FMaster, baud)) {
            CloseAll();
            Fail("cannot open " + device);
        }
        return;
    }
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (FMaster < 0)
        Fail("cannot make a pseudo-terminal");
    char name[128];
    if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 || ::ptsname_r(FMaster, name, sizeof name) != 0) {
        CloseAll();
        Fail("cannot unlock the pseudo-terminal");
    }
    FDevicePath = name;
    FKeep = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FKeep < 0 || !SetLine(FKeep, baud)) {
        CloseAll();
        Fail("cannot open " + FDevicePath);
    }
}

TMeterPty::~TMeterPty()
{
    CloseAll();
}

void TMeterPty::CloseAll()
{
    const int error = errno;
    if (FKeep >= 0)
        ::close(FKeep);
    if (FMaster >= 0)
        ::close(FMaster);
    FKeep = FMaster = -1;
    errno = error;
}

int TMeterPty::LineBaud() const
{
    // On the far side the terminal settings are the port side's.
    termios2 t{};
    if (::ioctl(FMaster, TCGETS2, &t) != 0)
        return -1;
    return static_cast<int>(t.c_ospeed);
}

void TMeterPty::Follow(int baud)
{
    if (!OnDevice() || LineBaud() == baud)
        return;
    ::ioctl(FMaster, TCSBRK, 1); // waits until the output has left (tcdrain)
    SetLine(FMaster, baud);
}
