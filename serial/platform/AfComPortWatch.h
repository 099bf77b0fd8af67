/// \file
/// A watch on what says which serial ports there are: the machine's serial devices in /dev (an
/// adapter plugged in or pulled out), the entries of the port directory (a meter simulator started
/// or ended) and the pseudo-terminals its entries name (a program that ended without removing its
/// entry). It tells through a descriptor that becomes readable, for the caller's own event loop:
/// nothing polls, and nothing wakes while nothing changes.
///
///     AfComPortWatch watch;
///     QSocketNotifier notifier(watch.Fd(), QSocketNotifier::Read);
///     QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
///         if (watch.TakeChanges())
///             RebuildTheList();
///     });
///
/// A change is a hint to look again: the COM numbers themselves come from ComPortDevicePath, as
/// always. One thread at a time; nothing raises (beyond std::bad_alloc).
#pragma once

#include <string>

#include <vexora/serial/AfExport.h>

namespace vexora::serial::platform {

class VEXORA_SERIAL_API AfComPortWatch {
public:
    /// Watches /dev (not while the machine's ports are switched off, VEXORA_MACHINE_PORTS=0),
    /// /dev/pts and the port directory of now (ComPortDirectory). A port directory that does not
    /// exist yet is waited for in the nearest folder above it that does.
    AfComPortWatch();
    /// Watches DevDir (none when empty), PtsDir and PortDir instead; for tests.
    AfComPortWatch(std::string DevDir, std::string PtsDir, std::string PortDir);
    /// Ends the watch.
    ~AfComPortWatch();
    AfComPortWatch(const AfComPortWatch&) = delete;
    AfComPortWatch& operator=(const AfComPortWatch&) = delete;

    /// The descriptor to wait on for reading; -1 when the system gives no watch, and then nothing
    /// is watched.
    int Fd() const { return FFd; }
    /// Takes what has come, without waiting: true when a serial device, an entry of the port
    /// directory or the pseudo-terminal that an entry names may have appeared or gone since the
    /// last call (also when the port directory itself was made or removed, which the watch then
    /// follows). Reads the descriptor, and the port directory when a pseudo-terminal went.
    bool TakeChanges();

private:
    void WatchPortDirectory();
    // Reads every event there is: whether one tells of a change, or of the port directory made or
    // gone.
    void TakeEvents(bool& Changed, bool& LookAgain);
    bool NamedByPortDirectory(const std::string& Device) const;

    int FFd = -1;
    std::string FDevDir, FPtsDir, FPortDir;
    int FDevWatch = -1, FPtsWatch = -1, FPortWatch = -1;
    bool FPortDirWatched = false; // else FPortWatch is on a folder above it
    std::string FPortDirStep;     // then: the name below that folder on the way to the port directory
};

} // namespace vexora::serial::platform
