// TForm1's response decoding: runs the UI-free decoders on TelegramBuf, reports a failure with
// the date and time, and applies a decoded frame.
#include <QDateTime>
#include <QLineEdit>

#include "ErrorTimeStamp.h"
#include "FloatFormat.h"
#include "MBusDecode.h"
#include "MessageBoxes.h"
#include "UnitVexora.h"

namespace {

constexpr int ImpOutDigits = 6;

// ErrorText := date, time and message; one message box shows it.
void ReportDecodeFailure(std::string_view message)
{
    const QString text = ErrorTimeStamp(QDateTime::currentDateTime()) +
                         QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size()));
    ErrorText = text.toStdString();
    ShowMessage(text);
}

// True when the frame was decoded; a failure is reported, a frame without marker is not.
bool Decoded(const TMBusDecodeResult& result)
{
    if (result.Status == TMBusDecodeStatus::dsFailed)
        ReportDecodeFailure(result.Message);
    return result.Status == TMBusDecodeStatus::dsDecoded;
}

} // namespace

bool TForm1::DecodeMBusFLASH()
{
    const TMBusConfigData data = DecodeConfigFrame(SpinEdit2->Value());
    if (!Decoded(data))
        return false;
    PulseScaleCode = data.PulseScaleCode;
    FlowScaleCode = data.FlowScaleCode;
    return true;
}

bool TForm1::DecodeMBusFRAM()
{
    const TMBusUserData data = DecodeUserFrame(SpinEdit2->Value(), FlowScaleCode, PulseScaleCode);
    if (!Decoded(data))
        return false;
    // Every value converted: the fields take them in the order of the frame.
    SpinEdit3->SetValue(data.Q4mA);
    SpinEdit4->SetValue(data.Q20mA);
    Edit1->setText(ScaledFloatToStrGeneral(data.ImpOutStored, -data.ImpOutDecimals, ImpOutDigits));
    SpinEdit5->SetValue(data.Address);
    SpinEdit6->SetValue(data.Baud);
    ComboBox1->SetItemIndex(data.TestEmptyTube ? 1 : 0);
    SpinEdit7->SetValue(data.PulseWidth); // clamps to 250; its change updates Label31
    return true;
}
