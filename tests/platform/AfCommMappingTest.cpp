// Line settings as terminal attributes, the sense check of a DCB, and the COM number mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "AfComMapping.h"
#include "AfCommDriver.h"
#include "AfMachinePorts.h"
#include "AfPtyPort.h"
#include "AfTermios.h"

namespace {

const std::string kPortDir = AfTestPortDirectory();

DCB LineDcb(DWORD rate, BYTE size, BYTE parity, BYTE stop)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rate;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fBinary = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

termios2 RawAttributes()
{
    termios2 attributes{};
    attributes.c_iflag = ICRNL | IXON | IGNBRK;
    attributes.c_oflag = OPOST | ONLCR;
    attributes.c_lflag = ECHO | ICANON | ISIG;
    attributes.c_cflag = B9600 | CS7 | PARENB;
    AfMakeRaw(attributes);
    return attributes;
}

} // namespace

TEST(CommTermios, RawModePassesBytesUnchanged)
{
    const termios2 t = RawAttributes();
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IGNBRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
}

TEST(CommTermios, FrameAndParityMapBothWays)
{
    struct Case {
        BYTE size, parity, stop;
        tcflag_t cflags;
    };
    const Case cases[] = {
        {8, NOPARITY, ONESTOPBIT, CS8},
        {7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
        {7, ODDPARITY, TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
        {6, MARKPARITY, ONESTOPBIT, CS6 | PARENB | CMSPAR | PARODD},
        {8, SPACEPARITY, TWOSTOPBITS, CS8 | PARENB | CMSPAR | CSTOPB},
        {5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB},
    };
    for (const Case& c : cases) {
        termios2 t = RawAttributes();
        AfDcbToTermios(LineDcb(2400, c.size, c.parity, c.stop), t);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflags)
            << int(c.size) << int(c.parity);
        DCB back = LineDcb(1, 8, NOPARITY, ONESTOPBIT);
        AfTermiosToDcb(t, back);
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
        EXPECT_EQ(back.BaudRate, 2400u);
    }
}

TEST(CommTermios, AnyRateGoesThroughBother)
{
    termios2 t = RawAttributes();
    AfDcbToTermios(LineDcb(31250, 8, EVENPARITY, ONESTOPBIT), t);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ((t.c_cflag >> IBSHIFT) & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 31250u);
    EXPECT_EQ(t.c_ispeed, 31250u);
    // A device that reports a standard rate code is read back by that code.
    t.c_cflag = (t.c_cflag & ~CBAUD) | B19200;
    t.c_ospeed = 0;
    DCB back{};
    AfTermiosToDcb(t, back);
    EXPECT_EQ(back.BaudRate, 19200u);
}

TEST(CommTermios, FlowControlAndItsCharacters)
{
    DCB dcb = LineDcb(9600, 8, NOPARITY, ONESTOPBIT);
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    dcb.fParity = 1;
    termios2 t = RawAttributes();
    AfDcbToTermios(dcb, t);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    EXPECT_EQ(t.c_cc[VSTOP], 0x02);

    DCB back = LineDcb(1, 8, NOPARITY, ONESTOPBIT);
    AfTermiosToDcb(t, back);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.XonChar, 0x01);

    // Switching the handshake off gives RTS back to the DCB's line setting.
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = 0;
    AfDcbToTermios(dcb, t);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    AfTermiosToDcb(t, back);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE);
}

TEST(CommDcbCheck, RefusesWhatNoLineCanDo)
{
    EXPECT_EQ(AfCheckDcb(LineDcb(2400, 8, EVENPARITY, ONESTOPBIT)), ERROR_SUCCESS);
    EXPECT_EQ(AfCheckDcb(LineDcb(31250, 5, SPACEPARITY, ONE5STOPBITS)), ERROR_SUCCESS);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 5, NOPARITY, TWOSTOPBITS)), ERROR_SUCCESS) << "runs 1.5 stop bits";
    EXPECT_EQ(AfCheckDcb(LineDcb(0, 8, NOPARITY, ONESTOPBIT)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 4, NOPARITY, ONESTOPBIT)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 9, NOPARITY, ONESTOPBIT)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 8, 5, ONESTOPBIT)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 8, NOPARITY, 3)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AfCheckDcb(LineDcb(9600, 8, NOPARITY, ONE5STOPBITS)), ERROR_INVALID_PARAMETER);
    DCB dtrDsr = LineDcb(9600, 8, NOPARITY, ONESTOPBIT);
    dtrDsr.fOutxDsrFlow = 1;
    dtrDsr.fDtrControl = DTR_CONTROL_HANDSHAKE;
    EXPECT_EQ(AfCheckDcb(dtrDsr), ERROR_SUCCESS);
    DCB toggle = LineDcb(9600, 8, NOPARITY, ONESTOPBIT);
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    EXPECT_EQ(AfCheckDcb(toggle), ERROR_NOT_SUPPORTED);
}

TEST(ComMapping, PortDirectoryEntriesNameTheDevice)
{
    EXPECT_EQ(ComPortDirectory(), kPortDir);
    AfRegisterTestCom(120, "/dev/pts/77");
    EXPECT_EQ(ComPortDevicePath(120), "/dev/pts/77");
    AfRegisterTestCom(121, "relative-device");
    EXPECT_EQ(ComPortDevicePath(121), kPortDir + "/relative-device");
    AfUnregisterTestCom(120);
    AfUnregisterTestCom(121);
    EXPECT_EQ(ComPortDevicePath(0), "");
    EXPECT_EQ(ComPortDevicePath(-4), "");
    EXPECT_EQ(ComPortDevicePath(190), "") << "no entry and far beyond the machine's ports";
}

