// A line setting as the port core would make it: binary, DTR and RTS on, no flow control, DC1 and
// DC3 as the flow characters, at the given rate and frame.
#pragma once

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

inline DCB LineDcb(DWORD Rate, BYTE Bits = 8, BYTE Parity = NOPARITY, BYTE Stop = ONESTOPBIT)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = Rate;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = Bits;
    dcb.Parity = Parity;
    dcb.StopBits = Stop;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}
