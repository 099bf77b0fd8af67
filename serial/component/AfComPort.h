/// \file
/// The serial port component: one serial port as an application uses it. It holds the line
/// settings as properties with defaults, owns one port core for its whole life, opens and closes
/// the port, passes bytes in and out, and turns the core's events into its own.
///
///     TAfComPort port(form);
///     port.SetName("AfComPort1");
///     port.SetParity(paEven);
///     port.OnDataRecived = [&](TObject*, std::int32_t Count) { ... port.ReceiveData(buf, Count); };
///     port.SetComNumber(3);
///     port.SetUserBaudRate(2400);  // switches BaudRate to brUser
///     port.OpenPort();             // 2400 8E1, no flow control, DTR and RTS on
///     port.SendData(frame, 11);
///     ...
///     port.ClosePort();
///
/// Threads. Everything is called on the user-interface thread (the thread that made the first port
/// component or dispatcher; a port made on another thread is refused), and the events fire there,
/// one at a time, handed over from the port's event thread, which waits for each at most 2000 ms.
/// Two exceptions: OnNonSyncEvent runs on the event thread itself (and, when assigned, replaces
/// every user-interface event); OnPortOpen and OnPortClose end OpenPort and ClosePort on the
/// caller's thread. A handler may close the port (also the one that is being handed over) or
/// destroy it, and so may a linked dispatcher's reader, which may also unlink the port: the close
/// or destruction returns at once, the rest of the event that ran the handler is dropped, and no
/// event of that port fires after it. Handlers and the dispatcher link may be changed at any time,
/// also while events flow.
///
/// The user-interface thread must serve its Qt event loop for the events to fire: an event that it
/// has not begun to handle within 2000 ms is dropped (unread input is announced again every 200
/// ms, so no byte is lost, only notifications). OnNonSyncEvent needs no event loop (only an
/// exception of the event thread still goes to the user-interface thread); its handler may call
/// SendData, ReceiveData, ReadData, InputCount, OutputCount, OutputSpace and IsPortOpen on the
/// event thread, and should return soon: no other event of the port is reported meanwhile.
///
/// Events. Every core event that reaches the user-interface thread fires OnSyncEvent first, then
/// the specific event. OnDataRecived gives the count waiting when the event is handled (0 when a
/// read took the bytes meanwhile). OnLineError gives the CE_ errors collected since the previous
/// comm event reached the user-interface thread: every comm event takes them, whether it reports
/// an error or not.
///
/// Errors. The component's own errors are EAfComPortError, raised through RaisePortError with the
/// message followed by " - ", the component's Name and a blank ("%s - %s "). Opening failures are
/// the core's EAfComPortCoreError, unchanged. An exception on the event thread (a device that
/// failed, a failing OnNonSyncEvent, a dispatcher whose ring is full) goes to the user-interface
/// thread: to OnError when assigned, otherwise it is raised again there, where the application's
/// exception display shows it.
///
/// Costs. OpenPort and ClosePort block for the core's open and close (device set-up, the start and
/// end of the port's two threads). SendData copies into the transmit ring and wakes the write
/// thread; ReceiveData and ReadData copy what the driver has queued; none waits for the line. A
/// setting that changes the line costs a device call while the port is open. Each event that
/// reaches the user-interface thread costs one hand-over (two thread wake-ups).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfDataDispConnComponent.h>
#include <vexora/serial/AfDataDispatcher.h>
#include <vexora/serial/AfEventSlot.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfLineSettings.h>
#include <vexora/serial/AfThread.h>
#include <vexora/serial/platform/Dcb.h>

