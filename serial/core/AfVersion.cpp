// The version compiled into the libraries, from the header made with them.
#include <vexora/serial/AfVersion.h>

namespace vexora::serial {

std::uint32_t SerialVersion()
{
    return VEXORA_SERIAL_VERSION;
}

const char* SerialVersionString()
{
    return VEXORA_SERIAL_VERSION_STR;
}

} // namespace vexora::serial
