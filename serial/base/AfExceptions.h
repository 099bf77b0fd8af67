// The base exception of the component and the silent abort.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// Base of every exception that the serial component raises; carries only its message.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A silent abort: ends the running operation without any report to the user.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    explicit EAbort(const std::string& message) : Exception(message) {}
};

// Whether Error holds a silent abort (EAbort). Rethrows to look, so it costs an exception's
// unwinding; a null Error is no abort.
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
