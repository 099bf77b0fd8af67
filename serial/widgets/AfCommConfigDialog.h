/// \file
/// The port configuration dialog: baud rate, data bits, parity, stop bits and flow control of one
/// port, starting from a DCB. InstallCommConfigDialog makes it the platform's CommConfigDialogA,
/// which a port component's ShowSettingsDialog shows; without it, that call fails.
///
/// Everything here runs on the user-interface thread of a QApplication.
#pragma once

#include <QDialog>
#include <QString>

#include <vexora/serial/AfExport.h>
#include <vexora/serial/platform/AfWinTypes.h>
#include <vexora/serial/platform/Dcb.h>

class QComboBox;
class QDialogButtonBox;

namespace vexora::serial {

/// The dialog: one drop-down list per setting, the baud rate also editable (1 and up); OK is
/// enabled only for a valid rate. A value of the DCB that a list does not offer is added to it, so
/// a confirmation changes nothing the user did not touch.
class VEXORA_SERIAL_API TAfCommConfigDialog : public QDialog {
public:
    /// Shows the settings of Dcb for the port PortName ("COM3"), titled `"<PortName> settings"`.
    TAfCommConfigDialog(const QString& PortName, const platform::DCB& Dcb, QWidget* Parent = nullptr);

    /// The DCB it started from with the choices applied; every field the dialog does not show
    /// keeps its value. A line that leaves its handshake is held on.
    platform::DCB ChosenDCB() const;

private:
    QComboBox* AddChoice(const QString& Name);
    void UpdateOkButton();

    platform::DCB FDcb;
    QComboBox* FBaudRate = nullptr;
    QComboBox* FDataBits = nullptr;
    QComboBox* FParity = nullptr;
    QComboBox* FStopBits = nullptr;
    QComboBox* FFlowControl = nullptr;
    QDialogButtonBox* FButtons = nullptr;
};

/// Shows the dialog for CommConfigDialogA: owned by Window (a QWidget*), or by the active window
/// when that is null. TRUE with Config->dcb set when confirmed; FALSE with ERROR_CANCELLED when
/// cancelled, ERROR_NOT_SUPPORTED without a QApplication. Modal: blocks in a nested event loop
/// until the user decides.
VEXORA_SERIAL_API platform::BOOL ShowCommConfigDialog(platform::LPCSTR Name, platform::HWND Window,
                                                      platform::COMMCONFIG* Config);

/// Installs ShowCommConfigDialog as the platform's CommConfigDialogA; call it once, after making
/// the QApplication.
VEXORA_SERIAL_API void InstallCommConfigDialog();

} // namespace vexora::serial