namespace vexora::serial {

/// Raised by the component; carries only its message.
class VEXORA_SERIAL_API EAfComPortError : public Exception {
public:
    using Exception::Exception;
};

/// A line-error event: Errors are the platform's CE_ line-error flags.
using TAfCPTErrorEvent = std::function<void(TObject* Sender, platform::DWORD Errors)>;
/// A data event: Count bytes are waiting to be read.
using TAfCPTDataReceivedEvent = std::function<void(TObject* Sender, std::int32_t Count)>;
/// An error event: Error is an exception of the port's event thread (never null, never a silent
/// abort); the handler owns it and may rethrow it.
using TAfCPTExceptionEvent = std::function<void(TObject* Sender, std::exception_ptr Error)>;

/// The serial port machinery of the component, without the port number (TAfCustomComPort adds it).
/// Threads, errors and costs as described for the file.
class VEXORA_SERIAL_API TAfCustomSerialPort : public TAfDataDispConnComponent {
public:
    /// Sets the defaults; in run mode also registers the component's receiver (the first
    /// registration of the process makes the calling thread the user-interface thread), creates
    /// its core and builds its DCB. Raises EAfSafeSyncError (AfSafeSync.h), and makes nothing, on
    /// another thread than the user-interface thread, and when 64 port components and
    /// dispatchers exist already (the notification channel's limit).
    explicit TAfCustomSerialPort(TComponent* AOwner);
    /// Unregisters the receiver and frees the core, closing the device if it is open. Neither
    /// ClosePort nor OnPortClose runs. A linked dispatcher is let go first, and an event being
    /// handed over is dropped, so the close does not wait for the user-interface thread.
    ~TAfCustomSerialPort() override;

    // ---- line settings
    /// Opens the port in Loaded (default false).
    bool AutoOpen() const { return FAutoOpen; }
    /// Stores the value; it counts in Loaded.
    void SetAutoOpen(bool Value);
    /// The baud rate (default br115200). Like every setting below: writing a property's current
    /// value does nothing at all. Writes that change the line rebuild the DCB and, while the port
    /// is open, apply it at once; a DCB the device refuses raises the core's error, and the DCB
    /// then holds what the device has in force while the property keeps its new value. A value
    /// outside its enumeration raises "Invalid property value" and changes nothing.
    TAfBaudrate BaudRate() const { return FSettings.BaudRate; }
    /// A rate other than brUser sets UserBaudRate to 0.
    void SetBaudRate(TAfBaudrate Value);
    /// The rate used when BaudRate is brUser (initially 0).
    std::int32_t UserBaudRate() const { return FSettings.UserBaudRate; }
    /// Switches BaudRate to brUser, when the value changes: writing the current value (0 on a new
    /// component) leaves BaudRate as it is.
    void SetUserBaudRate(std::int32_t Value);
    /// Data bits (default db8).
    TAfDatabits Databits() const { return FSettings.Databits; }
    /// Sets the data bits.
    void SetDatabits(TAfDatabits Value);
    /// Parity (default paNone); received parity is checked only with coParityCheck.
    TAfParity Parity() const { return FSettings.Parity; }
    /// Sets the parity.
    void SetParity(TAfParity Value);
    /// Stop bits (default sbOne).
    TAfStopbits Stopbits() const { return FSettings.Stopbits; }
    /// Sets the stop bits.
    void SetStopbits(TAfStopbits Value);
    /// Flow control (default fwNone).
    TAfFlowControl FlowControl() const { return FSettings.FlowControl; }
    /// Also recomputes XOnLim and XOffLim from InBufSize.
    void SetFlowControl(TAfFlowControl Value);
    /// The DCB options (default empty).
    TAfComOptions Options() const { return FSettings.Options; }
    /// Sets the options.
    void SetOptions(TAfComOptions Value);
    /// The XON character (default 0x11).
    char XOnChar() const { return FSettings.XOnChar; }
    /// Sets the XON character.
    void SetXOnChar(char Value);
    /// The XOFF character (default 0x13).
    char XOffChar() const { return FSettings.XOffChar; }
    /// Sets the XOFF character.
    void SetXOffChar(char Value);
    /// DCB.XonLim (default 0). Writing one limit recomputes the other from InBufSize. Neither
    /// rebuilds the DCB: the device gets them with the next rebuild.
    std::uint16_t XOnLim() const { return FSettings.XOnLim; }
    /// Sets XOnLim; XOffLim becomes InBufSize - Value (16 bits, wrapping).
    void SetXOnLim(std::uint16_t Value);
    /// DCB.XoffLim (default 0).
    std::uint16_t XOffLim() const { return FSettings.XOffLim; }
    /// Sets XOffLim; XOnLim becomes InBufSize - Value (16 bits, wrapping).
    void SetXOffLim(std::uint16_t Value);
    /// The DTR line (default on). While the port is open the line follows at once; the DCB takes
    /// the new state only at its next rebuild. Raises nothing (a line the handshake drives stays
    /// as the handshake has it).
    bool DTR() const { return FSettings.DTR; }
    /// Sets DTR.
    void SetDTR(bool Value);
    /// The RTS line (default on), as DTR.
    bool RTS() const { return FSettings.RTS; }
    /// Sets RTS.
    void SetRTS(bool Value);
    /// Input queue size (default 4096), for the next open; a new value while the port is open
    /// raises "Port is not closed". It also recomputes the flow-control limits.
    std::int32_t InBufSize() const { return FSettings.InBufSize; }
    /// Sets the input queue size.
    void SetInBufSize(std::int32_t Value);
    /// Output queue size (default 2048): the room for SendData, for the next open; a new value
    /// while the port is open raises "Port is not closed".
    std::int32_t OutBufSize() const { return FOutBufSize; }
    /// Sets the output queue size.
    void SetOutBufSize(std::int32_t Value);
    /// Event thread priority for the next open (default tpNormal).
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    /// Sets it; a value outside the enumeration raises "Invalid property value".
    void SetEventThreadPriority(TThreadPriority Value);
    /// Write thread priority for the next open (default tpHighest).
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    /// Sets it; a value outside the enumeration raises "Invalid property value".
    void SetWriteThreadPriority(TThreadPriority Value);

