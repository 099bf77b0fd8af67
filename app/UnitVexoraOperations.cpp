// TForm1's operations "Read" and the reset of the main volume counter, and what every operation
// shares: the address checks, the run with its closing steps, the link and the exchange.
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <initializer_list>

#include "AfExceptions.h"
#include "MBusRegisters.h"
#include "MBusTelegram.h"
#include "MessageBoxes.h"
#include "PumpWait.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

namespace {

// Progress of "Read": 1 once the meter acknowledged, 2 after the configuration data, 3 after the
// second select.
constexpr int kReadMax = 4;

} // namespace

void TForm1::Button2Click(QObject*)
{
    const std::int32_t addr = SpinEdit2->Value();
    if (!CheckMeterAddress(addr))
        return;
    // Minimum first: the maximum is then never below it, whatever Write left. The progress Write
    // left at its minimum would show as a full bar once the maximum comes down to it.
    Gauge1->SetMinValue(0);
    Gauge1->SetProgress(0);
    Gauge1->SetMaxValue(kReadMax);
    if (!RunOperation(true, [this, addr] { return ReadSteps(addr); }))
        ShowMessage(QStringLiteral("DATA read error"));
}

bool TForm1::ReadSteps(std::int32_t Addr)
{
    // The user data are scaled with this read's scale codes or not shown at all.
    if (!ReadConfigData(Addr, 1))
        return false;
    Gauge1->SetProgress(2);
    ShowStatus(QStringLiteral("Switching FRAME user data"));
    Exchange(BuildSelectTelegram(Addr, MBusSelectUserData), kSelectWaitMs);
    Gauge1->SetProgress(3);
    if (!IsAcknowledged())
        return false;
    ShowStatus(QStringLiteral("Reading user data"));
    Exchange(BuildDataRequest(Addr), kRequestWaitMs);
    // A user-data frame that fails its checks has shown why; the meter did answer.
    DecodeMBusFRAM();
    return true;
}

bool TForm1::ReadConfigData(std::int32_t Addr, int AcknowledgedProgress)
{
    ShowStatus(QStringLiteral("Switching FRAME config data"));
    OpenLink();
    Exchange(BuildSelectTelegram(Addr, MBusSelectConfigData), kSelectWaitMs);
    if (!IsAcknowledged())
        return false;
    Gauge1->SetProgress(AcknowledgedProgress);
    ShowStatus(QStringLiteral("Reading config data"));
    Exchange(BuildDataRequest(Addr), kRequestWaitMs);
    return DecodeMBusFLASH();
}

void TForm1::Button3Click(QObject*)
{
    const std::int32_t addr = SpinEdit2->Value();
    if (!CheckMeterAddress(addr))
        return;
    if (!RunOperation(false, [this, addr] { return ResetSteps(addr); }))
        ShowMessage(QStringLiteral("DATA write error"));
}

bool TForm1::ResetSteps(std::int32_t Addr)
{
    OpenLink();
    bool acknowledged = true;
    // The second register is written also when the first was not acknowledged.
    for (const std::uint8_t reg : {RegVolume, RegVolumeFraction}) {
        Exchange(BuildRegisterWrite(Addr, reg, 0), kRequestWaitMs);
        acknowledged = IsAcknowledged() && acknowledged;
    }
    return acknowledged;
}

bool TForm1::RunOperation(bool ShowsProgress, const std::function<bool()>& Steps)
{
    FClosed = false;
    // Disabling the clicked button (or another control that had the focus) moves the keyboard
    // focus on to the next control; it comes back at the end, so that the keyboard stays where the
    // user left it.
    const QPointer<QWidget> focused = focusWidget();
    SetOperationControls(false);
    const auto end = [&] {
        EndOperation(ShowsProgress);
        if (focused && focused->isEnabled() && !FClosed)
            focused->setFocus();
    };
    bool done = false;
    try {
        done = Steps();
    } catch (...) {
        end();
        throw;
    }
    end();
    return done;
}

void TForm1::EndOperation(bool ShowsProgress)
{
    if (ShowsProgress)
        Gauge1->SetProgress(0);
    AfComPort1->ClosePort();
    if (ShowsProgress && FormCaption)
        FormCaption->hide();
    SetOperationControls(true);
}

void TForm1::SetOperationControls(bool Enabled)
{
    // A click on a button would run a second operation on the same buffer and port, which would
    // close the port under this one; a pick in the port box (a wheel turn or an arrow key over it
    // is one) would close it and open another; the decoders check every answer against "Addr", so
    // a new address would refuse the answers of the meter the requests went to.
    for (QWidget* control :
         std::initializer_list<QWidget*>{Button1, Button2, Button3, AfPortComboBox1, SpinEdit2})
        control->setEnabled(Enabled);
}

bool TForm1::CheckMeterAddress(std::int32_t Addr)
{
    if (Addr >= kBroadcastAddr) {
        ShowMessage(QStringLiteral("Addr 255 is non ack broadcast"));
        return false;
    }
    return CheckAddrInRange(Addr);
}

bool TForm1::CheckAddrInRange(std::int32_t Addr)
{
    // A negative value would go out as its low byte: -1 as the broadcast address FF.
    return CheckInRange(Label6, Addr, kBroadcastAddr);
}

bool TForm1::CheckInRange(const QLabel* Label, std::int32_t Value, std::int32_t Max)
{
    if (Value >= 0 && Value <= Max)
        return true;
    ShowMessage(QStringLiteral("%1 %2 is out of range (0 to %3)").arg(Label->text()).arg(Value).arg(Max));
    return false;
}

void TForm1::ShowStatus(const QString& Text)
{
    if (!FormCaption)
        return;
    FormCaption->Label1->setText(Text);
    FormCaption->Label1->adjustSize();
    FormCaption->show();
}

void TForm1::OpenLink()
{
    AfComPort1->SetUserBaudRate(SpinEdit1->Value());
    AfComPort1->OpenPort();
    PumpWait(kOpenSettleMs);
    AbortWhenClosed();
    AfComPort1->ClearInput();
    AfComPort1->ClearOutput();
}

void TForm1::Exchange(std::int32_t Length, std::uint32_t WaitMs)
{
    AbortWhenClosed();
    AfComPort1->ClearInput();
    AfComPort1->ClearOutput();
    SendTelegram(Length);
    Delay(WaitMs);
    AbortWhenClosed();
}

void TForm1::AbortWhenClosed() const
{
    // Closing the window closes the port and ends any wait at once: the operation ends without
    // taking the silence that follows for the meter's.
    if (FClosed)
        throw EAbort();
}
