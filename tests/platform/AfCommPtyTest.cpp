// The serial device operations on pseudo-terminals, as the port core and its threads use them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <numeric>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfPtyPort.h"

namespace {

const std::string kPortDir = AfTestPortDirectory();

HANDLE OpenPort(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED)
{
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

// An open port with the core's settings and an OVERLAPPED with its own manual-reset event for
// each kind of operation.
class OpenPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty_ = std::make_unique<AfPtyPort>(101);
        port_ = OpenPort(pty_->ComName());
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
        ASSERT_TRUE(SetupComm(port_, 4096, 2048));
        for (OVERLAPPED* overlapped : {&wait_, &write_, &read_}) {
            *overlapped = {};
            overlapped->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        }
    }

    void TearDown() override
    {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        for (OVERLAPPED* overlapped : {&wait_, &write_, &read_})
            CloseHandle(overlapped->hEvent);
    }

    // Waits, by EV_RXCHAR waits rather than polling, until `done` holds for the port's status;
    // the CE_ flags seen meanwhile are kept in collected_. Returns the last cbInQue.
    template <class Done> DWORD AwaitStatus(Done done)
    {
        COMSTAT stat{};
        DWORD errors = 0;
        for (int round = 0; round < 50; ++round) {
            EXPECT_TRUE(ClearCommError(port_, &errors, &stat));
            collected_ |= errors;
            if (done(stat))
                break;
            DWORD mask = 0;
            SetCommMask(port_, EV_RXCHAR);
            if (!WaitCommEvent(port_, &mask, &wait_))
                WaitForSingleObject(wait_.hEvent, 100);
            SetCommMask(port_, 0);
        }
        return stat.cbInQue;
    }

    DWORD AwaitQueued(DWORD count)
    {
        return AwaitStatus([count](const COMSTAT& stat) { return stat.cbInQue >= count; });
    }

    std::unique_ptr<AfPtyPort> pty_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED wait_{};
    OVERLAPPED write_{};
    OVERLAPPED read_{};
    DWORD collected_ = 0; // the CE_ flags AwaitQueued() took
    DWORD mask_ = 0;      // for a wait that is still outstanding when the port closes
};

double CpuMillis()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Threads of this process right now.
int ThreadCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

std::vector<std::uint8_t> Pattern(std::size_t count)
{
    std::vector<std::uint8_t> data(count);
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return data;
}

} // namespace

TEST(CommOpen, IsExclusiveAndFreedAtOnceByClose)
{
    AfPtyPort pty(102);
    HANDLE first = OpenPort("COM102");
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();

    // Every name of the same device is refused while it is open, with an error that does not
    // claim the port is missing (this holds for root too).
    for (const std::string& name : {std::string("COM102"), std::string("\\\\.\\COM102"), pty.DevicePath()}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name, 0), INVALID_HANDLE_VALUE) << name;
        EXPECT_NE(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
        EXPECT_NE(GetLastError(), ERROR_SUCCESS) << name;
    }

    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = OpenPort("\\\\.\\com102");
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(CloseHandle(second));
}

// Root passes a terminal's exclusive mode; an unprivileged child process shows whether it is set
// while the port is open, and that closing the port lifts it even though the terminal stays open
// elsewhere.
TEST(CommOpen, OtherProgramsAreKeptOutUntilTheClose)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as an unprivileged program";
    AfPtyPort pty(104);
    ASSERT_EQ(chmod(pty.DevicePath().c_str(), 0666), 0);
    const std::string path = pty.DevicePath();
    // 0: opened, 1: busy, 2: other failure
    auto openAsNobody = [&path] {
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            _exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(openAsNobody(), 0);
    HANDLE port = OpenPort("COM104");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openAsNobody(), 1);
    CloseHandle(port);
    EXPECT_EQ(openAsNobody(), 0);
}

