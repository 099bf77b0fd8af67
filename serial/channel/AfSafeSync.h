/// \file
/// Thread-to-main notification: any thread makes a registered receiver run on the thread that owns
/// the channel (the user-interface thread: the first one to register) and waits for the run with a
/// time-out. The interface is plain C++; the channel is served by that thread's event loop.
///
/// The owner thread must run a Qt event loop (QCoreApplication::exec, a QEventLoop, a modal
/// dialog) and serves the channel from it; while it waits for a worker thread in SafeSyncWaitFor
/// it serves the channel's runs as well (and nothing else). An owner thread that serves nothing
/// makes every sender wait out its time-out. Each port component and each dispatcher holds one
/// receiver; the table has AF_SAFESYNC_MAX_RECEIVERS (64) entries, so at most 64 of them exist at
/// a time. They register with RegisterOwnerReceiver, which refuses, raising EAfSafeSyncError, a
/// 65th and one made on another thread than the owner.
///
/// The table lock is never held across a run or across the wait for one, so a receiver may itself
/// register, unregister, enable or notify receivers, and the owner thread can disable a receiver
/// while a sender is blocked in a notification to it. A hand-over allocates a request and a posted
/// event and wakes the owner thread; a run on the owner thread itself costs a call.
#pragma once

#include <functional>

// Receivers' exceptions go to the application's exception display.
#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/AfExport.h>
#include <vexora/serial/platform/AfWinTypes.h>

namespace vexora::serial {

/// What runs on the owner thread; the equivalent of a procedure bound to an object.
using TAfSafeSyncProc = std::function<void()>;

/// The number of receivers the table holds.
inline constexpr int AF_SAFESYNC_MAX_RECEIVERS = 64;

/// Takes the first free of the 64 entries, disabled; returns its id (1, 2, 3, ... never 0, never
/// reused until the counter wraps), or 0 when the table is full or `proc` is empty. The first
/// registration of the process makes the calling thread the owner thread, for good; make it the
/// user-interface thread, with its Qt application object already in place. Any thread afterwards.
VEXORA_SERIAL_API platform::DWORD RegisterReceiver(TAfSafeSyncProc proc);
/// Raised by RegisterOwnerReceiver; carries only its message.
class VEXORA_SERIAL_API EAfSafeSyncError : public Exception {
public:
    using Exception::Exception;
};

/// RegisterReceiver for a receiver that must run on the thread that registers it (a port
/// component's, a dispatcher's): its id, never 0. Registers nothing and raises EAfSafeSyncError
/// when the calling thread is not the owner thread ("Component made on another thread than the
/// user-interface thread (the thread that made the first component)"), when all 64 entries are
/// taken ("No free receiver in the notification channel: all 64 are in use") or when `proc` is
/// empty ("No receiver procedure"). The first registration of the process makes the calling thread
/// the owner thread, as RegisterReceiver's does. Any thread; the check and the registration are one
/// step.
VEXORA_SERIAL_API platform::DWORD RegisterOwnerReceiver(TAfSafeSyncProc proc);
/// Frees the entry of `id`; false when there is none. Senders waiting for `id` stop waiting (a run
/// in progress goes on). Any thread.
VEXORA_SERIAL_API bool UnregisterReceiver(platform::DWORD id);
/// Enables or disables the receiver `id`; false when there is none. Disabling lets the senders
/// waiting for `id` go at once. Any thread.
VEXORA_SERIAL_API bool EnableReceiver(platform::DWORD id, bool enabled);
/// Runs the receiver on the owner thread, directly when called there, and waits for it at most
/// `timeoutMs` (INFINITE: without limit). False, without running anything, when the receiver is
/// missing or disabled, and false when it was disabled or unregistered by the time the run ended;
/// otherwise true, also when the wait timed out. A run that the owner thread has not started when
/// the time-out expires is dropped: it never runs later. Disabling or unregistering the receiver
/// ends the wait at once (false), also while the run is in progress: the run goes on, but its
/// sender no longer waits for it. An exception that the receiver raises goes to
/// ApplicationHandleException on the owner thread; it never reaches the sender. Any thread; blocks
/// the sender until the run ends, at most `timeoutMs`.
VEXORA_SERIAL_API bool NotifyReceiver(platform::DWORD id, platform::DWORD timeoutMs);
/// Ends the wait of every sender of `id` at once, as if its time-out had expired: a run not yet
/// started is dropped, a run in progress goes on without its sender. The receiver stays enabled.
/// For a receiver whose run stops its sender's work (a reader that closes the source it reads), so
/// that a close which waits for the sender's thread does not wait for the time-out as well. Any
/// thread; never blocks.
VEXORA_SERIAL_API void ReleaseSenders(platform::DWORD id);

/// Waits for `handle` (a worker thread, an event) like WaitForSingleObject and returns its result.
/// On the owner thread it keeps running the notifications that other threads send meanwhile (and
/// only those), so a worker that is blocked notifying can finish and end. On any other thread it
/// is WaitForSingleObject.
VEXORA_SERIAL_API platform::DWORD SafeSyncWaitFor(platform::HANDLE handle, platform::DWORD timeoutMs);

/// Runs `proc` on the owner thread and waits for it without limit (directly on the owner thread).
/// Exceptions raised by `proc` go to ApplicationHandleException. While no thread owns the channel
/// (nothing registered yet), or once the application object is gone, `proc` runs on the calling
/// thread instead of waiting for ever.
VEXORA_SERIAL_API void SafeSyncSynchronize(const std::function<void()>& proc);

} // namespace vexora::serial
