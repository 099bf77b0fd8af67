// The serial port component: one serial port as an application uses it. It holds the line
// settings as properties with defaults, owns one port core for its whole life, opens and closes
// the port, passes bytes in and out, and turns the core's events into its own.
//
//     TAfComPort port(form);
//     port.SetName("AfComPort1");
//     port.SetParity(paEven);
//     port.OnDataRecived = [&](TObject*, std::int32_t Count) { ... port.ReceiveData(buf, Count); };
//     port.SetComNumber(3);
//     port.SetUserBaudRate(2400);  // switches BaudRate to brUser
//     port.OpenPort();             // 2400 8E1, no flow control, DTR and RTS on
//     port.SendData(frame, 11);
//     ...
//     port.ClosePort();
//
// Threads. Everything is called on the user-interface thread (the thread that made the first
// component), and the events fire there, one at a time, handed over from the port's event
// thread, which waits for each at most 2000 ms. Two exceptions: OnNonSyncEvent runs on the event
// thread itself (and, when assigned, replaces every user-interface event); OnPortOpen and
// OnPortClose end OpenPort and ClosePort on the caller's thread. A handler may close the port
// (also the one that is being handed over) or destroy it, and so may a linked dispatcher's
// reader, which may also unlink the port: the close or destruction returns at once, the rest of
// the event that ran the handler is dropped, and no event of that port fires after it. Handlers
// and the dispatcher link may be changed at any time, also while events flow.
//
// Errors. The component's own errors are EAfComPortError, raised through RaisePortError with the
// message followed by " - ", the component's Name and a blank. Opening failures are the core's
// EAfComPortCoreError, unchanged. An exception on the event thread (a failing OnNonSyncEvent, a
// dispatcher whose ring is full) is raised again on the user-interface thread, where the
// application's exception display shows it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "AfComPortCore.h"
#include "AfDataDispatcher.h"
#include "AfEventSlot.h"
#include "AfLineSettings.h"
#include "AfThread.h"
#include "platform/Dcb.h"

// Raised by the component; carries only its message.
class EAfComPortError : public Exception {
public:
    using Exception::Exception;
};

// Errors: the platform's CE_ line-error flags.
using TAfCPTErrorEvent = std::function<void(TObject* Sender, DWORD Errors)>;
using TAfCPTDataReceivedEvent = std::function<void(TObject* Sender, std::int32_t Count)>;

class TAfCustomSerialPort : public TAfDataDispConnComponent {
public:
    // Sets the defaults; in run mode also registers the component's receiver, creates its core
    // and builds its DCB.
    explicit TAfCustomSerialPort(TComponent* AOwner);
    // Unregisters the receiver and frees the core, closing the device if it is open. Neither
    // ClosePort nor OnPortClose runs.
    ~TAfCustomSerialPort() override;

    // ---- line settings. Writing a property's current value does nothing at all. Writes that
    // change the line rebuild the DCB and, while the port is open, apply it at once; a DCB the
    // device refuses raises the core's error, and the DCB then holds what the device has in force
    // while the property keeps its new value.
    bool AutoOpen() const { return FAutoOpen; } // default false; opens the port in Loaded
    void SetAutoOpen(bool Value);
    TAfBaudrate BaudRate() const { return FSettings.BaudRate; } // default br115200
    // A rate other than brUser sets UserBaudRate to 0.
    void SetBaudRate(TAfBaudrate Value);
    std::int32_t UserBaudRate() const { return FSettings.UserBaudRate; } // initially 0
    // Switches BaudRate to brUser.
    void SetUserBaudRate(std::int32_t Value);
    TAfDatabits Databits() const { return FSettings.Databits; } // default db8
    void SetDatabits(TAfDatabits Value);
    TAfParity Parity() const { return FSettings.Parity; } // default paNone
    void SetParity(TAfParity Value);
    TAfStopbits Stopbits() const { return FSettings.Stopbits; } // default sbOne
    void SetStopbits(TAfStopbits Value);
    TAfFlowControl FlowControl() const { return FSettings.FlowControl; } // default fwNone
    // Also recomputes XOnLim and XOffLim from InBufSize.
    void SetFlowControl(TAfFlowControl Value);
    TAfComOptions Options() const { return FSettings.Options; } // default empty
    void SetOptions(TAfComOptions Value);
    char XOnChar() const { return FSettings.XOnChar; } // default 0x11
    void SetXOnChar(char Value);
    char XOffChar() const { return FSettings.XOffChar; } // default 0x13
    void SetXOffChar(char Value);
    // Writing one limit recomputes the other from InBufSize. Neither rebuilds the DCB: the
    // device gets them with the next rebuild.
    std::uint16_t XOnLim() const { return FSettings.XOnLim; } // default 0
    void SetXOnLim(std::uint16_t Value);
    std::uint16_t XOffLim() const { return FSettings.XOffLim; } // default 0
    void SetXOffLim(std::uint16_t Value);
    // The DTR and RTS lines (default on). While the port is open the line follows at once; the
    // DCB takes the new state only at its next rebuild.
    bool DTR() const { return FSettings.DTR; }
    void SetDTR(bool Value);
    bool RTS() const { return FSettings.RTS; }
    void SetRTS(bool Value);
    // Queue sizes (defaults 4096 and 2048), for the next open; a new value while the port is open
    // raises "Port is not closed". InBufSize also recomputes the flow-control limits.
    std::int32_t InBufSize() const { return FSettings.InBufSize; }
    void SetInBufSize(std::int32_t Value);
    std::int32_t OutBufSize() const { return FOutBufSize; }
    void SetOutBufSize(std::int32_t Value);
    // Thread priorities for the next open (defaults tpNormal and tpHighest).
    TThreadPriority EventThreadPriority() const { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority Value);
    TThreadPriority WriteThreadPriority() const { return FWriteThreadPriority; }
    void SetWriteThreadPriority(TThreadPriority Value);

