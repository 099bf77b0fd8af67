/// \file
/// The port selection box: a drop-down list of the serial ports COM 1 to COM MaxComPorts from
/// which the user picks a port. Bound to a port component, a pick sets the component's ComNumber
/// and opens the port.
///
///     TAfPortComboBox box(parent);
///     box.SetMaxComPorts(16);
///     box.SetComPort(&port); // takes over port.ComNumber() as the current port
///     ...                    // the user picks "COM 3": port is open on COM 3
///
/// Items. Each item reads `"COM <n>"` (COM, one blank, the number without leading zeros) and
/// carries one 32-bit value: the port number in the low 16 bits, the port's state (TAfPortState)
/// in the high 16 bits. The states are a snapshot of the last build of the list; nothing watches
/// the ports in between unless WatchPorts is set (below). An item's tooltip describes the device
/// behind the number (AfComPortSummary: the device path, its driver and, for a USB adapter, its
/// maker, product and serial number; a network port's address), and says which group gives access
/// where this user has none.
///
/// The list is built when the box's window is created (when it is first polished or shown, or when
/// code first needs the items), and built again when MaxComPorts or Options change, after a font
/// change and after every pick by the user. Each build probes every number from 1 to MaxComPorts
/// by opening its device and closing it at once; a network port is listed without being
/// connected to. A build leaves no item selected.
///
/// With WatchPorts (off by default) the box also follows the machine: a serial device plugged in or
/// pulled out, or an entry that appears in or leaves the port directory, rebuilds the list at once
/// (AfComPortWatch; nothing polls, and nothing wakes while nothing changes), and the current port
/// stays selected while it is listed. The list is then no longer a snapshot of the last pick.
///
/// Only a change made by the user (a pick in the list, the arrow keys, the wheel) runs the pick;
/// selecting an item from code does not. An error of the pick (the port cannot be opened) goes,
/// after the list has been rebuilt and the selection restored, to the application's exception
/// display (ApplicationHandleException): a Qt slot must not let an exception out.
///
/// Everything here runs on the user-interface thread.
#pragma once

#include <QComboBox>

#include <cstdint>
#include <functional>
#include <memory>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfSmallSet.h>

class QSocketNotifier;
class QTimer;

namespace vexora::serial {

namespace platform {
class AfComPortWatch;
}

/// The options of the box.
enum TAfPortCtlOption : std::uint8_t {
    pcCheckExist,   ///< List only ports whose device exists.
    pcDisableOpen,  ///< With pcCheckExist: list only ports that can be opened now.
    pcHighlightOpen ///< In the dropped-down list, busy ports in grey text, free ones in button text.
};
/// A set of TAfPortCtlOption; the box's default is [pcCheckExist].
using TAfPortCtlOptions = TAfSmallSet<TAfPortCtlOption, pcHighlightOpen + 1>;

/// What a probe found: the high half of an item's value.
enum TAfPortState : std::uint16_t {
    psUnavailable = 0, ///< The device exists but did not open (held by another program, no access).
    psAvailable = 1,   ///< The device opened and was closed again at once.
    psNotFound = 2     ///< There is no such device.
};

/// Probes COM `Number`: opens its device (the name the port core opens it by) for reading and
/// writing, exclusively and not overlapped, and closes it at once. Returns Number in the low 16
/// bits and the TAfPortState in the high 16 bits. Never raises: every failure is a state. Any
/// thread; blocks for one open and close of the device (a port open elsewhere, also in this
/// process, is psUnavailable). A network port (AfIsNetworkPort) is psAvailable without a
/// connection to its gateway.
VEXORA_SERIAL_API std::uint32_t GetComPortState(std::int16_t Number);

/// The port selection box (see the file's description). A QComboBox that fills and draws its items
/// itself; use its members below rather than QComboBox's own item functions.
class VEXORA_SERIAL_API TAfPortComboBox : public QComboBox {
public:
    /// An event of the box, with the box as Sender.
    using TNotifyEvent = std::function<void(TAfPortComboBox* Sender)>;

    /// MaxComPorts 4, Options [pcCheckExist], not bound, no current port; accessible name "Serial
    /// port" until the owner names it after its label. The list is not built yet.
    explicit TAfPortComboBox(QWidget* Parent = nullptr);
    /// Forgets the bound component.
    ~TAfPortComboBox() override;