    /// The DCB last built from the properties (or read back from the device after a refusal).
    platform::DCB DCB() const { return FDCB; }
    /// Rebuilds the DCB from the properties and applies it while the port is open (raising the
    /// core's "Error setting parameters from DCB" when the device refuses it). Nothing in design
    /// mode.
    void UpdateDCB();
    /// Takes the settings from Dcb (all but DTR, RTS and InBufSize), then UpdateDCB. A DCBlength
    /// other than 28 raises "Error setting parameters from DCB" and changes nothing.
    void SetFromDCB(const platform::DCB& Dcb);
    /// Shows the port configuration dialog on the current DCB; on confirmation takes its settings
    /// and returns true.
    virtual bool ShowSettingsDialog() = 0;

    // ---- the port
    /// Opens the device with the current settings unless it is open; then fires OnPortOpen. Tells
    /// a linked dispatcher in every case (PortOpened), except when opening fails. Raises the
    /// core's EAfComPortCoreError when the open fails (the port stays closed). Blocks for the
    /// core's open.
    void OpenPort() override;
    /// Closes the device (whether or not it was open), tells a linked dispatcher first and fires
    /// OnPortClose last. While it runs, events are ignored and SendData, ReceiveData, ClearInput
    /// and ClearOutput do nothing. Blocks until the port's threads have ended; an event being
    /// handed over is dropped rather than waited for. Raises only what OnPortClose raises.
    void ClosePort() override;
    /// Whether the port is open. Any thread.
    bool IsPortOpen() const;
    /// Raises "Port is not closed" when the port is open.
    void CheckPortClosed();

