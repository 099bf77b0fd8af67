// The watch on the serial ports, against made-up folders for /dev, /dev/pts and the port
// directory: which changes it tells of, the port directory made and removed under it, and a
// descriptor that stays quiet while nothing changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <unistd.h>

#include <vexora/serial/platform/AfComPortWatch.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

namespace fs = std::filesystem;

// Whether the watch's descriptor has something to read now.
bool Readable(const AfComPortWatch& Watch)
{
    pollfd ready{Watch.Fd(), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
}

TEST(ComPortWatch, TellsOfSerialDevicesAndPortEntriesAndOfNothingElse)
{
    const fs::path root = fs::temp_directory_path() / ("vexora-watch-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "dev");
    fs::create_directories(root / "pts");
    const fs::path ports = root / "run/user/vexora-ports"; // nothing of it exists yet
    AfComPortWatch watch((root / "dev").string(), (root / "pts").string(), ports.string());
    ASSERT_GE(watch.Fd(), 0);
    EXPECT_FALSE(watch.TakeChanges());
    const auto touch = [](const fs::path& Path) { std::ofstream{Path}; };
    const struct {
        const char* Step;
        std::function<void()> Change;
        bool Told;
    } steps[] = {
        {"an adapter plugged in", [&] { touch(root / "dev/ttyUSB0"); }, true},
        {"its permissions set", [&] { fs::permissions(root / "dev/ttyUSB0", fs::perms::owner_read); }, true},
        {"a UART and an ACM device", [&] { touch(root / "dev/ttyS4"), touch(root / "dev/ttyACM1"); }, true},
        {"other devices",
         [&] { touch(root / "dev/tty5"), touch(root / "dev/ttyUSB"), touch(root / "dev/null"); }, false},
        {"the adapter pulled out", [&] { fs::remove(root / "dev/ttyUSB0"); }, true},
        {"a folder above the port directory made", [&] { fs::create_directories(root / "run/user"); }, false},
        {"the port directory made", [&] { fs::create_directory(ports); }, true},
        {"an entry registered", [&] { fs::create_symlink(root / "pts/7", ports / "COM1"); }, true},
        {"an entry moved into place",
         [&] {
             fs::create_symlink(root / "pts/8", ports / "COM2.new.77");
             fs::rename(ports / "COM2.new.77", ports / "COM2");
         },
         true},
        {"another file in the port directory", [&] { touch(ports / "notes"); }, false},
        {"a terminal no entry names goes", [&] { touch(root / "pts/9"), fs::remove(root / "pts/9"); }, false},
        {"the terminal an entry names goes", [&] { touch(root / "pts/7"), fs::remove(root / "pts/7"); },
         true},
        {"an entry removed", [&] { fs::remove(ports / "COM1"); }, true},
        {"the port directory removed", [&] { fs::remove_all(ports); }, true},
        {"... and made again with an entry",
         [&] {
             fs::create_directory(ports);
             fs::create_symlink(root / "pts/8", ports / "COM3");
         },
         true},
        {"an entry of the new one removed", [&] { fs::remove(ports / "COM3"); }, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        step.Change();
        EXPECT_EQ(watch.TakeChanges(), step.Told);
        EXPECT_FALSE(Readable(watch)) << "all taken";
    }
    fs::remove_all(root);
}

TEST(ComPortWatch, WithoutADevFolderTheMachinesDevicesAreNotWatched)
{
    const fs::path root = fs::temp_directory_path() / ("vexora-watch-off-" + std::to_string(::getpid()));
    fs::create_directories(root / "dev");
    AfComPortWatch watch("", "", (root / "ports").string());
    std::ofstream{root / "dev/ttyUSB0"};
    EXPECT_FALSE(watch.TakeChanges());
    fs::remove_all(root);
}

} // namespace
