// The main window of the configuration tool: the meter's values, the link settings with the
// serial port and its selection box, the progress bar and the operation buttons.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "AfComPort.h"
#include "AfPortControls.h"
#include "DropDownList.h"
#include "Gauge.h"
#include "GroupBox.h"
#include "MBusRegisters.h"
#include "SpinEdit.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TForm1 : public QWidget {
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

    // Sends the first Length bytes of TelegramBuf, the request just built there, and remembers
    // them for the Delay that follows. Raises as SendData does.
    void SendTelegram(std::int32_t Length);
    // Completes one exchange after the caller has sent a request: waits while processing window
    // events until the request has left the output queue, drops what was received meanwhile (an
    // echo of the request, noise), waits Ms milliseconds more, and takes what arrived into
    // TelegramBuf from index 0. An echo of the request sent through SendTelegram that arrived
    // only after the drop (all of it, or its tail) is not taken: the answer behind it is. Only the
    // bytes taken are replaced; with none the buffer stays as it was. More than the buffer holds:
    // the first 104 bytes are taken and the rest is read out and dropped. Returns at once, with
    // the buffer unchanged, when the port closes meanwhile, and gives the request up when it has
    // not left the queue long after the line could have carried it (a line held back, a device
    // gone).
    void Delay(std::uint32_t Ms);

    // The three operations. Each checks the fields it needs before anything is sent, and then
    // runs with all three buttons, the port box and "Addr" disabled; it ends with the port
    // closed, the status window hidden and those controls enabled, also when it raises (the
    // error is shown after that).
    //
    // "Read": the configuration data (scale codes), then the user data into the fields.
    void Button2Click(QObject* Sender);

    // Response decoding: the configuration-data frame and the user-data frame in TelegramBuf.
    // True when the frame was decoded and applied.
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
    // Delay's steps: whether the request left the queue with the port still open; the wait for
    // the answer, which ends early when the port closes; the taking of what arrived.
    bool WaitOutputDrained();
    void WaitForAnswer(std::uint32_t Ms);
    void TakeAnswer(const std::vector<std::uint8_t>& Request);

    // The operations' steps. Each returns true when the operation succeeded.
    bool ReadSteps(std::int32_t Addr);
    bool WriteSteps(std::int32_t Addr, const TUserDataFields& Fields);
    bool ResetSteps(std::int32_t Addr);
    // Opens the link, selects and reads the configuration data: false unless the meter
    // acknowledged the select (progress then AcknowledgedProgress) and the data decoded.
    bool ReadConfigData(std::int32_t Addr, int AcknowledgedProgress);
    // Runs Steps with the operation's controls disabled, then the closing steps, also when Steps
    // raise. ShowsProgress: the operation uses the progress bar and the status window.
    bool RunOperation(bool ShowsProgress, const std::function<bool()>& Steps);
    void EndOperation(bool ShowsProgress);
    // The controls disabled while an operation runs: the three buttons, the port box and "Addr".
    // "Baud" of "COM setup" and the meter's values stay editable: an operation reads them before
    // its first wait and never again, so a change counts from the next operation.
    void SetOperationControls(bool Enabled);

    // "Addr" for Read and Reset: 255 and above is the broadcast, which gets no answers; a negative
    // value is no address. Shows why and returns false for either.
    bool CheckMeterAddress(std::int32_t Addr);
    // "Addr" from 0 to 255; shows why and returns false otherwise.
    bool CheckAddrInRange(std::int32_t Addr);
    // The fields the user-data registers are written from. Raises EConvertError when "Imp Out"
    // is not a number.
    TUserDataFields UserDataFields() const;
    // Whether address, baud rate and pulse width each fit their byte of register 0x24; shows which
    // one does not.
    bool CheckConfigWordFields(const TUserDataFields& Fields);
    // Whether Value lies from 0 to Max; otherwise shows so, naming the field by its label.
    static bool CheckInRange(const QLabel* Label, std::int32_t Value, std::int32_t Max);

    // The status window shows Text, and is shown.
    void ShowStatus(const QString& Text);
    // UserBaudRate from "Baud" of "COM setup", the port opened, and a first clearing of both
    // directions once it has settled.
    void OpenLink();
    // One exchange: both directions cleared, the request of Length bytes built in TelegramBuf
    // sent, and Delay(WaitMs). Raises EAbort when the window closes meanwhile.
    void Exchange(std::int32_t Length, std::uint32_t WaitMs);
    void AbortWhenClosed() const;

    // The address every meter takes as its own and none answers; the fixed waits of the link:
    // after opening the port, after a select telegram, after a data request or register write.
    static constexpr std::int32_t kBroadcastAddr = 255;
    static constexpr std::uint32_t kOpenSettleMs = 100;
    static constexpr std::uint32_t kSelectWaitMs = 500;
    static constexpr std::uint32_t kRequestWaitMs = 750;

    std::unique_ptr<TAfComPort> FComPort; // AfComPort1
    std::vector<std::uint8_t> FRequest;   // the request SendTelegram sent, for Delay
    bool FClosed = false;                 // the window was closed during an operation
};

// The application's main window, from program start to end.
extern TForm1* Form1;