    // The DCB last built from the properties (or read back from the device after a refusal).
    ::DCB DCB() const { return FDCB; }
    // Rebuilds the DCB from the properties and applies it while the port is open.
    void UpdateDCB();
    // Takes the settings from Dcb (all but DTR, RTS and InBufSize), then UpdateDCB. A DCBlength
    // other than 28 raises "Error setting parameters from DCB" and changes nothing.
    void SetFromDCB(const ::DCB& Dcb);
    // Shows the port configuration dialog on the current DCB; on confirmation takes its settings
    // and returns true.
    virtual bool ShowSettingsDialog() = 0;

    // ---- the port
    // Opens the device with the current settings unless it is open; then fires OnPortOpen. Tells
    // a linked dispatcher in every case (PortOpened), except when opening fails.
    void OpenPort() override;
    // Closes the device (whether or not it was open), tells a linked dispatcher first and fires
    // OnPortClose last. While it runs, events are ignored and SendData, ReceiveData, ClearInput
    // and ClearOutput do nothing.
    void ClosePort() override;
    bool IsPortOpen() const;
    // Raises "Port is not closed" when the port is open.
    void CheckPortClosed();

    // Queues all Count bytes for sending, or raises "Write data error [requested: <Count>, free:
    // <OutputSpace>]" (also on a closed port) and queues nothing. Count 0 on an open port queues
    // nothing and raises nothing.
    void SendData(const void* Buffer, std::int32_t Count) override;
    // Takes exactly Count received bytes into Buffer, or raises "Read data error" (the bytes read
    // so far are in Buffer). Ask for at most InputCount bytes.
    void ReceiveData(void* Buffer, std::int32_t Count);
    // Received bytes waiting; bytes queued and not yet handed to the device; free room in the
    // output queue. All 0 while the port is closed.
    std::int32_t InputCount();
    std::int32_t OutputCount();
    std::int32_t OutputSpace();
    // Drop what was received, or what is queued for sending (and abort a write in progress).
    void ClearInput();
    void ClearOutput();

    // Raises EAfComPortError with "<Msg> - <Name> ".
    [[noreturn]] virtual void RaisePortError(const std::string& Msg);

    // Opens the port when AutoOpen is set, otherwise rebuilds the DCB.
    void Loaded() override;