TEST(CommOpen, MissingPortsAreNotFound)
{
    const std::string dangling = kPortDir + "/COM198";
    ASSERT_EQ(symlink("/dev/pts/does-not-exist", dangling.c_str()), 0);
    const std::string plainFile = kPortDir + "/plain";
    std::FILE* file = std::fopen(plainFile.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    AfRegisterTestCom(197, plainFile);

    for (const char* name : {"COM199", "\\\\.\\COM199", "COM198", "COM0", "/dev/does-not-exist", "COM197"}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
    // A character device that is no terminal is not a port either.
    EXPECT_EQ(OpenPort("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    unlink(dangling.c_str());
    AfUnregisterTestCom(197);
    unlink(plainFile.c_str());
}

TEST(CommOpen, OperationsOnBadHandlesFail)
{
    DWORD value = 0;
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(SetCommMask(bad, EV_RXCHAR));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ReadFile(bad, &value, 1, &value, nullptr));
        EXPECT_FALSE(PurgeComm(bad, PURGE_RXCLEAR));
    }
    // An event is no comm handle.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ClearCommError(event, &value, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);
}

TEST_F(OpenPty, ReadTakesAtMostWhatIsAskedAndNeverWaits)
{
    std::uint8_t buffer[64] = {};
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(WaitForSingleObject(read_.hEvent, 0), WAIT_OBJECT_0);

    const auto sent = Pattern(10);
    ASSERT_TRUE(pty_->Send(sent));
    ASSERT_EQ(AwaitQueued(10), 10u);

    ASSERT_TRUE(ReadFile(port_, buffer, 4, &read, &read_));
    EXPECT_EQ(read, 4u);
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, &read_, &transferred, FALSE));
    EXPECT_EQ(transferred, 4u);
    ASSERT_TRUE(ReadFile(port_, buffer + 4, 60, &read, &read_));
    EXPECT_EQ(read, 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 10), sent);

    COMSTAT stat{};
    DWORD errors = 1;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(errors, 0u);
}

TEST_F(OpenPty, InputQueueKeepsTheOrderAcrossItsEnd)
{
    ASSERT_TRUE(SetupComm(port_, 100, 100));
    const auto first = Pattern(70);
    std::vector<std::uint8_t> second(70);
    std::iota(second.begin(), second.end(), std::uint8_t{200});
    ASSERT_TRUE(pty_->Send(first));
    ASSERT_EQ(AwaitQueued(70), 70u);
    std::uint8_t buffer[100];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, 50, &read, &read_));
    ASSERT_EQ(read, 50u);
    ASSERT_TRUE(pty_->Send(second)); // fills the queue round its end
    ASSERT_EQ(AwaitQueued(90), 90u);
    ASSERT_TRUE(ReadFile(port_, buffer, 100, &read, &read_));
    ASSERT_EQ(read, 90u);
    std::vector<std::uint8_t> expected(first.begin() + 50, first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 90), expected);
    EXPECT_EQ(collected_, 0u) << "nothing was lost";
}

