#include <vexora/serial/AfCommConfigDialog.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <climits>
#include <utility>
#include <vector>

#include <vexora/serial/AfLineSettings.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

constexpr DWORD kStandardRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                    19200, 38400, 56000, 57600, 115200, 128000, 256000};

// Selects the item whose data is Value, adding an item for a value the list does not have, so
// that a confirmation never changes what the user did not touch.
void SelectValue(QComboBox* Box, int Value, const QString& Text)
{
    int index = Box->findData(Value);
    if (index < 0) {
        Box->addItem(Text, Value);
        index = Box->count() - 1;
    }
    Box->setCurrentIndex(index);
}

} // namespace

TAfCommConfigDialog::TAfCommConfigDialog(const QString& PortName, const DCB& Dcb, QWidget* Parent)
    : QDialog(Parent), FDcb(Dcb)
{
    setWindowTitle(QStringLiteral("%1 settings").arg(PortName));
    setAccessibleName(windowTitle());
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    FBaudRate = AddChoice(QStringLiteral("Bits per second"));
    FBaudRate->setEditable(true);
    FBaudRate->lineEdit()->setAccessibleName(QStringLiteral("Bits per second"));
    FBaudRate->setValidator(new QIntValidator(1, INT_MAX, FBaudRate));
    for (DWORD rate : kStandardRates)
        FBaudRate->addItem(QString::number(rate), static_cast<int>(rate));
    FDataBits = AddChoice(QStringLiteral("Data bits"));
    for (int bits = 5; bits <= 8; ++bits)
        FDataBits->addItem(QString::number(bits), bits);
    FParity = AddChoice(QStringLiteral("Parity"));
    FParity->addItem(QStringLiteral("None"), NOPARITY);
    FParity->addItem(QStringLiteral("Odd"), ODDPARITY);
    FParity->addItem(QStringLiteral("Even"), EVENPARITY);
    FParity->addItem(QStringLiteral("Mark"), MARKPARITY);
    FParity->addItem(QStringLiteral("Space"), SPACEPARITY);
    FStopBits = AddChoice(QStringLiteral("Stop bits"));
    FStopBits->addItem(QStringLiteral("1"), ONESTOPBIT);
    FStopBits->addItem(QStringLiteral("1.5"), ONE5STOPBITS);
    FStopBits->addItem(QStringLiteral("2"), TWOSTOPBITS);
    FFlowControl = AddChoice(QStringLiteral("Flow control"));
    FFlowControl->addItem(QStringLiteral("None"), fwNone);
    FFlowControl->addItem(QStringLiteral("Xon / Xoff"), fwXOnXOff);
    FFlowControl->addItem(QStringLiteral("Hardware (RTS/CTS)"), fwRtsCts);
    FFlowControl->addItem(QStringLiteral("Hardware (DTR/DSR)"), fwDtrDsr);
    auto addRows = [form](std::initializer_list<std::pair<const char*, QComboBox*>> rows) {
        for (const auto& [label, box] : rows) {
            auto* text = new QLabel(QString::fromLatin1(label));
            text->setBuddy(box);
            form->addRow(text, box);
        }
    };
    addRows({{"&Bits per second:", FBaudRate},
             {"&Data bits:", FDataBits},
             {"&Parity:", FParity},
             {"&Stop bits:", FStopBits},
             {"&Flow control:", FFlowControl}});

    FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    FButtons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    FButtons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    FButtons->setAccessibleName(QStringLiteral("Dialog buttons"));
    layout->addWidget(FButtons);
    connect(FButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(FButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(FBaudRate, &QComboBox::editTextChanged, this, [this] { UpdateOkButton(); });

    SelectValue(FBaudRate, static_cast<int>(Dcb.BaudRate), QString::number(Dcb.BaudRate));
    SelectValue(FDataBits, Dcb.ByteSize, QString::number(Dcb.ByteSize));
    SelectValue(FParity, Dcb.Parity, QString::number(Dcb.Parity));
    SelectValue(FStopBits, Dcb.StopBits, QString::number(Dcb.StopBits));
    TAfLineSettings settings;
    LineSettingsFromDCB(settings, Dcb);
    SelectValue(FFlowControl, settings.FlowControl, QString());
    UpdateOkButton();
}

QComboBox* TAfCommConfigDialog::AddChoice(const QString& Name)
{
    auto* box = new QComboBox(this);
    box->setObjectName(Name);
    box->setAccessibleName(Name);
    return box;
}

void TAfCommConfigDialog::UpdateOkButton()
{
    QString text = FBaudRate->currentText();
    int position = 0;
    const bool valid = FBaudRate->validator()->validate(text, position) == QValidator::Acceptable;
    FButtons->button(QDialogButtonBox::Ok)->setEnabled(valid);
}

DCB TAfCommConfigDialog::ChosenDCB() const
{
    DCB dcb = FDcb;
    dcb.BaudRate = FBaudRate->currentText().toUInt();
    dcb.ByteSize = static_cast<BYTE>(FDataBits->currentData().toInt());
    dcb.Parity = static_cast<BYTE>(FParity->currentData().toInt());
    dcb.StopBits = static_cast<BYTE>(FStopBits->currentData().toInt());

    const auto flow = static_cast<TAfFlowControl>(FFlowControl->currentData().toInt());
    const DWORD allFlow = FlowControlMask(fwXOnXOff) | FlowControlMask(fwRtsCts) | FlowControlMask(fwDtrDsr);
    const DWORD before = DcbFlags(dcb);
    DWORD flags = (before & ~allFlow) | FlowControlMask(flow);
    const bool dtrHandshake = (before & DCB_fDtrControlHandshake) != 0;
    const bool rtsHandshake = (before & DCB_fRtsControlHandshake) != 0;
    if (flow == fwDtrDsr)
        flags &= ~DCB_fDtrControlEnable;
    else if (dtrHandshake)
        flags |= DCB_fDtrControlEnable;
    if (flow == fwRtsCts)
        flags &= ~DCB_fRtsControlEnable;
    else if (rtsHandshake)
        flags |= DCB_fRtsControlEnable;
    SetDcbFlags(dcb, flags);
    return dcb;
}

BOOL ShowCommConfigDialog(LPCSTR Name, HWND Window, COMMCONFIG* Config)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    QWidget* owner = Window ? static_cast<QWidget*>(Window) : QApplication::activeWindow();
    TAfCommConfigDialog dialog(QString::fromLocal8Bit(Name), Config->dcb, owner);
    if (dialog.exec() != QDialog::Accepted) {
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    Config->dcb = dialog.ChosenDCB();
    return TRUE;
}

void InstallCommConfigDialog()
{
    AfSetCommConfigDialog(&ShowCommConfigDialog);
}

} // namespace vexora::serial
