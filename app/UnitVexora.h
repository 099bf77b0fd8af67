// The main window of the configuration tool: the meter's values, the link settings with the
// serial port and its selection box, the progress bar and the operation buttons.
#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <memory>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/AfPortControls.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "DropDownList.h"
#include "Gauge.h"
#include "GroupBox.h"
#include "MBusLink.h"
#include "MBusRegisters.h"
#include "MBusState.h"
#include "MeterOperations.h"
#include "SpinEdit.h"

class QLabel;
class QLineEdit;
class QPushButton;

// The window runs the operations of MeterOperations.h as their host: the status window, the
// progress bar, message and confirmation boxes, and the fields the user data fill.
class TForm1 : public QWidget, private TMeterOperationHost {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Meter values.
    TSpinEdit* SpinEdit3; // "Q 4mA" in l/h
    TSpinEdit* SpinEdit4; // "Q 20mA" in l/h
    QLineEdit* Edit1;     // "Imp Out" in Imp/l
    TSpinEdit* SpinEdit5; // "Address" of the meter
    TSpinEdit* SpinEdit6; // "Baud" of the meter
    TComboBox* ComboBox1; // "Test empty tube"
    TSpinEdit* SpinEdit7; // "Pulse width" code, 0 to 250
    TGauge* Gauge1;

    QPushButton* Button1; // "Write"
    QPushButton* Button2; // "Read"
    QPushButton* Button3; // reset of the main volume counter

    // "COM setup": the link's baud rate, the address the tool talks to and the port.
    TGroupBox* GroupBox1;
    TSpinEdit* SpinEdit1;             // "Baud"
    TSpinEdit* SpinEdit2;             // "Addr"
    TAfPortComboBox* AfPortComboBox1; // "COM", bound to AfComPort1

    // The one serial port of the tool: even parity, everything else at the component's defaults.
    // Created and destroyed with the window.
    TAfComPort* AfComPort1;

    QLabel* Image1; // banner

    QLabel* Label1;  // "l/h" beside SpinEdit3
    QLabel* Label2;  // "l/h" beside SpinEdit4
    QLabel* Label3;  // "Imp/l"
    QLabel* Label4;  // "COM" in GroupBox1
    QLabel* Label5;  // "Baud" in GroupBox1
    QLabel* Label6;  // "Addr" in GroupBox1
    QLabel* Label7;  // "( TH = TL )"
    QLabel* Label8;  // "(nutna kalibr. propojka)"
    QLabel* Label21; // "Q 4mA"
    QLabel* Label22; // "Q 20mA"
    QLabel* Label23; // "Imp Out"
    QLabel* Label25; // "Address"
    QLabel* Label26; // "Baud"
    QLabel* Label27; // "Test empty tube"
    QLabel* Label30; // "Pulse width"
    QLabel* Label31; // pulse width in ms, follows SpinEdit7

    // What the window keeps of its exchanges from start to end: the telegram buffer, the scale
    // codes and the text of the last decoding failure.
    TMBusState& MBusState() { return FMBusState; }

    // The exchange of the link (TMBusLink) on AfComPort1: SendTelegram sends the request built in
    // the telegram buffer, Delay waits while processing window events and takes the answer.
    void SendTelegram(std::int32_t Length);
    void Delay(std::uint32_t Ms);

    // The three operations, run by TMeterOperations with the window as their host. Each checks
    // the fields it needs before anything is sent, and then runs with all three buttons, the port
    // box and "Addr" disabled; it ends with the port closed, the status window hidden and those
    // controls enabled, also when it raises (the error is shown after that).
    //
    // "Read": the configuration data (scale codes), then the user data into the fields.
    void Button2Click(QObject* Sender);

    // Response decoding: the configuration-data frame and the user-data frame in the telegram
    // buffer. The configuration data set the kept scale codes, and the user data are scaled with
    // them. True when the frame was decoded and applied.
    bool DecodeMBusFLASH();
    bool DecodeMBusFRAM();

    // "Write": registers 0x20 to 0x24 from the fields, scaled with the scale codes the
    // configuration data give; with "Addr" 255, once confirmed, unscaled to every meter.
    void Button1Click(QObject* Sender);

    // Shows the pulse width of SpinEdit7's code in Label31.
    void SpinEdit7Change(QObject* Sender);
    // Called once the window is built: the first listed port becomes the port of the link (its
    // whole number: COM 10 gives 10) and is shown selected, without opening it. With no port
    // listed the number stays as it is.
    void FormCreate(QObject* Sender);

    // Reset of the main volume counter: registers 0x30 and 0x31 written with 0.
    void Button3Click(QObject* Sender);

    // The empty-tube test is on exactly when "Test empty tube" shows "Yes", picked from the list
    // or typed; any other text, the initial "No" without a pick included, means off.
    bool EmptyTubeTestOn() const;
    // Register 0x24 from "Address", "Baud", "Test empty tube" and "Pulse width" as they are now.
    std::uint32_t ConfigWord() const;

protected:
    // Closing the window closes the port.
    void closeEvent(QCloseEvent* Event) override;

private:
    void CreateComponents();
    void CreateControls();
    // Every control gets the text of its label as its accessible name.
    void NameControls();
    void SetTabOrder();

    // The controls disabled while an operation runs: the three buttons, the port box and "Addr".
    // "Baud" of "COM setup" and the meter's values stay editable: an operation reads them before
    // its first wait and never again, so a change counts from the next operation.
    void SetOperationControls(bool Enabled);
    // The fields the user-data registers are written from. Raises EConvertError when "Imp Out"
    // is not a number.
    TUserDataFields UserDataFields() const;

    // The host of the operations.
    void OperationStarted() override;
    void OperationEnded() override;
    void ShowStatus(std::string_view Text) override;
    void HideStatus() override;
    // Changes the range in the order that keeps the minimum at or below the maximum whatever the
    // previous operation left; a range that starts lower starts its progress at the minimum.
    void SetProgressRange(int Min, int Max) override;
    void SetProgress(int Value) override;
    void ShowMessage(std::string_view Text) override;
    bool Confirm(std::string_view Text) override;
    // The fields take the values in the order of the frame.
    void UserDataRead(const TMBusUserData& Data) override;
    bool StopRequested() const override { return FClosed; }

    std::unique_ptr<TAfComPort> FComPort; // AfComPort1
    TMBusState FMBusState;
    std::unique_ptr<TMBusLink> FLink;
    std::unique_ptr<TMeterOperations> FOperations;
    QPointer<QWidget> FFocused; // the control that had the keyboard focus as the operation started
    bool FClosed = false;       // the window was closed during an operation
};

// The application's main window, from program start to end.
extern TForm1* Form1;
