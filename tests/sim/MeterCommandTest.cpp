// vexora-meter-sim as a child process: it serves its COM entry until a signal ends it, removes the
// entry and keeps its log; bad command lines and a COM number already held are refused.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AfPtyPort.h"
#include "MBusTelegram.h"
#include "SimTestSupport.h"

extern char** environ;

namespace {

const std::string kPortDir = AfTestPortDirectory();

struct TChild {
    pid_t Pid = -1;
    int Output = -1; // standard output and error
};

TChild Spawn(std::vector<std::string> args)
{
    args.insert(args.begin(), VEXORA_METER_SIM);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    EXPECT_EQ(::pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    TChild child;
    EXPECT_EQ(posix_spawn(&child.Pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    child.Output = pipeFds[0];
    return child;
}

// Reads until a line break, the end of the output, or `timeoutMs`.
std::string ReadLine(const TChild& child, int timeoutMs = 10000)
{
    std::string line;
    char c = 0;
    pollfd fd{child.Output, POLLIN, 0};
    while (::poll(&fd, 1, timeoutMs) > 0 && ::read(child.Output, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Collects the child's output until it ends (closing it) and returns its exit status, or 128 + the
// signal that ended it. A child still running after 10 s is killed and counts as -1.
int Finish(const TChild& child, std::string* output = nullptr)
{
    char buffer[512];
    pollfd fd{child.Output, POLLIN, 0};
    ssize_t n = -1;
    while (::poll(&fd, 1, 10000) > 0 && (n = ::read(child.Output, buffer, sizeof buffer)) > 0)
        if (output)
            output->append(buffer, static_cast<std::size_t>(n));
    ::close(child.Output);
    const bool ended = n == 0; // the output closes as the child exits
    if (!ended)
        ::kill(child.Pid, SIGKILL);
    int status = 0;
    ::waitpid(child.Pid, &status, 0);
    if (!ended)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(MeterCommand, ServesUntilSignalledThenRemovesItsEntryAndKeepsItsLog)
{
    for (int signal : {SIGTERM, SIGINT}) {
        const std::string log = kPortDir + "/meter-" + std::to_string(signal) + ".log";
        const TChild child = Spawn({"--com", "104", "--log", log});
        EXPECT_NE(ReadLine(child).find("COM104 = /dev/pts/"), std::string::npos);
        const std::string entry = kPortDir + "/COM104";
        {
            TMasterLine line(entry, 2400);
            TTelegramBuf telegram{};
            line.Send({telegram.begin(), telegram.begin() + BuildDataRequest(telegram, 1)});
            EXPECT_EQ(line.Receive(48, 5000).size(), 48u);
        }
        ::kill(child.Pid, signal);
        EXPECT_EQ(Finish(child), 0);
        struct stat gone {};
        EXPECT_NE(::lstat(entry.c_str(), &gone), 0); // not even a dangling link
        std::stringstream text;
        text << std::ifstream(log).rdbuf();
        EXPECT_NE(text.str().find(" RX 10 5B 01 5C 16\n"), std::string::npos) << text.str();
        EXPECT_NE(text.str().find(" TX 68 2A 2A 68 08 01 72 "), std::string::npos) << text.str();
    }
}

TEST(MeterCommand, RefusesBadCommandLinesAndAComNumberAlreadyHeld)
{
    std::string output;
    EXPECT_EQ(Finish(Spawn({"--help"}), &output), 0);
    EXPECT_EQ(output.rfind("Usage: vexora-meter-sim", 0), 0u);
    output.clear();
    EXPECT_EQ(Finish(Spawn({"--bogus"}), &output), 2);
    EXPECT_NE(output.find("unknown flag '--bogus'"), std::string::npos);
    output.clear();
    EXPECT_EQ(Finish(Spawn({"--com", "105", "--baud", "38400"}), &output), 1);
    EXPECT_NE(output.find("38400 baud"), std::string::npos);
    EXPECT_NE(::access((kPortDir + "/COM105").c_str(), F_OK), 0);
    output.clear();
    EXPECT_EQ(Finish(Spawn({"--com", "105", "--meter", "baud=9600", "--meter", "baud=9600"}), &output), 1);
    EXPECT_NE(output.find("meters 2 and 3 both have address 1 at 9600 baud"), std::string::npos) << output;
    EXPECT_NE(::access((kPortDir + "/COM105").c_str(), F_OK), 0);

    const TChild first = Spawn({"--com", "106"});
    EXPECT_NE(ReadLine(first).find("COM106"), std::string::npos);
    output.clear();
    EXPECT_EQ(Finish(Spawn({"--com", "106"}), &output), 1);
    EXPECT_NE(output.find("COM106 is already registered"), std::string::npos);
    ::kill(first.Pid, SIGTERM);
    EXPECT_EQ(Finish(first), 0);
}

} // namespace
