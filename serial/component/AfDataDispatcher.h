/// \file
/// The data dispatcher, which serves what a connection (AfDataDispConnComponent.h) receives.
///
/// A connection (TAfDataDispConnComponent; the serial port component is one) hands every block it
/// receives to its linked dispatcher, on the connection's own receiving thread and without a trip
/// through the user-interface thread. The dispatcher keeps the bytes in a ring of its own and
/// serves them on the user-interface thread, one at a time, to its own OnData handler and then to
/// each of its listeners. It also tells them when the connection's output has drained, and can
/// feed the connection from an output source, one block per drained output.
///
/// Using it (everything on the user-interface thread):
///
///     TAfComPort port(form);                  // any TAfDataDispConnComponent
///     TAfDataDispatcher dispatcher(form, 8192); // a ring of 8192 received bytes
///     dispatcher.SetConnComponent(&port);     // link; SetConnComponent(nullptr) unlinks
///
///     class TTerminal : public TAfDataDispatcherListener {
///         void DispatcherData(TAfDataDispatcher& Sender) override
///         {
///             char text[256];
///             for (std::int32_t n; (n = Sender.ReadData(text, sizeof text)) > 0;)
///                 Show(text, n);
///         }
///     } terminal;
///     dispatcher.RegisterListener(&terminal); // a listener unregisters itself when destroyed
///
///     port.OpenPort();
///     dispatcher.SendData("ATZ\r", 4);        // sent through the connection
///
/// Reading. During one round of received data every reader (OnData, then each listener) reads from
/// the round's first byte on, each with a position of its own, and when the round ends the
/// dispatcher drops as many bytes as the reader that read most has taken. So every reader sees the
/// same bytes, and bytes that nobody read stay for the next round; a reader that reads fewer than
/// another does not see the rest again. Outside a round, ReadData takes the bytes away at once.
///
/// Rounds. A round is one kind of notification served to everybody: received data (kind 0),
/// drained output (kind 1) or NotifyListeners (kind 2). Rounds run on the thread that scheduled
/// them (for received data, the connection's receiving thread), which hands each call over to the
/// user-interface thread and waits for it, at most 2000 ms each. One round runs at a time: a kind
/// scheduled meanwhile is served by the running loop. Closing the connection, or changing the
/// link, stops a running loop after the call in progress, without waiting for that call's end (a
/// reader may close, unlink or destroy the connection or the dispatcher, and such a call returns
/// at once); the kinds not yet served stay pending until the next is scheduled.
///
/// Listeners registered during a round are served from the next round on; listeners unregistered
/// during a round are skipped at once, and their slots are packed away when the loop ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <vexora/serial/AfCircularBuffer.h>
#include <vexora/serial/AfComponent.h>
#include <vexora/serial/AfDataDispConnComponent.h>
#include <vexora/serial/AfEventSlot.h>
#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/AfSafeSync.h> // EAfSafeSyncError, which the constructor raises
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

class TAfDataDispatcher;

/// Raised by the dispatcher ("Error writing to dispatcher buffer" when a received block does not
/// fit into its ring, "No connection to send through" from SendData without a link); carries only
/// its message.
class VEXORA_SERIAL_API EAfDispatcherError : public Exception {
public:
    using Exception::Exception;
};

/// The kinds of notification a dispatcher serves.
enum TAfDispatchKind : std::uint8_t {
    dkData = 0,        ///< Bytes were received.
    dkOutputEmpty = 1, ///< The connection's output has drained.
    dkNotify = 2       ///< NotifyListeners.
};

/// A listener of a dispatcher. Every call comes on the user-interface thread with the dispatcher
/// as Sender. A listener belongs to one dispatcher at a time and unregisters itself when
/// destroyed. A call holds up the dispatcher's round (and, for received data, the port's event
/// thread, at most 2000 ms), so it should read and return; it may close, unlink or destroy the
/// connection or the dispatcher. An exception it raises goes to the application's exception
/// display.
class VEXORA_SERIAL_API TAfDataDispatcherListener {
public:
    /// A listener of no dispatcher.
    TAfDataDispatcherListener() = default;
    TAfDataDispatcherListener(const TAfDataDispatcherListener&) = delete;
    TAfDataDispatcherListener& operator=(const TAfDataDispatcherListener&) = delete;
    /// Unregisters from its dispatcher, if any. User-interface thread.
    virtual ~TAfDataDispatcherListener();

    /// The dispatcher it is registered with, or null.
    TAfDataDispatcher* ListenedDispatcher() const { return FListened; }

