// Line settings as terminal attributes, the sense check of a DCB, the COM number mapping, and what
// the machine tells of the device behind a COM number (against a made-up sysfs tree).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "comm/AfCommDriver_p.h"
#include "comm/AfTermios_p.h"
#include "ports/AfComNumbers_p.h"
#include "ports/AfMachinePorts_p.h"

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
    // Both characters off (0) would read back as a DCB that SetCommState refuses.
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    termios2 own{};
    own.c_cc[VSTART] = 0x01;
    own.c_cc[VSTOP] = 0x02;
    AfMakeRaw(own);
    EXPECT_EQ(own.c_cc[VSTART], 0x01);
    EXPECT_EQ(own.c_cc[VSTOP], 0x02);
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
    DCB sameChars = LineDcb(9600, 8, NOPARITY, ONESTOPBIT);
    sameChars.XoffChar = sameChars.XonChar; // refused also without XON/XOFF flow control
    EXPECT_EQ(AfCheckDcb(sameChars), ERROR_INVALID_PARAMETER);
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
    EXPECT_TRUE(AssignComPort(122, "/dev/serial/by-id/usb-converter-9"));
    EXPECT_TRUE(AssignComPort(123, "/dev/pts/79"));
    EXPECT_EQ(ComPortDevicePath(122), "/dev/serial/by-id/usb-converter-9");
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

namespace {

// A made-up /dev and /sys: a USB adapter served by ftdi_sio and an Arduino-like ACM device, both on
// a root hub that describes itself as well, an on-board UART under the kernel's generic serial port
// layer, and a device sysfs does not know.
class FakeMachine {
public:
    FakeMachine()
    {
        char base[] = "/tmp/vexora-sysfs-XXXXXX";
        EXPECT_NE(mkdtemp(base), nullptr);
        Root = base;
        chmod(base, 0755); // a test that drops its rights still reaches the devices
        for (const char* name : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyXYZ9"})
            File("dev/" + std::string(name), "");
        Link("dev/by-id-adapter", "ttyUSB0");

        const std::string usb = "sys/devices/pci0000:00/usb1/";
        // The root hub above the adapters: its maker and product are not theirs.
        Usb(usb, {{"idVendor", "1d6b"},
                  {"idProduct", "0002"},
                  {"manufacturer", "Linux 6.1.0-18-amd64 xhci-hcd"},
                  {"product", "xHCI Host Controller"},
                  {"serial", "0000:00:14.0"}});
        Usb(usb + "1-2", {{"idVendor", "0403"},
                          {"idProduct", "6001"},
                          {"manufacturer", "FTDI"},
                          {"product", "FT232R USB UART"},
                          {"serial", "A10K3X9Q\n"}});
        Link(usb + "1-2/1-2:1.0/ttyUSB0/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio");
        Link(usb + "1-2/1-2:1.0/driver", "../../../../../bus/usb/drivers/ftdi_sio");
        Link("sys/class/tty/ttyUSB0/device", "../../../devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
        // The maker repeated in the product name, no serial number.
        Usb(usb + "1-3", {{"idVendor", "2341"},
                          {"idProduct", "0043"},
                          {"manufacturer", "Arduino"},
                          {"product", "Arduino Uno"}});
        Link(usb + "1-3/1-3:1.0/driver", "../../../../../bus/usb/drivers/cdc_acm");
        Link("sys/class/tty/ttyACM0/device", "../../../devices/pci0000:00/usb1/1-3/1-3:1.0");
        const std::string uart = "sys/devices/pnp0/00:00/";
        Link(uart + "driver", "../../../bus/pnp/drivers/serial");
        Link(uart + "00:00:0/driver", "../../../../bus/serial-base/drivers/ctrl");
        Link(uart + "00:00:0/00:00:0.0/driver", "../../../../../bus/serial-base/drivers/port");
        Link("sys/class/tty/ttyS0/device", "../../../devices/pnp0/00:00/00:00:0/00:00:0.0");
    }
    ~FakeMachine() { std::filesystem::remove_all(Root); }

    std::string Dev(const std::string& Name) const { return Root + "/dev/" + Name; }
    std::string Sys() const { return Root + "/sys"; }

    std::string Root;

private:
    void Folder(const std::string& Path) { std::filesystem::create_directories(Root + "/" + Path); }
    void File(const std::string& Path, const std::string& Text)
    {
        Folder(Path.substr(0, Path.rfind('/')));
        std::ofstream(Root + "/" + Path) << Text;
    }
    void Link(const std::string& Path, const std::string& Target)
    {
        Folder(Path.substr(0, Path.rfind('/')));
        EXPECT_EQ(symlink(Target.c_str(), (Root + "/" + Path).c_str()), 0) << Path;
    }
    void Usb(const std::string& Path, const std::vector<std::pair<std::string, std::string>>& Attributes)
    {
        for (const auto& [name, value] : Attributes)
            File(Path + "/" + name, value + "\n");
    }
};

} // namespace

TEST(ComPortInfo, SysfsNamesTheDriverAndWhatAUsbAdapterSaysOfItself)
{
    const FakeMachine machine;
    const struct {
        std::string Device;
        std::string Summary; // behind the device path
        std::string Serial;
    } cases[] = {
        {machine.Dev("ttyUSB0"), ", ftdi_sio, FTDI FT232R USB UART (0403:6001), serial A10K3X9Q", "A10K3X9Q"},
        {machine.Dev("by-id-adapter"), ", ftdi_sio, FTDI FT232R USB UART (0403:6001), serial A10K3X9Q",
         "A10K3X9Q"},
        {machine.Dev("ttyACM0"), ", cdc_acm, Arduino Uno (2341:0043)", ""},
        // The driver above the generic port layer's "port" and "ctrl".
        {machine.Dev("ttyS0"), ", serial", ""},
        {machine.Dev("ttyXYZ9"), "", ""},
        {"/dev/pts/77", ", pseudo-terminal", ""},
    };
    for (const auto& c : cases) {
        const AfComPortInfo info = AfDescribeSerialDevice(c.Device, machine.Sys());
        EXPECT_EQ(AfComPortSummary(info), c.Device + c.Summary);
        EXPECT_EQ(info.SerialNumber, c.Serial) << c.Device;
        EXPECT_EQ(info.AccessGroup, "") << c.Device;
    }
}

// Root may open anything, so the check runs in a child that has given its rights up where the
// test runs as root; the device is open to its group only.
TEST(ComPortInfo, APortThisUserMayNotOpenNamesTheGroupThatMay)
{
    const FakeMachine machine;
    const std::string device = machine.Dev("ttyUSB0");
    ASSERT_EQ(chmod(device.c_str(), 0060), 0);
    struct stat info {};
    ASSERT_EQ(stat(device.c_str(), &info), 0);
    const group* owner = getgrgid(info.st_gid);
    ASSERT_NE(owner, nullptr);
    const std::string expected = owner->gr_name;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(1);
        const std::string group = AfDescribeSerialDevice(device, machine.Sys()).AccessGroup;
        _exit(write(out[1], group.data(), group.size()) == static_cast<ssize_t>(group.size()) ? 0 : 1);
    }
    close(out[1]);
    char told[256] = {};
    const ssize_t length = read(out[0], told, sizeof told - 1);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::string(told, static_cast<std::size_t>(std::max<ssize_t>(length, 0))), expected);
    AfComPortInfo dialout;
    dialout.AccessGroup = "dialout";
    EXPECT_EQ(AfComPortAccessNote(dialout), "this user may not open it: the group dialout gives access");
}

