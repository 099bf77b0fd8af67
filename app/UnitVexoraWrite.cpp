// TForm1's operation "Write": registers 0x20 to 0x24 from the fields, one register write each.
#include <QLabel>
#include <QLineEdit>

#include <array>

#include "FloatFormat.h"
#include "MBusDecode.h"
#include "MBusRegisters.h"
#include "MBusTelegram.h"
#include "MessageBoxes.h"
#include "StrToFloat.h"
#include "UnitVexora.h"

namespace {

// The scale code of factor 1, for a broadcast that reads no configuration data.
constexpr std::uint8_t kUnscaled = 3;

// Progress of "Write": 30 before the configuration data, 31 before the first register, then the
// number of each register acknowledged.
constexpr int kWriteMin = 29;
constexpr int kWriteMax = 37;

QString RegisterHex(std::uint8_t reg)
{
    return QStringLiteral("%1").arg(reg, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

void TForm1::Button1Click(QObject*)
{
    const std::int32_t addr = SpinEdit2->Value();
    if (!CheckAddrInRange(addr))
        return;
    const TUserDataFields fields = UserDataFields();
    if (!CheckConfigWordFields(fields))
        return;
    if (addr == kBroadcastAddr &&
        !ConfirmYesNo(QStringLiteral("Addr 255 is addr non ack broadcast\nContinue?")))
        return;
    // Maximum first: the minimum is then never above it, whatever Read left.
    Gauge1->SetMaxValue(kWriteMax);
    Gauge1->SetMinValue(kWriteMin);
    if (!RunOperation(true, [this, addr, &fields] { return WriteSteps(addr, fields); }))
        ShowMessage(QStringLiteral("DATA write error"));
}

bool TForm1::WriteSteps(std::int32_t Addr, const TUserDataFields& Fields)
{
    // The broadcast reaches every meter and none answers: no configuration data, no
    // acknowledgements, and the values unscaled.
    const bool broadcast = Addr == kBroadcastAddr;
    if (!broadcast) {
        // Without this meter's scale codes every value would be scaled wrongly: write none.
        if (!ReadConfigData(Addr, 30))
            return false;
    } else {
        FlowScaleCode = kUnscaled;
        PulseScaleCode = kUnscaled;
        ShowStatus(QStringLiteral("Setting user data reg. 0x") + RegisterHex(RegQ4mA));
        OpenLink();
    }
    Gauge1->SetProgress(31);
    // All five before the first goes out, so that a value that cannot be written leaves the
    // meter as it was.
    std::array<std::uint32_t, UserDataRegisterCount> values{};
    if (!UserDataRegisters(Fields, FlowScaleCode, PulseScaleCode, values))
        throw EConvertError(QStringLiteral("%1 %2 is out of range")
                                .arg(Label23->text(), FloatToStrGeneral(Fields.ImpOut, 15))
                                .toStdString());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto reg = static_cast<std::uint8_t>(RegQ4mA + i);
        ShowStatus(QStringLiteral("Setting user data reg. 0x") + RegisterHex(reg));
        Exchange(BuildRegisterWrite(Addr, reg, values[i]), kRequestWaitMs);
        if (!broadcast && !IsAcknowledged()) {
            ShowMessage(QStringLiteral("Registers ") + RegisterHex(reg) + QStringLiteral(" write error"));
            return false;
        }
        Gauge1->SetProgress(reg);
    }
    return true;
}

TUserDataFields TForm1::UserDataFields() const
{
    return {SpinEdit3->Value(), SpinEdit4->Value(), StrToFloat(Edit1->text()), SpinEdit5->Value(),
            SpinEdit6->Value(), EmptyTubeTestOn(),  SpinEdit7->Value()};
}

bool TForm1::CheckConfigWordFields(const TUserDataFields& Fields)
{
    // Added into the word, a value out of its byte would carry into the next part's.
    return CheckInRange(Label25, Fields.Address, ConfigAddressMax) &&
           CheckInRange(Label26, Fields.Baud, ConfigBaudMax) &&
           CheckInRange(Label30, Fields.PulseWidth, ConfigPulseWidthMax);
}
