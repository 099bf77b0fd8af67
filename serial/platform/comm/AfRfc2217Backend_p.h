// Inside the comm platform: a serial port behind a gateway that speaks the Telnet COM Port Control
// option (RFC 2217), as the backend of a comm handle.
//
// Line settings, flow control, DTR, RTS, breaks and purges go to the far port as COM port
// commands; the gateway's notifications of its modem lines (CTS, DSR, RI, DCD) and of line errors
// (framing, parity, overrun, break) come back as the device's line status, announced through the
// notify descriptor. Nothing waits for the gateway to acknowledge anything: commands go out as
// they are made and its answers are taken as they come (a gateway on a port without modem lines
// does not answer DTR or RTS at all), so a gateway that never answers leaves only its data
// missing. Commands made before the gateway has agreed to the option go out once it has; the frame
// is sent only once a caller has set one. What GetState gives is what was set (before, what the
// gateway said of its port when the session opened, else 9600 8N1).
#pragma once

#include <memory>
#include <string>

#include "comm/AfCommBackend_p.h"

namespace vexora::serial::platform {

// A network port's connection as it opens: the backend that takes it over, or why there is none.
struct AfNetSession {
    std::unique_ptr<AfCommBackend> Backend;
    // The gateway ended the connection before it showed that it serves the port (a gateway that
    // serves one client at a time does so while the port is taken, or until it has let go of the
    // last client).
    bool Ended = false;
    std::string Said; // what it sent before, as text ("Port's device already in use")
};

// Takes over `socket`, a connected non-blocking TCP socket, opens the Telnet session on it and
// waits up to `settleMs` for the gateway to show that it serves the far port: its answer to a
// query of the far port's rate ends the wait at once (the rate, data bits, parity and stop bits
// it gives are what GetState reads until a caller sets them). A gateway that does not answer is
// kept when the time is up. No backend when the gateway ended the connection meanwhile, or when the
// backend's notify descriptor cannot be made; the socket is closed then.
AfNetSession AfOpenRfc2217Session(int socket, int settleMs);

} // namespace vexora::serial::platform
