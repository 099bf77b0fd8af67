/// \file
/// The base exception of the component and the silent abort.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include <vexora/serial/AfExport.h>

namespace vexora::serial {

/// Base of every exception that the serial component raises; carries only its message. The
/// component's own classes derive from it (EAfComPortCoreError, EAfComPortError,
/// EAfDispatcherError, EComponentError, EThread), so `catch (const Exception&)` takes them all.
class VEXORA_SERIAL_API Exception : public std::runtime_error {
public:
    /// An exception whose message (what()) is `message`. Copies the text.
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    /// The message, as what() gives it. Copies the text.
    std::string Message() const { return what(); }
};

/// A silent abort: ends the running operation without any report to the user. The worker threads
/// and the application's exception display (ApplicationHandleException) drop it without a word. A
/// port component and a dispatcher raise it on the receiving thread when an event can no longer be
/// handed to the user-interface thread (the port is closing, or the component or the dispatcher is
/// going).
class VEXORA_SERIAL_API EAbort : public Exception {
public:
    /// The message "Operation aborted".
    EAbort() : Exception("Operation aborted") {}
    /// An abort with a message of its own (nobody is shown it).
    explicit EAbort(const std::string& message) : Exception(message) {}
};

/// Whether `Error` holds a silent abort (EAbort). Rethrows to look, so it costs an exception's
/// unwinding; a null `Error` is no abort. Any thread; raises nothing.
inline bool IsSilentAbort(const std::exception_ptr& Error)
{
    if (!Error)
        return false;
    try {
        std::rethrow_exception(Error);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace vexora::serial