TEST(ComPortInfo, ADevicePathGetsTheComNumberThatNamesItOrOneOfItsOwn)
{
    const FakeMachine machine;
    AfRegisterTestCom(57, machine.Dev("ttyUSB0"));
    AfRegisterTestCom(58, machine.Dev("gone")); // left behind: no device
    EXPECT_EQ(AfComNumberForDevice(machine.Dev("by-id-adapter")), 57) << "the same device by its link";
    const int own = AfComNumberForDevice(machine.Dev("ttyACM0"));
    EXPECT_GT(own, 58);
    EXPECT_EQ(ComPortDevicePath(own), machine.Dev("ttyACM0"));
    EXPECT_EQ(AfComNumberForDevice(machine.Dev("ttyACM0")), own) << "assigned once";
    EXPECT_EQ(AfComNumberForDevice(machine.Dev("none")), 0);

    std::vector<std::pair<int, std::string>> listed;
    for (const AfComPortInfo& port : AfListComPorts(machine.Sys()))
        listed.emplace_back(port.Number, port.Driver);
    EXPECT_EQ(listed, (std::vector<std::pair<int, std::string>>{{57, "ftdi_sio"}, {own, "cdc_acm"}}));
    AfUnregisterTestCom(57);
    AfUnregisterTestCom(58);
}

namespace {

// A made-up machine whose USB adapters come and go: each adapter a USB device in a socket of the
// root hub (its sysfs folder is named after the socket), with one interface and its tty; and an
// on-board UART.
class FakeUsbMachine {
public:
    FakeUsbMachine()
    {
        Root = std::filesystem::temp_directory_path() / ("vexora-usb-" + std::to_string(::getpid()));
        std::filesystem::remove_all(Root);
        Write("dev/ttyS0", "");
        Write("sys/class/tty/ttyS0/type", "4\n");
    }
    ~FakeUsbMachine() { std::filesystem::remove_all(Root); }

