// The application's exception display as the channel and the worker threads reach it: a handler
// that the application installs, a silent abort that shows nothing, and standard error when no
// handler is installed.
#include <vexora/serial/AfApplicationException.h>

#include <cstdio>
#include <mutex>
#include <utility>

#include <vexora/serial/AfExceptions.h>

namespace vexora::serial {

namespace {

std::mutex& HandlerLock()
{
    static std::mutex lock;
    return lock;
}

std::function<void(std::exception_ptr)>& InstalledHandler()
{
    static std::function<void(std::exception_ptr)> handler;
    return handler;
}

void WriteToStandardError(const std::exception_ptr& exception)
{
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Unknown exception\n");
    }
}

} // namespace

void SetApplicationExceptionHandler(std::function<void(std::exception_ptr)> handler)
{
    std::lock_guard<std::mutex> guard(HandlerLock());
    InstalledHandler() = std::move(handler);
}

void ApplicationHandleException(std::exception_ptr exception)
{
    if (!exception || IsSilentAbort(exception))
        return;
    std::function<void(std::exception_ptr)> handler;
    {
        std::lock_guard<std::mutex> guard(HandlerLock());
        handler = InstalledHandler();
    }
    if (!handler) {
        WriteToStandardError(exception);
        return;
    }
    // The display runs from event handlers and worker hand-overs: nothing may escape from it.
    try {
        handler(exception);
    } catch (...) {
        WriteToStandardError(exception);
        WriteToStandardError(std::current_exception());
    }
}

} // namespace vexora::serial