    /// Queues all Count bytes for sending, or raises `"Write data error [requested: <Count>, free:
    /// <OutputSpace>]"` (also on a closed port) and queues nothing. Count 0 on an open port queues
    /// nothing and raises nothing; while a close runs, nothing is queued and nothing raised.
    /// Copies the bytes; never waits for the line.
    void SendData(const void* Buffer, std::int32_t Count) override;
    /// Takes exactly Count received bytes into Buffer, or raises "Read data error" and takes none:
    /// when fewer than Count are waiting they stay queued, readable by the next call (as ReadData
    /// or InputCount show), and Buffer is left as it was. Also raises on a closed port. Ask for at
    /// most InputCount bytes: it never waits for more to come. While a close runs it does nothing.
    void ReceiveData(void* Buffer, std::int32_t Count);
    /// Takes the received bytes that are waiting, at most Count, into Buffer and returns how many:
    /// 0 when none wait (and for a Count below 1 or a null Buffer). Never waits for bytes to come.
    /// Raises "Read data error" on a closed port; while a close runs it returns 0.
    std::int32_t ReadData(void* Buffer, std::int32_t Count);
    /// Received bytes waiting; 0 while the port is closed. A status query of the device, which
    /// also collects the line errors for the next OnLineError.
    std::int32_t InputCount();
    /// Bytes queued whose write has not completed; 0 while the port is closed.
    std::int32_t OutputCount();
    /// Free room in the output queue; 0 while the port is closed.
    std::int32_t OutputSpace();
    /// Drops what was received. Nothing while closed or closing.
    void ClearInput();
    /// Drops what is queued for sending and aborts a write in progress (no OnOutBufFree follows
    /// for it). Nothing while closed or closing; waits up to 2000 ms for the write thread.
    void ClearOutput();

    /// Raises EAfComPortError with `"<Msg> - <Name> "`. Every error of the component goes through
    /// it; a subclass may raise something else, but must raise.
    [[noreturn]] virtual void RaisePortError(const std::string& Msg);

    /// Opens the port when AutoOpen is set, otherwise rebuilds the DCB. Call it once the
    /// properties are set; raises what OpenPort raises.
    void Loaded() override;

    // ---- events (see Threads above; each fires only when assigned)
    TAfEventSlot<TNotifyEvent> OnCTSChanged;             ///< CTS changed (EV_CTS).
    TAfEventSlot<TAfCPTDataReceivedEvent> OnDataRecived; ///< Bytes waiting, with their count.
    TAfEventSlot<TNotifyEvent> OnDSRChanged;             ///< DSR changed (EV_DSR).
    TAfEventSlot<TNotifyEvent> OnRLSDChanged;            ///< Carrier detect changed (EV_RLSD).
    TAfEventSlot<TNotifyEvent> OnRINGDetected;           ///< The ring indicator rose (EV_RING).
    TAfEventSlot<TAfCPTErrorEvent> OnLineError;          ///< A line error (EV_ERR), with the CE_ flags.
    TAfEventSlot<TNotifyEvent> OnOutBufFree;             ///< Every queued byte went to the device.
    TAfEventSlot<TAfCPTCoreEvent> OnNonSyncEvent;        ///< Event thread: every core event but exceptions.
    TAfEventSlot<TNotifyEvent> OnPortClose;              ///< End of every ClosePort.
    TAfEventSlot<TNotifyEvent> OnPortOpen;               ///< End of an OpenPort that opened the device.
    TAfEventSlot<TAfCPTCoreEvent> OnSyncEvent;           ///< Every core event, before the specific one.
    /// An exception of the port's event thread: the device failed (EAfComPortCoreError "Device
    /// COM<n> failed", once per open; the port stays open until ClosePort), OnNonSyncEvent raised,
    /// a linked dispatcher's ring was full. Fires on the user-interface thread after OnSyncEvent
    /// (ceThreadException). When assigned it takes the exception instead of the application's
    /// exception display (SetApplicationExceptionHandler), for this port only; an exception that
    /// it raises goes to that display.
    TAfEventSlot<TAfCPTExceptionEvent> OnError;

protected:
    /// The device-opening step of OpenPort, after the settings have gone to the core.
    virtual void OpenDevice() = 0;
    /// The core; null in design mode.
    TAfComPortCore* Core() const { return FCore.get(); }

private:
    // Event thread.
    void CoreEvent(TAfCoreEvent EventKind, platform::DWORD Data, std::exception_ptr Error);
    // Hands the received bytes or the drained output to the dispatcher; whether the event still
    // goes to the user-interface thread.
    bool RouteToDispatcher(TAfDataDispatcher& Dispatcher, TAfCoreEvent EventKind, platform::DWORD Data);
    void PassToDispatcher(TAfDataDispatcher& Dispatcher, std::int32_t Count);
    // ReceiveData; false, with nothing read, while a close runs.
    bool TakeReceived(void* Buffer, std::int32_t Count);
    void SyncCoreEvent(TAfCoreEvent EventKind, platform::DWORD Data, std::exception_ptr Error);
    // User-interface thread.
    void SyncCallback();
    void HandleSyncEvent(TAfCoreEvent EventKind, platform::DWORD Data, std::exception_ptr Error);
    // Taken as a user-interface event starts; after each handler, whether the handler closed or
    // destroyed the port, either of which ends the rest of the event.
    class TEventMark {
    public:
        explicit TEventMark(const TAfCustomSerialPort& Port)
            : FPort(Port), FAlive(Port.Alive()), FCloses(Port.FCloseCount)
        {
        }
        bool Ended() const { return FAlive.expired() || FPort.FCloseCount != FCloses || FPort.FClosing; }