    /// The bound port component (not owned), or null. Binding takes over its ComNumber as the
    /// current port once; later changes of the number made elsewhere are not followed. A component
    /// that is destroyed is forgotten.
    TAfComPort* ComPort() const { return FComPort; }
    /// Binds Value (null: none); selecting its number builds the list if it is not built yet.
    void SetComPort(TAfComPort* Value);
    /// The options (default [pcCheckExist]).
    TAfPortCtlOptions Options() const { return FOptions; }
    /// A new value rebuilds the list once it is built (the selection is not restored).
    void SetOptions(TAfPortCtlOptions Value);
    /// Ports 1 to MaxComPorts are probed (none when 0 or less); default 4.
    std::int16_t MaxComPorts() const { return FMaxComPorts; }
    /// A new value rebuilds the list once it is built (the selection is not restored).
    void SetMaxComPorts(std::int16_t Value);

    /// Whether the box follows the serial devices and the port directory (default false).
    bool WatchPorts() const { return FWatch != nullptr; }
    /// True starts the watch: from then on every change rebuilds the list (shortly after it came,
    /// so that a burst of changes costs one rebuild; once the dropped-down list closes, when it was
    /// open) and selects the current port again, or no item while the current port is not listed
    /// (CurrentPort keeps its number, which is selected again once it is back). False ends it.
    void SetWatchPorts(bool Value);

    /// The port number of the current selection; 0 when there is none.
    std::int16_t CurrentPort() const { return FCurrentPort; }
    /// A new number is stored and selected (SelectCurrentPort).
    void SetCurrentPort(std::int16_t Number);
    /// Selects the first item of CurrentPort; when no item has it, selects the first item and
    /// makes its number current (0 for an empty list). The bound component is not told. Builds the
    /// list first if it is not built yet.
    void SelectCurrentPort();
    /// Probes the ports and fills the list anew; nothing is selected afterwards. Blocks for one
    /// open and close of every port from 1 to MaxComPorts.
    void RebuildList();
    /// The port number of item Index; 0 for -1 (no selection) and for an index out of range.
    std::int16_t ItemPortNumber(int Index) const;
    /// The probed state of item Index; psNotFound for an index out of range.
    TAfPortState ItemPortState(int Index) const;
    /// Selects item Index (-1: none) as code does: no pick runs, the port is not touched.
    void SetItemIndex(int Index);

    /// Creates the box's window now unless it exists, which builds the list.
    void HandleNeeded();
    /// Height of an item of the dropped-down list: the font's pixel size + 5.
    int ItemHeight() const { return FItemHeight; }
    /// Drops the list down.
    void showPopup() override;
    /// Closes the dropped-down list.
    void hidePopup() override;
    /// Whether the list is dropped down now.
    bool DroppedDown() const { return FDroppedDown; }

    /// Fires on every change made by the user, before the pick touches the port.
    TNotifyEvent OnChange;

protected:
    /// A change made by the user: takes the picked number as the current port, fires OnChange, and
    /// with a bound component sets its ComNumber and opens the port unless it is open. Whatever
    /// happened, then rebuilds the list and selects the current port; an error of the port is
    /// raised after that (the box hands it to ApplicationHandleException).
    virtual void Change();

    /// Builds the list when the box is first polished.
    bool event(QEvent* Event) override;
    /// After a font change: the new item height, and the list built anew.
    void changeEvent(QEvent* Event) override;
    /// Builds the list when the box is first shown.
    void showEvent(QShowEvent* Event) override;

private:
    class TFreeLink;
    class TItemDelegate;

    // Whether a port in State belongs in the list under the options.
    bool Listed(TAfPortState State) const;
    // The watch found a change: the list built anew, the current port selected while listed.
    void PortsChanged();
    void ForgetComPort() { FComPort = nullptr; }

    TAfComPort* FComPort = nullptr;
    std::int16_t FCurrentPort = 0;
    TAfPortCtlOptions FOptions{pcCheckExist};
    std::int16_t FMaxComPorts = 4;
    bool FWindowCreated = false;
    bool FDroppedDown = false;
    int FItemHeight = 0;
    // Told by the component framework when the bound component is destroyed.
    std::unique_ptr<TFreeLink> FFreeLink;
    // With WatchPorts: the watch, its notifier and the timer that gathers a burst of changes.
    std::unique_ptr<platform::AfComPortWatch> FWatch;
    QSocketNotifier* FWatchNotifier = nullptr;
    QTimer* FWatchDelay = nullptr;
    bool FRebuildWhenClosed = false; // a change came while the list was dropped down
};

} // namespace vexora::serial