TEST_F(OpenPty, FullQueueHoldsTheSenderBackAndLetsItOnAfterARead)
{
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    const auto sent = Pattern(40);
    ASSERT_TRUE(pty_->Send(sent));
    // The queue fills; the rest waits in the terminal instead of being dropped.
    std::vector<std::uint8_t> received;
    for (DWORD expected : {16u, 16u, 8u}) {
        ASSERT_EQ(AwaitQueued(expected), expected) << "after " << received.size() << " bytes";
        std::uint8_t buffer[32];
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
        EXPECT_EQ(read, expected);
        received.insert(received.end(), buffer, buffer + read);
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(collected_, 0u) << "nothing was lost";
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
}

TEST_F(OpenPty, WaitCommEventCompletesOnArrivingBytes)
{
    ASSERT_TRUE(SetCommMask(port_, 0x1B9));
    DWORD mask = 0xDEAD;
    SetEvent(wait_.hEvent); // a stale signal is cleared when the wait starts
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(wait_.hEvent, 0), WAIT_TIMEOUT);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &wait_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    // A second wait while one is outstanding is refused.
    OVERLAPPED other{};
    other.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD otherMask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &otherMask, &other));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    CloseHandle(other.hEvent);

    ASSERT_TRUE(pty_->Send(Pattern(3)));
    ASSERT_EQ(WaitForSingleObject(wait_.hEvent, 2000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &wait_, &transferred, FALSE));
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(OpenPty, EventsBetweenWaitsAreNotLost)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    ASSERT_TRUE(pty_->Send(Pattern(5)));
    ASSERT_EQ(AwaitQueued(5), 5u);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)); // a new mask starts a new history
    ASSERT_TRUE(pty_->Send(Pattern(1)));
    ASSERT_EQ(AwaitQueued(6), 6u);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));

    ASSERT_TRUE(pty_->Send(Pattern(1)));
    ASSERT_EQ(pty_->Receive(1, 200).size(), 0u); // let it arrive while no wait is outstanding
    DWORD mask = 0;
    ResetEvent(wait_.hEvent);
    if (!WaitCommEvent(port_, &mask, &wait_)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(WaitForSingleObject(wait_.hEvent, 2000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(OpenPty, ClearingTheMaskEndsAnOutstandingWaitWithAnEmptyMask)
{
    ASSERT_TRUE(SetCommMask(port_, 0x1B9));
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(port_, 0));
    ASSERT_EQ(WaitForSingleObject(wait_.hEvent, 0), WAIT_OBJECT_0);
    DWORD transferred = 1;
    ASSERT_TRUE(GetOverlappedResult(port_, &wait_, &transferred, TRUE));
    EXPECT_EQ(mask, 0u);
    // With an empty mask there is nothing to wait for.
    EXPECT_FALSE(WaitCommEvent(port_, &mask, &wait_));
}

TEST_F(OpenPty, OverlappedWriteCompletesWhenTheLineTookEverything)
{
    // More than a pseudo-terminal buffers, so the write has to wait for the far end.
    const auto data = Pattern(200000);
    DWORD written = 0;
    const BOOL atOnce = WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, &write_);
    ASSERT_FALSE(atOnce);
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);
    EXPECT_LE(stat.cbOutQue, data.size());

    const auto received = pty_->Receive(data.size(), 10000);
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 2000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(received == data);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(OpenPty, SmallWriteReachesTheFarEnd)
{
    const std::string text = "\x10\x40\xFE\x3E\x16\r\n";
    DWORD written = 0;
    if (!WriteFile(port_, text.data(), static_cast<DWORD>(text.size()), &written, &write_)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
    }
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_OBJECT_0);
    const auto received = pty_->Receive(text.size(), 2000);
    EXPECT_EQ(std::string(received.begin(), received.end()), text) << "bytes pass unchanged";
}

TEST_F(OpenPty, TransmitAbortEndsAPendingWriteAtOnce)
{
    const auto data = Pattern(200000);
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, &write_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    ASSERT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(port_, &write_, &written, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_LT(written, data.size());
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(OpenPty, ReceivePurgeEmptiesTheInputQueue)
{
    ASSERT_TRUE(pty_->Send(Pattern(20)));
    ASSERT_EQ(AwaitQueued(20), 20u);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR));
    std::uint8_t buffer[32];
    DWORD read = 1;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
    EXPECT_EQ(read, 0u);
    EXPECT_FALSE(PurgeComm(port_, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // Bytes that come after the purge are read as usual.
    ASSERT_TRUE(pty_->Send(Pattern(2)));
    ASSERT_EQ(AwaitQueued(2), 2u);
}

TEST_F(OpenPty, LineSettingsAreAppliedAndReadBack)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));

    dcb.BaudRate = 31250;
    dcb.ByteSize = 8;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = NOPARITY;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x23;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 31250u);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.XonChar, 0x21);
    EXPECT_EQ(back.XoffChar, 0x23);

    // Every data size the line knows is taken (a pseudo-terminal keeps 8 bits whatever it is
    // told, so only acceptance is visible here), and so is every parity.
    for (BYTE size : {5, 6, 7, 8}) {
        DCB other = dcb;
        other.ByteSize = size;
        other.StopBits = ONESTOPBIT;
        EXPECT_TRUE(SetCommState(port_, &other)) << int(size);
    }
    for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY}) {
        DCB other = dcb;
        other.Parity = parity;
        EXPECT_TRUE(SetCommState(port_, &other)) << int(parity);
    }
    dcb.BaudRate = 2400;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = 0;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 2400u);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.fOutX, 0u);
}

