// Inside the comm platform: network ports as comm devices. A COM number whose device is
// `rfc2217://HOST:PORT` or `tcp://HOST:PORT` (ports/AfNetAddress_p.h) opens a TCP connection to that
// address, and nowhere else; nothing here listens. Over `rfc2217://` the far port's settings, lines
// and purges go to the gateway (AfRfc2217Backend_p.h); over `tcp://` only the bytes go, and the line
// settings stay with the handle as they were set, since the gateway keeps its own.
//
// Both keep the meaning of the comm API as on a device: reads never wait, a write is done once the
// connection has taken its bytes, a purge drops what has come in and not been read, and a
// connection that ends (the gateway closed it, or it broke) is a device that has gone. The socket
// has TCP_NODELAY, so that a short request leaves at once.
#pragma once

#include <memory>
#include <string>

#include "comm/AfCommBackend_p.h"

namespace vexora::serial::platform {

// How long an open waits for the host name to resolve and the connection to be made.
inline constexpr int AF_NET_CONNECT_TIMEOUT_MS = 5000;

// The line settings a network port holds until it is given others: 9600 8N1, as a terminal
// starts.
DCB AfNetPortFirstSettings();

// Connects to `host`:`port` over TCP within `timeoutMs` (name resolution included), trying each
// address the name has in turn: a non-blocking socket with TCP_NODELAY, or -1 with `error`
// (ERROR_BAD_NETPATH, ERROR_CONNECTION_REFUSED, ERROR_HOST_UNREACHABLE, ERROR_NETWORK_UNREACHABLE,
// ERROR_TIMEOUT, ERROR_GEN_FAILURE) and `reason` ("connection refused", ...) set.
int AfConnectTcp(const std::string& host, const std::string& port, int timeoutMs, DWORD& error,
                 std::string& reason);

// Takes what the connection `socket` holds, without waiting: > 0 bytes, 0 none now, < 0 the
// connection has ended (the gateway closed it, or it broke). What comes is acknowledged at once
// (TCP_QUICKACK, which the system takes back after a while, so it is set again with every read): a
// gateway that holds a small write back until its last one is acknowledged (Nagle's algorithm, as
// ser2net does) would otherwise wait for the delayed acknowledgement, some 40 ms, each time.
long AfReceive(int socket, void* buffer, std::size_t count);

// Appends what a gateway sent before it ended a connection to `text` as one line of plain text
// (a gateway's reason, "Port's device already in use"): printable characters, line ends as blanks,
// at most 120 characters in all.
void AfAppendGatewayText(std::string& text, const BYTE* bytes, std::size_t count);

// Opens the network port at `address` within AF_NET_CONNECT_TIMEOUT_MS. A gateway that ends the new
// connection at once (its port is taken, or it has not let go of the last client yet) is tried
// again for a second. On failure returns null and sets `error`: ERROR_FILE_NOT_FOUND for a
// malformed address, ERROR_ACCESS_DENIED for a gateway that kept ending the connection, otherwise
// as AfConnectTcp. Why it failed is noted for the address (AfNoteNetPortProblem), and forgotten
// again by a success.
std::unique_ptr<AfCommBackend> AfOpenNetPort(const std::string& address, DWORD& error);

} // namespace vexora::serial::platform
