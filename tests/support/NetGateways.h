// Test support: gateways for the network ports, all on 127.0.0.1.
//
// TSer2net runs Debian's ser2net (4.x) as a child process with a YAML file of its own: an RFC 2217
// accepter (`telnet(rfc2217),tcp,...`) and a raw one (`tcp,...`) on free ports, both serving one
// serial device (a pseudo-terminal of the test) at 2400 8E1 without modem lines. One client at a
// time: while one is connected, ser2net tells a second one "Port's device already in use" and
// closes.
//
// TTcpPeer is a gateway that goes wrong: it accepts connections and then never answers, or closes
// the connection as soon as the end of a request (an M-Bus frame's 16) arrives.
#pragma once

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>

// A TCP port on 127.0.0.1 that nothing listens on now (bound and let go again).
int FreeLocalPort();

class TSer2net {
public:
    // Starts ser2net on `device` and waits until it listens. Throws std::runtime_error when it is
    // not installed (scripts/install-deps.sh installs it) or does not listen within 10 s.
    explicit TSer2net(const std::string& device);
    // Ends ser2net.
    ~TSer2net();
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;

    // Waits until ser2net has let go of the device after its last client (it does so some
    // milliseconds after the client has gone, and turns a client away until then). False when it
    // still holds it after 5 s.
    bool WaitReleased() const;

    std::string Rfc2217Address() const { return "rfc2217://127.0.0.1:" + std::to_string(FRfc2217Port); }
    std::string TcpAddress() const { return "tcp://127.0.0.1:" + std::to_string(FTcpPort); }

private:
    std::string FDevice;
    std::string FDir;
    pid_t FPid = -1;
    int FRfc2217Port = 0;
    int FTcpPort = 0;
};

class TTcpPeer {
public:
    enum class TBehaviour {
        Silent,        // reads and drops whatever comes, and never sends a byte
        CloseOnRequest // reads and drops what comes until a byte 16, then closes the connection
    };
    explicit TTcpPeer(TBehaviour Behaviour);
    ~TTcpPeer();
    TTcpPeer(const TTcpPeer&) = delete;
    TTcpPeer& operator=(const TTcpPeer&) = delete;

    // "tcp://127.0.0.1:<port>" with `Scheme` "tcp://", and so on.
    std::string Address(const std::string& Scheme) const;
    // Connections accepted so far.
    int Accepted() const { return FAccepted.load(); }

private:
    void Serve();

    TBehaviour FBehaviour;
    int FListener = -1;
    int FStop = -1;
    int FPort = 0;
    std::atomic<int> FAccepted{0};
    std::thread FThread;
};