TEST_F(OpenPty, RefusedSettingsFailAndLeaveTheLineAsItWas)
{
    DCB good{};
    ASSERT_TRUE(GetCommState(port_, &good));
    good.BaudRate = 4800;
    ASSERT_TRUE(SetCommState(port_, &good));

    auto refused = [&](auto change) {
        DCB bad = good;
        change(bad);
        SetLastError(0);
        const BOOL result = SetCommState(port_, &bad);
        const DWORD error = GetLastError();
        DCB now{};
        EXPECT_TRUE(GetCommState(port_, &now));
        EXPECT_EQ(now.BaudRate, 4800u);
        return !result && error != ERROR_SUCCESS;
    };
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 9; }));
    EXPECT_TRUE(refused([](DCB& d) { d.Parity = 5; }));
    EXPECT_TRUE(refused([](DCB& d) { d.StopBits = 3; }));
    EXPECT_TRUE(refused([](DCB& d) { d.StopBits = ONE5STOPBITS; }));
    EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));
    EXPECT_TRUE(refused([](DCB& d) {
        d.BaudRate = 9600;
        d.fRtsControl = RTS_CONTROL_TOGGLE;
    }));
    EXPECT_TRUE(refused([](DCB& d) {
        d.BaudRate = 9600;
        d.fOutX = 1;
        d.XonChar = d.XoffChar = 0x11;
    }));
    EXPECT_FALSE(SetCommState(port_, nullptr));
}

TEST_F(OpenPty, FrameTheTerminalCannotHoldIsReportedAsLastAccepted)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    // Data bits, parity and stop bits as read back.
    const auto frameOf = [this] {
        DCB back{};
        EXPECT_TRUE(GetCommState(port_, &back));
        return std::make_tuple(int(back.ByteSize), int(back.Parity), int(back.StopBits));
    };
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(frameOf(), std::make_tuple(7, int(EVENPARITY), int(TWOSTOPBITS)));
    // The stop bits of five data bits (the terminal's own frame has eight).
    dcb.ByteSize = 5;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(frameOf(), std::make_tuple(5, int(MARKPARITY), int(ONE5STOPBITS)));

    // A refused state leaves the one in force.
    DCB refused = dcb;
    refused.ByteSize = 9;
    refused.Parity = ODDPARITY;
    EXPECT_FALSE(SetCommState(port_, &refused));
    EXPECT_EQ(frameOf(), std::make_tuple(5, int(MARKPARITY), int(ONE5STOPBITS)));

    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(frameOf(), std::make_tuple(8, int(NOPARITY), int(ONESTOPBIT)));
}

TEST_F(OpenPty, DtrDsrHandshakeIsAcceptedAndHoldsNothingWithoutModemLines)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.fOutxDsrFlow, 1u);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_HANDSHAKE);

    const auto data = Pattern(300);
    DWORD written = 0;
    if (!WriteFile(port_, data.data(), 300, &written, &write_)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
    }
    EXPECT_EQ(written, 300u);
    EXPECT_EQ(pty_->Receive(300, 2000), data);
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    ASSERT_TRUE(pty_->Send(Pattern(20)));
    EXPECT_EQ(AwaitQueued(16), 16u);
}

TEST_F(OpenPty, TimeoutsTheDriverCannotKeepAreRefused)
{
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(port_, &timeouts));
    const auto same = [](const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
        return std::memcmp(&a, &b, sizeof a) == 0;
    };
    const COMMTIMEOUTS kept{MAXDWORD, 0, 0, 0, 0};
    EXPECT_TRUE(same(timeouts, kept));

    struct Case {
        COMMTIMEOUTS timeouts;
        DWORD error;
    };
    const Case refused[] = {
        {{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0}, ERROR_INVALID_PARAMETER},
        {{MAXDWORD, MAXDWORD, MAXDWORD, 10, 10}, ERROR_INVALID_PARAMETER},
        {{0, 0, 0, 0, 0}, ERROR_NOT_SUPPORTED},                 // reads that wait for every byte
        {{MAXDWORD, MAXDWORD, 500, 0, 0}, ERROR_NOT_SUPPORTED}, // reads that wait for the first
        {{50, 0, 0, 0, 0}, ERROR_NOT_SUPPORTED},
        {{MAXDWORD, 0, 100, 0, 0}, ERROR_NOT_SUPPORTED},
        {{MAXDWORD, 0, 0, 10, 0}, ERROR_NOT_SUPPORTED}, // writes that time out
        {{MAXDWORD, 0, 0, 0, 1000}, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : refused) {
        const COMMTIMEOUTS& t = c.timeouts;
        SCOPED_TRACE(testing::Message() << t.ReadIntervalTimeout << " " << t.ReadTotalTimeoutMultiplier << " "
                                        << t.ReadTotalTimeoutConstant << " " << t.WriteTotalTimeoutMultiplier
                                        << " " << t.WriteTotalTimeoutConstant);
        SetLastError(0);
        EXPECT_FALSE(SetCommTimeouts(port_, &t));
        EXPECT_EQ(GetLastError(), c.error);
        ASSERT_TRUE(GetCommTimeouts(port_, &timeouts));
        EXPECT_TRUE(same(timeouts, kept));
    }
    EXPECT_TRUE(SetCommTimeouts(port_, &kept));
}

