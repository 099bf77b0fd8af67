#include "comm/AfTermios_p.h"

namespace vexora::serial::platform {

namespace {

struct StandardRate {
    unsigned code;
    DWORD rate;
};

constexpr StandardRate kStandardRates[] = {
    {B50, 50},         {B75, 75},         {B110, 110},        {B134, 134},       {B150, 150},
    {B200, 200},       {B300, 300},       {B600, 600},        {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},     {B4800, 4800},     {B9600, 9600},      {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400},  {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};

DWORD RateOf(unsigned code, speed_t speed)
{
    if (code == BOTHER)
        return speed;
    for (const auto& entry : kStandardRates)
        if (entry.code == code)
            return entry.rate;
    return speed;
}

} // namespace

void AfMakeRaw(termios2& t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CMSPAR | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // Equal start and stop characters (both switched off, say) would read back as a DCB that
    // SetCommState refuses: such a terminal starts with the usual DC1 and DC3.
    if (t.c_cc[VSTART] == t.c_cc[VSTOP]) {
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
}

void AfDcbToTermios(const DCB& dcb, termios2& t)
{
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = dcb.BaudRate;
    t.c_ospeed = dcb.BaudRate;

    t.c_cflag &= ~CSIZE;
    switch (dcb.ByteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (dcb.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.fParity)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;

    // A UART sends 1.5 stop bits for 5-bit characters when asked for two.
    if (dcb.StopBits == ONESTOPBIT)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;

    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;

    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

void AfTermiosToDcb(const termios2& t, DCB& dcb)
{
    dcb.BaudRate = RateOf(t.c_cflag & CBAUD, t.c_ospeed);
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    if (!(t.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;

    const bool rtsCts = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = rtsCts ? 1 : 0;
    if (rtsCts)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb.fBinary = 1;
}

} // namespace vexora::serial::platform
