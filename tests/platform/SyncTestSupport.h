// Helpers for the tests of events, waits, locks and threads.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

// Owns a handle for the length of a test.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_;
};

inline HANDLE NewEvent(bool manualReset, bool initialState)
{
    return CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
}

// Starts `body` on a thread of the platform and returns its handle.
inline HANDLE StartThread(std::function<DWORD()> body, DWORD flags = 0, DWORD* threadId = nullptr)
{
    auto* owned = new std::function<DWORD()>(std::move(body));
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            std::unique_ptr<std::function<DWORD()>> run(static_cast<std::function<DWORD()>*>(parameter));
            return (*run)();
        },
        owned, flags, threadId);
    if (thread == nullptr)
        delete owned;
    return thread;
}
