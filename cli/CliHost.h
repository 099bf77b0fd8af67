// The host of the operations on a terminal: messages go to standard error, prefixed with the
// program's name; on a terminal one line of standard error shows the progress and the step, and is
// cleared before anything else is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MeterOperations.h"

class TCliHost : public TMeterOperationHost {
public:
    // Terminal: standard error is a terminal, so the progress line is drawn.
    // Confirmed: the answer to the operation's question (--broadcast).
    TCliHost(bool Terminal, bool Confirmed);
    ~TCliHost() override;

    void ShowStatus(std::string_view Text) override;
    void HideStatus() override;
    void SetProgressRange(int Min, int Max) override;
    void SetProgress(int Value) override;
    void ShowMessage(std::string_view Text) override;
    bool Confirm(std::string_view Text) override;
    void UserDataRead(const TMBusUserData& Data) override { FUserData = Data; }
    // Printed at once unless Quiet (JSON comes at the end), and kept.
    void MeterFound(std::int32_t Addr, std::int32_t Baud) override;

    // "vexora-cli: <text>" on standard error, one line per line of Text.
    void Say(std::string_view Text);

    const std::optional<TMBusUserData>& UserData() const { return FUserData; }
    struct TFound {
        std::int32_t Addr;
        std::int32_t Baud;
    };
    const std::vector<TFound>& Found() const { return FFound; }
    void SetQuiet(bool Quiet) { FQuiet = Quiet; }

private:
    void Draw();
    void ClearLine();

    bool FTerminal;
    bool FConfirmed;
    bool FQuiet = false;
    bool FDrawn = false;
    std::string FStatus;
    int FMin = 0;
    int FMax = 0;
    int FProgress = 0;
    std::optional<TMBusUserData> FUserData;
    std::vector<TFound> FFound;
};