TEST_F(OpenPty, BytesThatCameWhileThePortWasClosedAreDroppedAtTheOpen)
{
    ASSERT_TRUE(CloseHandle(port_));
    ASSERT_TRUE(pty_->Send(Pattern(50)));
    port_ = OpenPort(pty_->ComName());
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    // The terminal keeps its order: stale bytes would come before these.
    const std::vector<std::uint8_t> fresh{'n', 'e', 'w'};
    ASSERT_TRUE(pty_->Send(fresh));
    ASSERT_GE(AwaitQueued(3), 3u);
    std::uint8_t buffer[64];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, &read_));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + read), fresh);
}

TEST_F(OpenPty, LineFunctionsWorkWithoutModemLines)
{
    for (DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(port_, function)) << function;
    EXPECT_FALSE(EscapeCommFunction(port_, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, 0u);
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(port_, 0x1B9));
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, 0x1B9u);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(port_, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
}

TEST_F(OpenPty, FarEndGoneEndsPendingOperationsAndLaterCallsFailWithoutSpinning)
{
    ASSERT_TRUE(SetCommMask(port_, 0x1B9));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    const auto data = Pattern(200000);
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, &write_));

    pty_->CloseFarEnd();
    HANDLE both[] = {wait_.hEvent, write_.hEvent};
    ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, 2000), WAIT_OBJECT_0);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, &wait_, &transferred, TRUE));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(GetOverlappedResult(port_, &write_, &transferred, TRUE));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);

    EXPECT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(WriteFile(port_, data.data(), 1, &written, &write_));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    std::uint8_t byte;
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &read, &read_));
    COMSTAT stat{};
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(port_, &errors, &stat));

    const double before = CpuMillis();
    usleep(1000 * 1000);
    const double used = CpuMillis() - before;
    std::printf("CPU over 1 s with the far end gone: %.2f ms\n", used);
    EXPECT_LT(used, 50.0);
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
}

TEST_F(OpenPty, AnIdleOpenPortUsesAlmostNoCpu)
{
    ASSERT_TRUE(SetCommMask(port_, 0x1B9));
    ASSERT_FALSE(WaitCommEvent(port_, &mask_, &wait_));
    const double before = CpuMillis();
    usleep(1000 * 1000);
    const double used = CpuMillis() - before;
    std::printf("CPU over 1 s of an idle open port: %.2f ms\n", used);
    EXPECT_LT(used, 50.0);
}

TEST_F(OpenPty, ClosingEndsPendingOperations)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD mask = 0xABCD;
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    const auto data = Pattern(200000);
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, &write_));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WaitForSingleObject(wait_.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(write_.hEvent, 0), WAIT_OBJECT_0);
    // Nobody can collect the ended wait, so its mask variable (which a closing owner may already
    // have given up) is not written.
    EXPECT_EQ(mask, 0xABCDu);
    // The device is free again at once.
    HANDLE again = OpenPort(pty_->ComName());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(CommProbe, NonOverlappedHandleWritesSynchronously)
{
    AfPtyPort pty(103);
    HANDLE port = OpenPort("COM103", 0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const auto data = Pattern(100);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, data.data(), 100, &written, nullptr));
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(pty.Receive(100, 2000), data);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR)); // first: a new mask starts with an empty history
    ASSERT_TRUE(pty.Send(Pattern(3)));
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(port, &mask, nullptr)); // blocks until the bytes are there
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_TRUE(CloseHandle(port));
}