    /// Bytes were received: read them with Sender.ReadData. The base does nothing.
    virtual void DispatcherData(TAfDataDispatcher& Sender) { (void)Sender; }
    /// The connection's output has drained. The base does nothing.
    virtual void DispatcherOutputEmpty(TAfDataDispatcher& Sender) { (void)Sender; }
    /// Sender.NotifyListeners was called. The base does nothing.
    virtual void DispatcherNotify(TAfDataDispatcher& Sender) { (void)Sender; }

private:
    friend class TAfDataDispatcher;
    TAfDataDispatcher* FListened = nullptr;
};

/// What the dispatcher sends, block by block: the first block when the source is set, the next
/// each time the connection's output has drained. Called on the user-interface thread.
class VEXORA_SERIAL_API TAfDataDispatcherOutputSource {
public:
    /// A source the dispatcher owns is deleted through it when released.
    virtual ~TAfDataDispatcherOutputSource() = default;
    /// Copies the next bytes to send into Buffer, at most Count; 0 when nothing is left (the
    /// source is then released).
    virtual std::int32_t ReadOutput(void* Buffer, std::int32_t Count) = 0;
};

/// The data dispatcher: a ring of received bytes served to its own handlers and its listeners on
/// the user-interface thread (see the file's description). Members marked for the user-interface
/// thread are called there; the receiving thread's members run the rounds, which hand every call
/// over and wait for it (at most 2000 ms each). The ring is allocated once, at construction.
class VEXORA_SERIAL_API TAfDataDispatcher : public TComponent {
public:
    /// A ring of BufferSize received bytes (at least 1). Registers the dispatcher's receiver with
    /// the notification channel (the first registration of the process makes the calling thread
    /// the user-interface thread) and enables it. Raises EAfSafeSyncError (AfSafeSync.h) on
    /// another thread than the user-interface thread, and when 64 port components and
    /// dispatchers exist already (the notification channel's limit). User-interface thread.
    explicit TAfDataDispatcher(TComponent* AOwner, std::int32_t BufferSize = 4096);
    /// Unlinks the connection (without firing OnPortClose), releases the output source, detaches
    /// every listener and unregisters its receiver. User-interface thread; a reader may destroy
    /// the dispatcher during its own call.
    ~TAfDataDispatcher() override;

    /// The linked connection, or null.
    TAfDataDispConnComponent* ConnComponent() const { return FConnComponent; }
    /// Links Component (null: none). Relinking the linked one does nothing; any other change first
    /// runs PortClosed. A component linked to another dispatcher is taken from it. Waits until the
    /// connection's receiving thread has stopped using the old link, serving the notification
    /// channel meanwhile (not when called on that thread itself). User-interface thread.
    void SetConnComponent(TAfDataDispConnComponent* Component);

    /// Adds Listener at the end (taking it from another dispatcher); registering it again does
    /// nothing. During a round it is served from the next round on. User-interface thread.
    void RegisterListener(TAfDataDispatcherListener* Listener);
    /// Takes Listener out; during a round it is skipped at once. A listener of another dispatcher
    /// is left alone. User-interface thread.
    void UnregisterListener(TAfDataDispatcherListener* Listener);
    /// The listeners registered now.
    int ListenerCount() const;

    /// The ring's capacity in bytes.
    std::int32_t BufferSize() const { return FBufferSize; }
    /// Bytes the caller can still read (during a round: from its own position on). User-interface
    /// thread.
    std::int32_t DataCount() const;
    /// Copies up to Count bytes into Buffer and returns how many (0 for a null Buffer or Count
    /// below 1); see Reading above. User-interface thread.
    std::int32_t ReadData(void* Buffer, std::int32_t Count);
    /// Copies up to Count bytes, moving nothing. User-interface thread.
    std::int32_t PeekData(void* Buffer, std::int32_t Count) const;
    /// Bytes accepted from the connection so far (wraps at 2^32). Any thread.
    std::uint32_t TotalWritten() const;

    /// Sends through the connection; EAfDispatcherError "No connection to send through" when none
    /// is linked, and the connection's own error when the bytes do not fit (a port's "Write data
    /// error ..."). User-interface thread.
    void SendData(const void* Buffer, std::int32_t Count);
    /// Releases any source held, then holds Source (deleting it when released if Owned) and sends
    /// its first block at once; an error of that send releases it again and is raised. The source
    /// is released when it has nothing left, and when the connection closes. User-interface
    /// thread.
    void SetOutputSource(TAfDataDispatcherOutputSource* Source, bool Owned);
    /// Lets go of the source, deleting it if the dispatcher owns it. User-interface thread.
    void ReleaseOutputSource();
    /// Whether a source is held. Any thread.
    bool OutputSourceHeld() const { return FOutputSourceHeld; }
    /// Largest block taken from the output source (default 1024; at least 1). A block must fit
    /// into the connection's empty output queue.
    std::int32_t OutputBlockSize() const { return FOutputBlockSize; }
    /// Sets OutputBlockSize; values below 1 become 1.
    void SetOutputBlockSize(std::int32_t Value);