    // An adapter with Serial ("": it reports none) in Socket ("1-2"), as Tty ("ttyUSB0").
    void Plug(const std::string& Tty, const std::string& Socket, const std::string& Serial,
              const std::string& Product = "6001")
    {
        const std::string usb = "sys/devices/pci0000:00/usb1/" + Socket;
        Write(usb + "/idVendor", "0403\n");
        Write(usb + "/idProduct", Product + "\n");
        if (!Serial.empty())
            Write(usb + "/serial", Serial + "\n");
        Write(usb + "/" + Socket + ":1.0/bInterfaceNumber", "00\n");
        Write(usb + "/" + Socket + ":1.0/" + Tty + "/port_number", "0\n");
        std::filesystem::create_directories(Root / "sys/class/tty" / Tty);
        std::filesystem::create_directory_symlink(Root / usb / (Socket + ":1.0") / Tty,
                                                  Root / "sys/class/tty" / Tty / "device");
        Write("dev/" + Tty, "");
    }
    void Pull(const std::string& Tty, const std::string& Socket)
    {
        std::filesystem::remove(Root / "dev" / Tty);
        std::filesystem::remove_all(Root / "sys/class/tty" / Tty);
        std::filesystem::remove_all(Root / "sys/devices/pci0000:00/usb1" / Socket);
    }
    std::map<int, std::string> Numbers()
    {
        std::map<int, std::string> names;
        for (const auto& [number, device] : Table.Update(AfScanMachinePorts(Dev(), Sys())))
            names[number] = device.substr(device.rfind('/') + 1);
        return names;
    }
    std::string Dev() const { return Root / "dev"; }
    std::string Sys() const { return Root / "sys"; }

    std::filesystem::path Root;
    AfComNumberTable Table;

private:
    void Write(const std::string& Path, const std::string& Text)
    {
        std::filesystem::create_directories((Root / Path).parent_path());
        std::ofstream(Root / Path) << Text;
    }
};

} // namespace

TEST(ComNumbers, ANumberStaysWithItsAdapterWhateverComesAndGoes)
{
    FakeUsbMachine machine;
    using TNumbers = std::map<int, std::string>;
    const struct {
        const char* Step;
        std::function<void()> Change;
        TNumbers Numbers;
    } steps[] = {
        {"the first look: adapters, then the UART",
         [&] {
             machine.Plug("ttyUSB0", "1-2", "A10K3X9Q");
             machine.Plug("ttyUSB1", "1-3", "B20L4Y0R");
         },
         {{1, "ttyUSB0"}, {2, "ttyUSB1"}, {3, "ttyS0"}}},
        {"the first pulled out: the second keeps COM 2",
         [&] { machine.Pull("ttyUSB0", "1-2"); },
         {{2, "ttyUSB1"}, {3, "ttyS0"}}},
        {"a new adapter takes the lowest number nobody holds",
         [&] { machine.Plug("ttyUSB0", "1-4", "C30M5Z1S"); },
         {{2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}}},
        {"the first back, in another socket and under another name",
         [&] { machine.Plug("ttyUSB2", "1-5", "A10K3X9Q"); },
         {{1, "ttyUSB2"}, {2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}}},
        {"both out, the second back first under the first's old name",
         [&] {
             machine.Pull("ttyUSB2", "1-5");
             machine.Pull("ttyUSB1", "1-3");
             machine.Plug("ttyUSB1", "1-3", "B20L4Y0R");
         },
         {{2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}}},
        {"an adapter without a serial number",
         [&] { machine.Plug("ttyUSB3", "1-6", ""); },
         {{2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}, {5, "ttyUSB3"}}},
        {"... back in its socket under another name",
         [&] {
             machine.Pull("ttyUSB3", "1-6");
             machine.Plug("ttyUSB5", "1-6", "");
         },
         {{2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}, {5, "ttyUSB5"}}},
        {"... in another socket: a converter of its own",
         [&] {
             machine.Pull("ttyUSB5", "1-6");
             machine.Plug("ttyUSB3", "1-7", "");
         },
         {{2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}, {6, "ttyUSB3"}}},
        {"a second adapter that reports the first's serial number",
         [&] { machine.Plug("ttyUSB6", "1-8", "A10K3X9Q"); },
         {{1, "ttyUSB6"}, {2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}, {6, "ttyUSB3"}}},
        {"... and the first itself, told apart by its socket",
         [&] { machine.Plug("ttyUSB2", "1-5", "A10K3X9Q"); },
         {{1, "ttyUSB2"}, {2, "ttyUSB1"}, {3, "ttyS0"}, {4, "ttyUSB0"}, {6, "ttyUSB3"}, {7, "ttyUSB6"}}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        step.Change();
        EXPECT_EQ(machine.Numbers(), step.Numbers);
    }
}

TEST(ComNumbers, AnAdapterIsKnownBySerialNumberOrSocketAndAnythingElseByName)
{
    FakeUsbMachine machine;
    machine.Plug("ttyUSB0", "1-2", "A10K3X9Q");
    machine.Plug("ttyUSB1", "1-1.4", "", "6015");
    EXPECT_EQ(AfSerialDeviceIdentity("ttyUSB0", machine.Sys()),
              "usb 0403:6001 serial A10K3X9Q interface 00.0");
    EXPECT_EQ(AfSerialDeviceIdentity("ttyUSB1", machine.Sys()), "usb 0403:6015 socket 1-1.4 interface 00.0");
    EXPECT_EQ(AfSerialDeviceIdentity("ttyS0", machine.Sys()), "tty ttyS0");
}