// A terminal's input is taken in by the calls themselves: no thread of the driver's runs for it,
// so whatever a caller does to look (a status query, a read, asking for a wait's result without
// waiting) brings in what has arrived.
TEST_F(OpenPty, ArrivedBytesReachEveryCallThatLooksWithoutAWaitOnTheEvent)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(pty_->Send(Pattern(5)));
    DWORD transferred = 0;
    bool done = false;
    for (int round = 0; round < 400 && !done; ++round) {
        done = GetOverlappedResult(port_, &wait_, &transferred, FALSE) != FALSE;
        if (!done) {
            EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
            usleep(5000);
        }
    }
    ASSERT_TRUE(done) << "the wait did not end for a caller who only asked for its result";
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // A look at the wait's event without waiting brings the bytes in as well.
    ASSERT_FALSE(WaitCommEvent(port_, &mask, &wait_));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(pty_->Send(Pattern(2)));
    DWORD looked = WAIT_TIMEOUT;
    for (int round = 0; round < 400 && looked == WAIT_TIMEOUT; ++round) {
        looked = WaitForSingleObject(wait_.hEvent, 0);
        if (looked == WAIT_TIMEOUT)
            usleep(5000);
    }
    ASSERT_EQ(looked, WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, &wait_, &transferred, FALSE));
    auto Joined = [](std::initializer_list<std::size_t> counts) {
        std::vector<std::uint8_t> bytes;
        for (std::size_t count : counts) {
            const auto more = Pattern(count);
            bytes.insert(bytes.end(), more.begin(), more.end());
        }
        return bytes;
    };
    std::vector<std::uint8_t> got(64);
    DWORD taken = 0;
    ASSERT_TRUE(ReadFile(port_, got.data(), 64, &taken, &read_));
    got.resize(taken);
    EXPECT_EQ(got, Joined({5, 2}));

    ASSERT_TRUE(pty_->Send(Pattern(7)));
    COMSTAT stat{};
    DWORD errors = 0;
    for (int round = 0; round < 400 && stat.cbInQue < 7; ++round) {
        ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
        if (stat.cbInQue < 7)
            usleep(5000);
    }
    EXPECT_EQ(stat.cbInQue, 7u);

    ASSERT_TRUE(pty_->Send(Pattern(3)));
    got.assign(64, 0);
    std::vector<std::uint8_t> all;
    for (int round = 0; round < 400 && all.size() < 10; ++round) {
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(port_, got.data(), 64, &read, &read_));
        all.insert(all.end(), got.begin(), got.begin() + read);
        if (all.size() < 10)
            usleep(5000);
    }
    EXPECT_EQ(all, Joined({7, 3}));
}

// An open terminal costs no thread while it is idle or waits for input; output that the terminal
// cannot take at once brings up the one thread that feeds it, and the close ends it.
TEST(CommThreads, AnOpenTerminalRunsNoThreadUntilOutputHasToWait)
{
    AfPtyPort pty(105);
    // A race checker starts a thread of its own with the first thread of the process.
    std::thread([] {}).join();
    const int before = ThreadCount();
    HANDLE port = OpenPort(pty.ComName());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    OVERLAPPED wait{};
    OVERLAPPED write{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &wait));
    EXPECT_EQ(ThreadCount(), before);

    const auto data = Pattern(200000);
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, &write));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(ThreadCount(), before + 1);
    EXPECT_EQ(pty.Receive(data.size(), 10000), data);
    ASSERT_EQ(WaitForSingleObject(write.hEvent, 5000), WAIT_OBJECT_0);

    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(ThreadCount(), before);
    CloseHandle(wait.hEvent);
    CloseHandle(write.hEvent);
}

// Each call takes only the handles of its own kind.
TEST_F(OpenPty, HandlesOfAnotherKindAreRefused)
{
    SetLastError(0);
    EXPECT_FALSE(SetEvent(port_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(port_, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(ResumeThread(port_), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD errors = 0;
    COMSTAT stat{};
    SetLastError(0);
    EXPECT_FALSE(ClearCommError(wait_.hEvent, &errors, &stat));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(PurgeComm(wait_.hEvent, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
