// The main window of the configuration tool: the meter's values, the link settings, the
// progress bar and the operation buttons.
#pragma once

#include <QWidget>

#include <cstdint>

#include "DropDownList.h"
#include "Gauge.h"
#include "GroupBox.h"
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

    // "COM setup": the link's baud rate and the address the tool talks to.
    TGroupBox* GroupBox1;
    TSpinEdit* SpinEdit1; // "Baud"
    TSpinEdit* SpinEdit2; // "Addr"

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

    // Response decoding: the configuration-data frame and the user-data frame in TelegramBuf.
    bool DecodeMBusFLASH();
    bool DecodeMBusFRAM();

    // Shows the pulse width of SpinEdit7's code in Label31.
    void SpinEdit7Change(QObject* Sender);

    // The empty-tube test is on exactly when "Test empty tube" shows "Yes", picked from the list
    // or typed; any other text, the initial "No" without a pick included, means off.
    bool EmptyTubeTestOn() const;
    // Register 0x24 from "Address", "Baud", "Test empty tube" and "Pulse width" as they are now.
    std::uint32_t ConfigWord() const;

private:
    void CreateControls();
    // Every control gets the text of its label as its accessible name.
    void NameControls();
    void SetTabOrder();
};

// The application's main window, from program start to end.
extern TForm1* Form1;
