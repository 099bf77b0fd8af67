// Inside the comm platform: the line settings of a DCB as terminal attributes (struct termios2,
// which carries any baud rate through BOTHER), and back.
#pragma once

#include <asm/termbits.h>

#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial::platform {

// Raw byte transport: no echo, no line editing, no signals, no character translation, receiver
// on, modem control lines ignored for hang-up; a read takes at least one byte (so a non-blocking
// read tells "nothing yet" from end of file). Start and stop characters are kept unless they are
// equal; then they become DC1 and DC3.
void AfMakeRaw(termios2& attributes);

// Writes rate, data bits, parity, stop bits, RTS/CTS and XON/XOFF flow control and the XON/XOFF
// characters of a checked DCB into `attributes`; everything else is kept.
void AfDcbToTermios(const DCB& dcb, termios2& attributes);

// Reads the same settings back into `dcb`; other fields are left as they are.
void AfTermiosToDcb(const termios2& attributes, DCB& dcb);

} // namespace vexora::serial::platform