    /// Serves DispatcherNotify to every listener (any thread; from a thread other than the
    /// connection's, the call must have returned before the dispatcher is destroyed). Runs the
    /// round on the calling thread unless one is running already; blocks until it ends.
    void NotifyListeners();

    /// First reader of each round of received data. Like the three events below: the dispatcher is
    /// Sender, and it fires on the user-interface thread.
    TAfEventSlot<TNotifyEvent> OnData;
    /// The output drained (after the output source's turn).
    TAfEventSlot<TNotifyEvent> OnOutputEmpty;
    /// The connection opened.
    TAfEventSlot<TNotifyEvent> OnPortOpen;
    /// The connection is closing, or the link changes.
    TAfEventSlot<TNotifyEvent> OnPortClose;

    /// Called by the connection at the end of its OpenPort: fires OnPortOpen. User-interface
    /// thread.
    void PortOpened();
    /// Called by the connection as its ClosePort begins, and on every change of the link: stops a
    /// running loop after the call in progress (whose hand-over stops waiting at once), releases
    /// the output source, fires OnPortClose (not while the dispatcher is being destroyed).
    /// User-interface thread.
    void PortClosed();
    /// Receiving thread: stores the block (all or nothing; EAfDispatcherError "Error writing to
    /// dispatcher buffer" when it does not fit, nothing stored) and serves it. A Count of 0 or
    /// less does nothing. Copies the block; blocks while the round runs.
    void WriteToBuffer(const void* Buffer, std::int32_t Count);
    /// Receiving thread: serves the drained output (the output source's next block, OnOutputEmpty,
    /// the listeners); blocks while the round runs.
    void SignalOutputEmpty();
    /// Marks Kind (0 to 7; larger kinds are ignored) as pending and runs the loop unless one is
    /// running already. Kinds above 2 are taken from the pending set without being served.
    void ScheduleKind(std::uint8_t Kind);
    /// Serves the pending kinds, on the calling thread; returns at once when a loop runs already
    /// (that loop serves them). Leaves with EAbort (silent) when the user-interface thread can no
    /// longer be reached.
    void DispatchPending();

private:
    void SyncCallback();
    // The loop's passes; false when PortClosed stopped them.
    bool RunPasses();
    bool ServeSweep(std::uint8_t Kind);
    bool OwnEventWanted(std::uint8_t Kind) const;
    // Under FLock.
    TAfDataDispatcherListener* ListenerAt(int Index) const;
    // On the user-interface thread, for index -1.
    void ServeOwnEvent(std::uint8_t Kind);
    void FeedOutputSource();
    // Under FLock: where the caller reads from, and a copy of stored bytes from Offset on.
    std::int32_t ReadOffset() const;
    std::int32_t CopyStored(std::int32_t Offset, void* Buffer, std::int32_t Count) const;
    bool HasPending() const;
    // Ends a loop under FLock: packs the listener slots if needed and clears FDispatching.
    void EndLoop();

    std::atomic<bool> FRunning{false};
    TAfDataDispConnComponent* FConnComponent = nullptr;
    std::int32_t FBufferSize;
    TAfCircularBuffer FDataBuffer;                      // under FLock
    std::uint8_t FPending = 0;                          // under FLock
    std::vector<TAfDataDispatcherListener*> FListeners; // under FLock; null: unregistered in a loop
    bool FPackNeeded = false;                           // under FLock
    std::atomic<std::int32_t> FRemoveCount{0};
    std::atomic<bool> FDispatching{false}; // cleared under FLock
    std::uint32_t FTotalWritten = 0;       // under FLock
    TAfDataDispatcherOutputSource* FOutputSource = nullptr;
    std::atomic<bool> FOutputSourceHeld{false};
    bool FOutputSourceOwned = false;
    std::int32_t FOutputBlockSize = 1024;
    platform::DWORD FSyncId = 0;
    mutable std::mutex FLock;
    std::atomic<std::uint8_t> FCurrentKind{0};
    std::atomic<int> FCurrentIndex{-1};
    bool FServingData = false;    // under FLock: a reader of a data round is running ...
    std::int32_t FReadCursor = 0; // ... and has read this far
};

} // namespace vexora::serial
