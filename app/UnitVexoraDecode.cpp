// TForm1's response decoding: the shared decoders on the window's telegram buffer, and the user
// data into the fields.
#include <QLineEdit>

#include "ImpOutText.h"
#include "UnitVexora.h"

bool TForm1::DecodeMBusFLASH()
{
    return FOperations->DecodeConfigData(SpinEdit2->Value()).has_value();
}

bool TForm1::DecodeMBusFRAM()
{
    return FOperations->DecodeUserData(SpinEdit2->Value(), FMBusState.ScaleCodes);
}

void TForm1::UserDataRead(const TMBusUserData& Data)
{
    SpinEdit3->SetValue(Data.Q4mA);
    SpinEdit4->SetValue(Data.Q20mA);
    Edit1->setText(ImpOutText(Data));
    SpinEdit5->SetValue(Data.Address);
    SpinEdit6->SetValue(Data.Baud);
    ComboBox1->SetItemIndex(Data.TestEmptyTube ? 1 : 0);
    SpinEdit7->SetValue(Data.PulseWidth); // clamps to 250; its change updates Label31
}
