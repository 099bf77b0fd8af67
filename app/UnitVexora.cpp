#include "UnitVexora.h"

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AppLook.h"
#include "FloatFormat.h"
#include "MBusRegisters.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <exception>
#include <functional>
#include <utility>

TForm1* Form1 = nullptr;

namespace {

// Client area of the 380 x 377 window (its frame and title bar take the rest).
constexpr int kClientWidth = 372;
constexpr int kClientHeight = 343;

// The caption the operations' messages name a value by.
QString Caption(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setContentsMargins(0, 0, 0, 0);
    label->move(left, top);
    label->adjustSize();
    return label;
}

TSpinEdit* MakeSpinEdit(QWidget* parent, const char* name, int value, const QRect& bounds)
{
    auto* spin = new TSpinEdit(parent);
    spin->setObjectName(QString::fromLatin1(name));
    spin->setGeometry(bounds);
    spin->SetValue(value);
    return spin;
}

// The label names its control: for the label-to-field relation and for screen readers, which
// find the control by the label's text.
void Names(QLabel* label, QWidget* control)
{
    label->setBuddy(control);
    control->setAccessibleName(label->text());
}

// A click runs the handler; an exception that escapes it goes to the application's exception
// display, as from any event handler.
void OnClick(QPushButton* button, QWidget* owner, std::function<void()> handler)
{
    QObject::connect(button, &QPushButton::clicked, owner, [handler = std::move(handler)] {
        try {
            handler();
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
    });
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, const QRect& bounds)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(caption);
    button->setGeometry(bounds);
    button->setAutoDefault(false);
    return button;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("VEXORA"));
    setWindowIcon(MainIcon());
    setFont(DesignFont());
    setAutoFillBackground(true);
    setFixedSize(kClientWidth, kClientHeight);
    move(442, 308);
    CreateComponents();
    CreateControls();
    NameControls();
    SetTabOrder();
    // The stored default of SpinEdit7 is in place before the handler is bound, so start-up
    // leaves the design text of Label31.
    connect(SpinEdit7, &TSpinEdit::Changed, this, [this] { SpinEdit7Change(SpinEdit7); });
    OnClick(Button1, this, [this] { Button1Click(Button1); });
    OnClick(Button2, this, [this] { Button2Click(Button2); });
    OnClick(Button3, this, [this] { Button3Click(Button3); });
    FormCreate(this);
}

TForm1::~TForm1()
{
    if (Form1 == this) {
        Form1 = nullptr;
    }
}

void TForm1::CreateComponents()
{
    FComPort = std::make_unique<TAfComPort>(nullptr);
    AfComPort1 = FComPort.get();
    AfComPort1->SetName("AfComPort1");
    AfComPort1->SetParity(paEven);
    AfComPort1->Loaded();
    FLink = std::make_unique<TMBusLink>(*AfComPort1, FMBusState.TelegramBuf);
    FOperations =
        std::make_unique<TMeterOperations>(*FLink, static_cast<TMeterOperationHost&>(*this), FMBusState);
}

