// A program of a user of the installed component, built by CheckConsumer.sh with nothing but the
// compiler, the documented pkg-config command and -Wconversion -Werror. It fails (or does not
// build) when:
// - the pkg-config flags do not make it position-independent: Qt as Debian builds it then leaves
//   qApp null in the program;
// - the headers name no version, or the libraries another version than the headers;
// - COM numbers, ints wherever the component hands them out, need a cast to go back in.
// It prints the libraries' version for the script to compare with the package's.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfVersion.h>
#include <vexora/serial/platform/AfComMapping.h>

#if !defined(VEXORA_SERIAL_VERSION) || VEXORA_SERIAL_VERSION < VEXORA_SERIAL_VERSION_CHECK(0, 1, 0)
#error "the headers give no version, or one below 0.1.0"
#endif
static_assert(VEXORA_SERIAL_VERSION_CHECK(VEXORA_SERIAL_VERSION_MAJOR, VEXORA_SERIAL_VERSION_MINOR + 1, 0) >
              VEXORA_SERIAL_VERSION);

using namespace vexora::serial;

namespace {

int Fail(const char* what)
{
    std::fprintf(stderr, "FAIL: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (qApp != &application)
        return Fail("qApp is not the application object: the program is not position-independent");
    if (SerialVersion() != VEXORA_SERIAL_VERSION ||
        std::strcmp(SerialVersionString(), VEXORA_SERIAL_VERSION_STR) != 0)
        return Fail("the libraries' version differs from the headers'");

    const int number = argc + 6; // an int, as COM numbers come (AfComNumberForDevice, an argument)
    platform::AssignComPort(number, "/dev/null");
    TAfComPort port(nullptr);
    port.SetComNumber(number);
    if (port.ComNumber() != number)
        return Fail("the COM number did not arrive");
    std::printf("%s\n", SerialVersionString());
    return 0;
}
