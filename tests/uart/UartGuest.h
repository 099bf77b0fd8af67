// The guest's UARTs, as scripts/uart-guest-tests.sh names them in the guest that
// scripts/test-uart.sh boots. Outside that guest every name is empty (tests/TestEnvironment.cpp
// drops the variables), and the tests that need a port skip.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

struct TGuestUarts {
    std::string Loop;         // an on-board UART with a loopback plug (UartLoopPlug.cpp)
    std::string PairA, PairB; // two UARTs joined like a null-modem cable, bytes only
    std::string Gone;         // a UART on a PCI card that a test may unplug
};

inline const TGuestUarts& GuestUarts()
{
    static const TGuestUarts uarts = [] {
        const auto get = [](const char* name) {
            const char* value = std::getenv(name);
            return std::string(value ? value : "");
        };
        TGuestUarts found{get("VEXORA_UART_LOOP"), {}, {}, get("VEXORA_UART_GONE")};
        std::istringstream(get("VEXORA_UART_PAIR")) >> found.PairA >> found.PairB;
        return found;
    }();
    return uarts;
}

// Skips the test outside the guest.
#define SKIP_WITHOUT_UART(path)                                                                              \
    if ((path).empty())                                                                                      \
    GTEST_SKIP() << "runs in the UART guest only (scripts/test-uart.sh)"