void TForm1::CreateControls()
{
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(BannerPicture());
    Image1->setGeometry(40, 0, 287, 70);

    SpinEdit3 = MakeSpinEdit(this, "SpinEdit3", 100, QRect(64, 80, 81, 22));
    Label21 = MakeLabel(this, "Label21", QStringLiteral("Q 4mA"), 24, 88);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("l/h"), 152, 88);

    SpinEdit4 = MakeSpinEdit(this, "SpinEdit4", 2000, QRect(64, 112, 81, 22));
    Label22 = MakeLabel(this, "Label22", QStringLiteral("Q 20mA"), 16, 120);
    Label2 = MakeLabel(this, "Label2", QStringLiteral("l/h"), 152, 120);

    Edit1 = new QLineEdit(QStringLiteral("1"), this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(64, 144, 81, 21);
    Label23 = MakeLabel(this, "Label23", Caption(CaptionImpOut), 16, 152);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("Imp/l"), 152, 152);

    SpinEdit5 = MakeSpinEdit(this, "SpinEdit5", 1, QRect(272, 80, 81, 22));
    Label25 = MakeLabel(this, "Label25", Caption(CaptionAddress), 232, 88);

    SpinEdit6 = MakeSpinEdit(this, "SpinEdit6", 2400, QRect(272, 112, 81, 22));
    Label26 = MakeLabel(this, "Label26", Caption(CaptionBaud), 240, 120);

    ComboBox1 = new TComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(272, 144, 81, 21);
    ComboBox1->addItems({QStringLiteral("No"), QStringLiteral("Yes")});
    ComboBox1->SetText(QStringLiteral("No"));
    Label27 = MakeLabel(this, "Label27", QStringLiteral("Test empty tube"), 192, 152);

    SpinEdit7 = new TSpinEdit(this);
    SpinEdit7->setObjectName(QStringLiteral("SpinEdit7"));
    SpinEdit7->setGeometry(272, 176, 49, 22);
    SpinEdit7->SetMinValue(0);
    SpinEdit7->SetMaxValue(250);
    SpinEdit7->SetValue(0);
    Label30 = MakeLabel(this, "Label30", Caption(CaptionPulseWidth), 208, 184);
    Label31 = MakeLabel(this, "Label31", QStringLiteral("1 ms"), 328, 184);
    Label7 = MakeLabel(this, "Label7", QStringLiteral("( TH = TL )"), 208, 200);

    Gauge1 = new TGauge(this);
    Gauge1->setObjectName(QStringLiteral("Gauge1"));
    Gauge1->setGeometry(16, 184, 145, 17);

    Button1 = MakeButton(this, "Button1", QStringLiteral("Write"), QRect(272, 232, 75, 25));
    Button2 = MakeButton(this, "Button2", QStringLiteral("Read"), QRect(272, 272, 75, 25));

    GroupBox1 = new TGroupBox(QStringLiteral("COM setup"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(16, 216, 233, 81);
    SpinEdit1 = MakeSpinEdit(GroupBox1, "SpinEdit1", 2400, QRect(144, 16, 81, 22));
    Label5 = MakeLabel(GroupBox1, "Label5", QStringLiteral("Baud"), 112, 24);
    SpinEdit2 = MakeSpinEdit(GroupBox1, "SpinEdit2", 1, QRect(144, 48, 81, 22));
    Label6 = MakeLabel(GroupBox1, "Label6", Caption(CaptionAddr), 112, 56);
    AfPortComboBox1 = new TAfPortComboBox(GroupBox1);
    AfPortComboBox1->setObjectName(QStringLiteral("AfPortComboBox1"));
    AfPortComboBox1->setGeometry(8, 48, 81, 22);
    AfPortComboBox1->SetMaxComPorts(16);
    AfPortComboBox1->SetComPort(AfComPort1);
    // A converter plugged in, or a simulator started, while the window is open shows up at once.
    AfPortComboBox1->SetWatchPorts(true);
    Label4 = MakeLabel(GroupBox1, "Label4", QStringLiteral("COM"), 32, 32);

    Button3 = MakeButton(this, "Button3", QStringLiteral("Nulovat hlavni pocitadlo objemu"),
                         QRect(16, 312, 233, 25));
    Label8 = MakeLabel(this, "Label8", QStringLiteral("(nutna kalibr. propojka)"), 256, 320);
}

void TForm1::NameControls()
{
    Image1->setAccessibleName(windowTitle());
    Names(Label21, SpinEdit3);
    Names(Label22, SpinEdit4);
    Names(Label23, Edit1);
    Names(Label25, SpinEdit5);
    Names(Label26, SpinEdit6);
    Names(Label27, ComboBox1);
    Names(Label30, SpinEdit7);
    Gauge1->setAccessibleName(QStringLiteral("Progress"));
    GroupBox1->setAccessibleName(GroupBox1->title());
    Names(Label5, SpinEdit1);
    Names(Label6, SpinEdit2);
    Names(Label4, AfPortComboBox1);
}

void TForm1::SetTabOrder()
{
    const QList<QWidget*> order = {SpinEdit3, SpinEdit4,       Edit1,   SpinEdit5, SpinEdit6,
                                   SpinEdit7, Button2,         Button1, ComboBox1, SpinEdit1,
                                   SpinEdit2, AfPortComboBox1, Button3};
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void TForm1::closeEvent(QCloseEvent* Event)
{
    // Also while an exchange waits in the event loop: its Delay then ends at once, and so does
    // the operation.
    FClosed = true;
    if (AfComPort1->IsPortOpen())
        AfComPort1->ClosePort();
    QWidget::closeEvent(Event);
}

void TForm1::SpinEdit7Change(QObject*)
{
    const double width = SpinEdit7->Value() * 1.66 + 1;
    Label31->setText(FloatToStrGeneral(width, 15) + QStringLiteral("ms"));
    Label31->adjustSize();
}

bool TForm1::EmptyTubeTestOn() const
{
    return ComboBox1->Text() == QStringLiteral("Yes");
}

std::uint32_t TForm1::ConfigWord() const
{
    return ConfigWordRegister(SpinEdit5->Value(), SpinEdit6->Value(), EmptyTubeTestOn(), SpinEdit7->Value());
}
