#include "NetGateways.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A socket listening on 127.0.0.1 at a free port.
int ListenLocal(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port = ntohs(address.sin_port);
    return fd;
}

// Whether something listens on 127.0.0.1:`port`, as /proc/net/tcp says (no connection is made).
bool Listening(int port)
{
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

std::string Ser2netProgram()
{
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (::access(path, X_OK) == 0)
            return path;
    throw std::runtime_error("ser2net is not installed (scripts/install-deps.sh installs it)");
}

} // namespace

int FreeLocalPort()
{
    int port = 0;
    ::close(ListenLocal(port));
    return port;
}

TSer2net::TSer2net(const std::string& device) : FDevice(device)
{
    const std::string program = Ser2netProgram();
    char pattern[] = "/tmp/vexora-ser2net-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("cannot make a folder for ser2net");
    FDir = pattern;
    FRfc2217Port = FreeLocalPort();
    FTcpPort = FreeLocalPort();
    const std::string line = "connector: serialdev," + device + ",2400e81,local\n";
    std::ofstream(FDir + "/ser2net.yaml")
        << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << FRfc2217Port << "\n  "
        << line << "connection: &raw\n  accepter: tcp,127.0.0.1," << FTcpPort << "\n  " << line;
    const std::string config = FDir + "/ser2net.yaml";
    const std::string pidFile = FDir + "/ser2net.pid";
    const std::string log = FDir + "/ser2net.log";
    FPid = ::fork();
    if (FPid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        // -n: in the foreground; -u: no UUCP lock files for the test's pseudo-terminal.
        ::execl(program.c_str(), program.c_str(), "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!(Listening(FRfc2217Port) && Listening(FTcpPort))) {
        if (Clock::now() > deadline || ::waitpid(FPid, nullptr, WNOHANG) == FPid) {
            std::ifstream said(log);
            const std::string text((std::istreambuf_iterator<char>(said)), std::istreambuf_iterator<char>());
            throw std::runtime_error("ser2net does not listen: " + text);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool TSer2net::WaitReleased() const
{
    const std::string fds = "/proc/" + std::to_string(FPid) + "/fd";
    const auto holds = [&] {
        bool held = false;
        if (DIR* folder = ::opendir(fds.c_str())) {
            while (const dirent* entry = ::readdir(folder)) {
                char target[256];
                const ssize_t n = ::readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
                held = held || (n > 0 && std::string(target, static_cast<std::size_t>(n)) == FDevice);
            }
            ::closedir(folder);
        }
        return held;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (holds()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TSer2net::~TSer2net()
{
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
    for (const char* name : {"/ser2net.yaml", "/ser2net.pid", "/ser2net.log"})
        ::unlink((FDir + name).c_str());
    ::rmdir(FDir.c_str());
}

TTcpPeer::TTcpPeer(TBehaviour Behaviour) : FBehaviour(Behaviour)
{
    FListener = ListenLocal(FPort);
    FStop = ::eventfd(0, EFD_CLOEXEC);
    FThread = std::thread([this] { Serve(); });
}

TTcpPeer::~TTcpPeer()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FStop, &one, sizeof one);
    FThread.join();
    ::close(FStop);
    ::close(FListener);
}

std::string TTcpPeer::Address(const std::string& Scheme) const
{
    return Scheme + "127.0.0.1:" + std::to_string(FPort);
}

void TTcpPeer::Serve()
{
    std::vector<int> connections;
    for (;;) {
        std::vector<pollfd> fds{{FStop, POLLIN, 0}, {FListener, POLLIN, 0}};
        for (const int fd : connections)
            fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.push_back(fd);
                ++FAccepted;
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            unsigned char buffer[512];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            const bool request = n > 0 && std::find(buffer, buffer + n, 0x16) != buffer + n;
            if (n <= 0 || (request && FBehaviour == TBehaviour::CloseOnRequest)) {
                ::close(fds[i].fd);
                std::erase(connections, fds[i].fd);
            }
        }
    }
    for (const int fd : connections)
        ::close(fd);
}
