// The refusal beep, replaceable so that tests can count it.
#pragma once

#include <functional>

using TBeepHandler = std::function<void()>;

// Sounds the beep (or calls the installed handler).
void Beep();

// Installs a handler instead of the real beep; an empty one restores it. Returns the previous.
TBeepHandler SetBeepHandler(TBeepHandler handler);
