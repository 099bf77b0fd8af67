// Test support: a controllable serial device, for what a pseudo-terminal cannot do: modem-line
// changes, line errors, a line that takes written bytes slowly or only when the test lets it, a
// transmit queue in the device's driver, a read of the device that does not return until the test
// lets it, settings that the device refuses, and a device that disappears.
//
// The device lives in the test process. CreateFileA reaches it under Path()
// ("/vexora-test/<name>") or, after RegisterAsCom(n), as "COM<n>", and the comm handle behaves
// as on a terminal: the same driver, queue, events and overlapped completions. Like a real port
// it can be open through one handle at a time; a second open fails with ERROR_ACCESS_DENIED.
//
// The test plays the line and the far end:
//     AfTestDevice device("slow");
//     device.RegisterAsCom(150);
//     HANDLE port = CreateFileA("COM150", ...);
//     device.HoldWrites();                 // the line takes nothing for now
//     WriteFile(port, data, 100, ...);     // pending
//     device.AllowWrites(40);              // the line takes 40 bytes
//     device.WaitSent(40, 1000);
//     device.SetModemLines(MS_CTS_ON);     // EV_CTS for a waiting WaitCommEvent
//     device.QueueOutput();                // written bytes wait in the device's transmit queue
//     device.Transmit(10);                 // until they leave it
//     device.StallReads();                 // the driver's next read of the device stops there
//     device.AddLineErrors(1, 0, 0, 0);    // a framing error: EV_ERR, CE_FRAME
//     device.Disappear();                  // pending operations fail, new opens do not find it
//
// All members may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/Dcb.h>

class AfTestDevice {
public:
    struct Shared;

    // Creates the device `name` and makes it reachable under Path(). Names are unique per
    // process while the device lives.
    explicit AfTestDevice(const std::string& name);
    // The device disappears and its name and COM entry are removed.
    ~AfTestDevice();
    AfTestDevice(const AfTestDevice&) = delete;
    AfTestDevice& operator=(const AfTestDevice&) = delete;

    const std::string& Path() const { return path_; }
    // Registers the device as COM<number> in the test port directory (AfPtyPort.h).
    void RegisterAsCom(int number);
    // Whether a comm handle has the device open.
    bool IsOpen() const;

    // ---- the line towards the port
    // Bytes arrive from the line.
    void Inject(const std::vector<std::uint8_t>& data);
    // Waits until the port's driver has taken every injected byte, at most `timeoutMs`; false on
    // time-out.
    bool WaitInputTaken(int timeoutMs);
    // Injected bytes the driver has not taken yet (it leaves them while its queue is full).
    std::size_t InputLeft() const;
    // Everything the line took from the port so far (and forgets it).
    std::vector<std::uint8_t> TakeSent();
    // Waits until the line has taken at least `count` bytes since the last TakeSent(), at most
    // `timeoutMs`; returns how many it took.
    std::size_t WaitSent(std::size_t count, int timeoutMs);

    // ---- pacing of writes: by default the line takes every byte at once
    // From now on the line takes nothing beyond what AllowWrites() grants.
    void HoldWrites();
    // Lets `count` more bytes through.
    void AllowWrites(std::size_t count);
    // Back to taking everything at once.
    void ReleaseWrites();

    // ---- a transmit queue in the device's driver, as a UART's: by default there is none
    // From now on the bytes the device takes wait in its transmit queue, which it reports to the
    // driver (AfCommBackend::OutputQueued), until Transmit() sends them to the line; the port's
    // output purge drops them.
    void QueueOutput();
    // Sends up to `count` queued bytes to the line.
    void Transmit(std::size_t count);
    // Bytes in the transmit queue.
    std::size_t OutputQueued() const;

    // ---- a read of the device that does not return at once
    // The driver's next read of the device stops until ResumeReads().
    void StallReads();
    // Waits until a read has stopped there, at most `timeoutMs`.
    bool WaitReadStalled(int timeoutMs);
    void ResumeReads();

    // ---- modem lines and line errors
    // The input lines as the port sees them (MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON). Like
    // a UART the device counts the end of every ring (RI falling). `announce` false changes the
    // lines without telling the driver, as a change whose notice is still on its way.
    void SetModemLines(DWORD lines, bool announce = true);
    // A ring that began and ended since the driver last looked: only the count of rings shows it.
    void Ring();
    // Counts line errors as the device's receiver would.
    void AddLineErrors(DWORD frame, DWORD parity, DWORD overrun, DWORD breaks);
    // The output lines the port drives (AF_LINE_DTR, AF_LINE_RTS of comm/AfCommBackend_p.h), the
    // break state, and whether output was suspended as by XOFF.
    DWORD OutputLines() const;
    // Waits until the output lines are `lines`, at most `timeoutMs`; false on time-out.
    bool WaitOutputLines(DWORD lines, int timeoutMs);
    bool BreakOn() const;
    bool OutputSuspended() const;

    // ---- settings
    // The last DCB the device accepted (the device starts at 9600 8N1).
    DCB State() const;
    // The next SetCommState calls fail with `error` (ERROR_SUCCESS: accept again).
    void RefuseStates(DWORD error);

    // The device goes away: the open handle's pending and later operations fail, new opens give
    // ERROR_FILE_NOT_FOUND.
    void Disappear();

private:
    std::string path_;
    int comNumber_ = 0;
    std::shared_ptr<Shared> shared_;
};