    // ---- events (see Threads above; each fires only when assigned)
    TAfEventSlot<TNotifyEvent> OnCTSChanged;             // EV_CTS
    TAfEventSlot<TAfCPTDataReceivedEvent> OnDataRecived; // bytes waiting, with their count
    TAfEventSlot<TNotifyEvent> OnDSRChanged;             // EV_DSR
    TAfEventSlot<TNotifyEvent> OnRLSDChanged;            // EV_RLSD
    TAfEventSlot<TNotifyEvent> OnRINGDetected;           // EV_RING
    TAfEventSlot<TAfCPTErrorEvent> OnLineError;          // EV_ERR, with the errors since the last comm event
    TAfEventSlot<TNotifyEvent> OnOutBufFree;             // every queued byte went to the device
    TAfEventSlot<TAfCPTCoreEvent> OnNonSyncEvent;        // event thread: every core event but exceptions
    TAfEventSlot<TNotifyEvent> OnPortClose;              // end of every ClosePort
    TAfEventSlot<TNotifyEvent> OnPortOpen;               // end of an OpenPort that opened the device
    TAfEventSlot<TAfCPTCoreEvent> OnSyncEvent;           // every core event, before the specific one

protected:
    // The device-opening step of OpenPort.
    virtual void OpenDevice() = 0;
    // The core; null in design mode.
    TAfComPortCore* Core() const { return FCore.get(); }
    // Expires with the component: a caller of a handler, which may destroy the component, looks
    // at it before it touches the component again.
    std::weak_ptr<const bool> Alive() const { return FAlive; }

private:
    // Event thread.
    void CoreEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error);
    // Hands the received bytes or the drained output to the dispatcher; whether the event still
    // goes to the user-interface thread.
    bool RouteToDispatcher(TAfDataDispatcher& Dispatcher, TAfCoreEvent EventKind, DWORD Data);
    void PassToDispatcher(TAfDataDispatcher& Dispatcher, std::int32_t Count);
    // ReceiveData; false, with nothing read, while a close runs.
    bool TakeReceived(void* Buffer, std::int32_t Count);
    void SyncCoreEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error);
    // User-interface thread.
    void SyncCallback();
    void HandleSyncEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error);
    // Taken as a user-interface event starts; after each handler, whether the handler closed or
    // destroyed the port, either of which ends the rest of the event.
    class TEventMark {
    public:
        explicit TEventMark(const TAfCustomSerialPort& Port)
            : FPort(Port), FAlive(Port.FAlive), FCloses(Port.FCloseCount)
        {
        }
        bool Ended() const { return FAlive.expired() || FPort.FCloseCount != FCloses || FPort.FClosing; }

    private:
        const TAfCustomSerialPort& FPort;
        const std::weak_ptr<const bool> FAlive;
        const std::uint32_t FCloses;
    };
    void FireLineEvents(DWORD Mask, const TEventMark& Mark);
    void CheckEnum(unsigned Value, unsigned Count);
    void ChangeSetting(bool Changed);

    bool FAutoOpen = false;
    TAfLineSettings FSettings; // BaudRate to InBufSize, with the component's defaults
    std::atomic<bool> FClosing{false};
    std::unique_ptr<TAfComPortCore> FCore;
    ::DCB FDCB{};
    TThreadPriority FEventThreadPriority = tpNormal;
    std::int32_t FOutBufSize = 2048;
    DWORD FSyncId = 0;
    TThreadPriority FWriteThreadPriority = tpHighest;
    // Counts the closes, so that a handler that closed the port ends the event it was part of.
    std::uint32_t FCloseCount = 0;

    // The hand-over slot: the event being passed to the user-interface thread.
    std::mutex FSyncLock;
    TAfCoreEvent FSyncKind = ceOutputEmpty;
    DWORD FSyncData = 0;
    std::exception_ptr FSyncError;
    // Expires with the component, for a handler's call that outlives it.
    const std::shared_ptr<const bool> FAlive = std::make_shared<const bool>(true);
};

class TAfCustomComPort : public TAfCustomSerialPort {
public:
    explicit TAfCustomComPort(TComponent* AOwner);

    // The port number (default 0). A new number while the port is open closes the port, takes
    // the number and opens the port again.
    std::uint16_t ComNumber() const { return FComNumber; }
    void SetComNumber(std::uint16_t Value);

    // Starts from the port's configuration (the open device's, or the port's default while
    // closed) with this component's DCB; false without a dialog when the port's configuration
    // cannot be read, or when no dialog is installed or the user cancels.
    bool ShowSettingsDialog() override;

protected:
    // Core Open(ComNumber).
    void OpenDevice() override;

private:
    std::uint16_t FComNumber = 0;
};

// The serial port component as applications use it.
class TAfComPort : public TAfCustomComPort {
public:
    explicit TAfComPort(TComponent* AOwner) : TAfCustomComPort(AOwner) {}
};
