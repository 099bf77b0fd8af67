// What the tool keeps of its exchanges with the meter from one operation to the next: the
// telegram buffer, the scale codes of the last configuration data and the text of the last
// decoding failure. One instance lives as long as the owner of the operations (the main window,
// a vexora-cli session), which hands its telegram buffer to the link (TMBusLink) and the whole of
// it to the operations (TMeterOperations). Nothing clears it.
#pragma once

#include <string>

#include "MBusDecode.h"
#include "MBusTelegram.h"

struct TMBusState {
    // Every request is built here and every response received here, from index 0; zeros at start.
    TTelegramBuf TelegramBuf{};
    // The codes of the last configuration data decoded, 0 at start; a "Write" to the broadcast
    // address sets both to 3. A failed decoding keeps them.
    TMBusScaleCodes ScaleCodes;
    // Date and time followed by the message of the last decoding failure; empty at start,
    // replaced at every failure.
    std::string ErrorText;
};
