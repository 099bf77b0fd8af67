// TForm1's port link: the start-up choice of the port, and the exchange with the meter.
#include "UnitVexora.h"

void TForm1::FormCreate(QObject*)
{
    // Selecting from code neither opens nor renumbers the port.
    AfPortComboBox1->SetItemIndex(0);
    if (AfPortComboBox1->count() == 0)
        return;
    AfComPort1->SetComNumber(static_cast<std::uint16_t>(AfPortComboBox1->ItemPortNumber(0)));
}

void TForm1::SendTelegram(std::int32_t Length)
{
    FLink->SendTelegram(Length);
}

void TForm1::Delay(std::uint32_t Ms)
{
    FLink->Delay(Ms);
}