    private:
        const TAfCustomSerialPort& FPort;
        const std::weak_ptr<const bool> FAlive;
        const std::uint32_t FCloses;
    };
    void FireLineEvents(platform::DWORD Mask, const TEventMark& Mark);
    void CheckEnum(unsigned Value, unsigned Count);
    void ChangeSetting(bool Changed);

    bool FAutoOpen = false;
    TAfLineSettings FSettings; // BaudRate to InBufSize, with the component's defaults
    std::atomic<bool> FClosing{false};
    std::unique_ptr<TAfComPortCore> FCore;
    platform::DCB FDCB{};
    TThreadPriority FEventThreadPriority = tpNormal;
    std::int32_t FOutBufSize = 2048;
    platform::DWORD FSyncId = 0;
    TThreadPriority FWriteThreadPriority = tpHighest;
    // Counts the closes, so that a handler that closed the port ends the event it was part of.
    std::uint32_t FCloseCount = 0;

    // The hand-over slot: the event being passed to the user-interface thread.
    std::mutex FSyncLock;
    TAfCoreEvent FSyncKind = ceOutputEmpty;
    platform::DWORD FSyncData = 0;
    std::exception_ptr FSyncError;
};

/// The serial port component with its port number.
class VEXORA_SERIAL_API TAfCustomComPort : public TAfCustomSerialPort {
public:
    /// A component on COM 0 (no port: opening it raises "Invalid port number (COM0)").
    explicit TAfCustomComPort(TComponent* AOwner);

    /// The port number (default 0), 16 bits.
    std::uint16_t ComNumber() const { return FComNumber; }
    /// A new number while the port is open closes the port (OnPortClose), takes the number and
    /// opens the port again (OnPortOpen); a failing open raises and leaves the port closed on the
    /// new number. While closed it only stores the number. Takes an int, the type COM numbers
    /// have elsewhere (AssignComPort, AfComNumberForDevice), so that passing one needs no cast; a
    /// value outside 0 to 65535 raises "Invalid property value" and changes nothing.
    void SetComNumber(int Value);

    /// Starts from the port's configuration (the open device's, or the port's default while
    /// closed) with this component's DCB; false without a dialog when the port's configuration
    /// cannot be read, or when no dialog is installed or the user cancels. The dialog is modal:
    /// the port's events keep firing in its event loop. Raises what SetFromDCB raises.
    bool ShowSettingsDialog() override;

protected:
    /// Core Open(ComNumber).
    void OpenDevice() override;

private:
    std::uint16_t FComNumber = 0;
};

/// The serial port component as applications use it.
class VEXORA_SERIAL_API TAfComPort : public TAfCustomComPort {
public:
    /// A port component owned by AOwner (may be null); see TAfCustomSerialPort.
    explicit TAfComPort(TComponent* AOwner) : TAfCustomComPort(AOwner) {}
};

} // namespace vexora::serial