// A program's own assignment comes before the port directory, also with the machine's ports
// off, and taking it back uncovers the entry again.
TEST(ComMapping, AnAssignmentComesFirstUntilTakenBack)
{
    AfRegisterTestCom(122, "/dev/pts/78");
    EXPECT_TRUE(AssignComPort(122, "/dev/ttyUSB9"));
    EXPECT_TRUE(AssignComPort(123, "/dev/pts/79"));
    EXPECT_EQ(ComPortDevicePath(122), "/dev/ttyUSB9");
    EXPECT_EQ(ComPortDevicePath(123), "/dev/pts/79");
    EXPECT_TRUE(AssignComPort(122, ""));
    EXPECT_TRUE(AssignComPort(123, ""));
    EXPECT_EQ(ComPortDevicePath(122), "/dev/pts/78");
    EXPECT_EQ(ComPortDevicePath(123), "");
    EXPECT_FALSE(AssignComPort(0, "/dev/pts/79"));
    EXPECT_EQ(ComPortDevicePath(0), "");
    AfUnregisterTestCom(122);
}

TEST(ComMapping, TestsNeverReachTheMachinesPorts)
{
    ASSERT_FALSE(MachinePortsEnabled()) << "every test executable switches the machine's ports off";
    EXPECT_TRUE(MachineSerialDevices().empty());
    for (int number = 1; number <= 16; ++number)
        EXPECT_EQ(ComPortDevicePath(number), "") << "COM" << number << " is not registered";
}

TEST(ComMapping, MachinePortsComeInAStableOrder)
{
    char base[] = "/tmp/vexora-machine-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string dev = std::string(base) + "/dev";
    const std::string sys = std::string(base) + "/sys";
    mkdir(dev.c_str(), 0700);
    mkdir(sys.c_str(), 0700);
    auto touch = [](const std::string& path, const char* text) { std::ofstream(path) << text; };
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS12", "ttyUSBx", "tty0"})
        touch(dev + "/" + name, "");
    for (const auto& [name, type] :
         {std::pair{"ttyS0", "4\n"}, std::pair{"ttyS1", "0\n"}, std::pair{"ttyS12", "4"}}) {
        mkdir((sys + "/" + name).c_str(), 0700);
        touch(sys + "/" + name + "/type", type);
    }
    const std::vector<std::string> expected = {dev + "/ttyUSB2", dev + "/ttyUSB10", dev + "/ttyACM0",
                                               dev + "/ttyS0", dev + "/ttyS12"};
    EXPECT_EQ(AfScanSerialDevices(dev, sys), expected);
    EXPECT_TRUE(AfScanSerialDevices(std::string(base) + "/none", sys).empty());
    std::string command = std::string("rm -rf ") + base;
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(ComMapping, DirectoryFallsBackToRuntimeDirThenTmp)
{
    // Only this test changes these variables, and no thread runs while it does.
    const std::string saved = kPortDir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = runtime ? runtime : "";
    unsetenv("VEXORA_PORT_DIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(ComPortDirectory(), "/run/user/4242/vexora-ports");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ComPortDirectory(), "/tmp/vexora-ports-" + std::to_string(getuid()));
    if (runtime)
        setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    setenv("VEXORA_PORT_DIR", saved.c_str(), 1);
    EXPECT_EQ(ComPortDirectory(), kPortDir);
}

// Whoever can put an entry in the port directory decides what COM n opens. A directory of another
// user, one that others may write to, or a link to one, names nothing: COM numbers fall back to
// the machine's devices (switched off here), and standard error says once which and why.
TEST(ComMapping, APortDirectoryOthersControlIsIgnoredWithItsReasonOnce)
{
    char base[] = "/tmp/vexora-trust-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    const std::string root = base;
    const struct {
        const char* name;
        mode_t mode; // 0: a link to "own"
        uid_t owner;
        const char* reason; // null: trusted
    } cases[] = {
        {"own", 0700, geteuid(), nullptr},
        {"own-readable", 0755, geteuid(), nullptr},
        {"foreign", 0700, 65534, "belongs to user 65534"},
        {"group-writable", 0770, geteuid(), "may write to it (mode 0770)"},
        {"world-writable", 01777, geteuid(), "may write to it (mode 1777)"},
        {"link", 0, geteuid(), "is a symbolic link"},
    };
    for (const auto& c : cases) {
        const std::string dir = root + "/" + c.name;
        if (c.mode == 0) {
            ASSERT_EQ(symlink((root + "/own").c_str(), dir.c_str()), 0);
        } else {
            ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(symlink("/dev/pts/77", (dir + "/COM5").c_str()), 0);
            ASSERT_EQ(chmod(dir.c_str(), c.mode), 0); // whatever the umask
            if (chown(dir.c_str(), c.owner, static_cast<gid_t>(-1)) != 0)
                continue; // only root can give a folder away
        }
        setenv("VEXORA_PORT_DIR", dir.c_str(), 1);
        testing::internal::CaptureStderr();
        const std::string first = ComPortDevicePath(5);
        const std::string second = ComPortDevicePath(5);
        const std::string told = testing::internal::GetCapturedStderr();
        EXPECT_EQ(first, c.reason ? "" : "/dev/pts/77") << c.name;
        EXPECT_EQ(second, first) << c.name;
        EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), c.reason ? 1 : 0) << c.name << ": " << told;
        if (c.reason) {
            EXPECT_TRUE(told.find(dir + " is ignored: ") != told.npos && told.find(c.reason) != told.npos)
                << told;
        }
    }
    setenv("VEXORA_PORT_DIR", kPortDir.c_str(), 1);
    EXPECT_EQ(std::system(("rm -rf " + root).c_str()), 0);
}
