// TForm1's operations: "Read", "Write" and the reset of the main volume counter, run by the shared
// operations with the window as their host.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <initializer_list>

#include "MessageBoxes.h"
#include "StrToFloat.h"
#include "UnitCaption.h"
#include "UnitVexora.h"

namespace {

QString ToQString(std::string_view Text)
{
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

} // namespace

void TForm1::Button2Click(QObject*)
{
    FOperations->Read(SpinEdit2->Value(), SpinEdit1->Value());
}

void TForm1::Button1Click(QObject*)
{
    const std::int32_t addr = SpinEdit2->Value();
    // The address is refused before "Imp Out" is read.
    if (!FOperations->CheckAddrInRange(addr))
        return;
    FOperations->Write(addr, SpinEdit1->Value(), UserDataFields());
}

void TForm1::Button3Click(QObject*)
{
    FOperations->Reset(SpinEdit2->Value(), SpinEdit1->Value());
}

TUserDataFields TForm1::UserDataFields() const
{
    return {SpinEdit3->Value(), SpinEdit4->Value(), StrToFloat(Edit1->text()), SpinEdit5->Value(),
            SpinEdit6->Value(), EmptyTubeTestOn(),  SpinEdit7->Value()};
}

// ---- the host of the operations ---------------------------------------------------------------

void TForm1::OperationStarted()
{
    FClosed = false;
    // Disabling the clicked button (or another control that had the focus) moves the keyboard
    // focus on to the next control; it comes back at the end, so that the keyboard stays where the
    // user left it.
    FFocused = focusWidget();
    SetOperationControls(false);
}

void TForm1::OperationEnded()
{
    SetOperationControls(true);
    if (FFocused && FFocused->isEnabled() && !FClosed)
        FFocused->setFocus();
    FFocused = nullptr;
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

void TForm1::ShowStatus(std::string_view Text)
{
    if (!FormCaption)
        return;
    FormCaption->Label1->setText(ToQString(Text));
    FormCaption->Label1->adjustSize();
    FormCaption->show();
}

void TForm1::HideStatus()
{
    if (FormCaption)
        FormCaption->hide();
}

void TForm1::SetProgressRange(int Min, int Max)
{
    if (Min <= Gauge1->MinValue()) {
        // Minimum first: the maximum is then never below it. The progress an earlier operation
        // left at its minimum would show as a full bar once the maximum comes down to it.
        Gauge1->SetMinValue(Min);
        Gauge1->SetProgress(Min);
        Gauge1->SetMaxValue(Max);
    } else {
        // Maximum first: the minimum is then never above it.
        Gauge1->SetMaxValue(Max);
        Gauge1->SetMinValue(Min);
    }
}

void TForm1::SetProgress(int Value)
{
    Gauge1->SetProgress(Value);
}

void TForm1::ShowMessage(std::string_view Text)
{
    ::ShowMessage(ToQString(Text));
}

bool TForm1::Confirm(std::string_view Text)
{
    return ConfirmYesNo(ToQString(Text));
}
