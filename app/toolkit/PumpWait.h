// Waits that keep the window events flowing, built on the event loop so they never spin.
#pragma once

#include <cstdint>
#include <functional>

// Millisecond tick count: an unsigned 32-bit counter that wraps after 2^32 ms.
uint32_t TickCount();

// Replaces the tick source (tests use it to start near the wrap); an empty function restores
// the real one. Returns the previous source.
using TTickSource = std::function<uint32_t()>;
TTickSource SetTickSource(TTickSource source);

// Processes window events until the first tick reading more than `ms` after the start
// ((now - start) mod 2^32 > ms). Events are processed at least once. Between events the
// thread sleeps in the event loop, woken by a timer at the deadline.
void PumpWait(uint32_t ms);

// Processes window events until `done` returns true; `done` is checked after every batch of
// events and at least every `pollMs` milliseconds, so it may watch state that another thread
// changes. Returns false when `timeoutMs` (if not 0) passed first.
bool PumpUntil(const std::function<bool()>& done, uint32_t pollMs = 10, uint32_t timeoutMs = 0);
