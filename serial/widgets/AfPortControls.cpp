#include <vexora/serial/AfPortControls.h>

#include <QAbstractItemDelegate>
#include <QAbstractItemView>
#include <QEvent>
#include <QFontInfo>
#include <QPainter>
#include <QSocketNotifier>
#include <QTimer>

#include <exception>
#include <utility>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfComPortCore.h>
#include <vexora/serial/AfComponent.h>
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfComPortWatch.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

constexpr int kItemValueRole = Qt::UserRole;
// How long after a change of the ports the list is built anew: a device that appears brings its
// permissions and links a moment later, and all of it costs one rebuild.
constexpr int kWatchDelayMs = 100;

std::uint32_t ItemValue(std::int16_t Number, TAfPortState State)
{
    return static_cast<std::uint16_t>(Number) | (static_cast<std::uint32_t>(State) << 16);
}

// What the machine says of the device of COM Number, so that a technician can tell which item
// is the adapter in their hand; empty when no device is behind the number.
QString DeviceDescription(int Number)
{
    const std::string device = ComPortDevicePath(Number);
    if (device.empty())
        return {};
    const AfComPortInfo info = AfDescribeSerialDevice(device);
    const std::string note = AfComPortAccessNote(info);
    return QString::fromStdString(AfComPortSummary(info) + (note.empty() ? "" : "\n" + note));
}

// Keeps the box from repainting while its list is refilled, and lets it repaint again however
// the refill ends.
class TUpdateSuspension {
public:
    explicit TUpdateSuspension(QWidget& Widget) : FWidget(Widget), FWasEnabled(Widget.updatesEnabled())
    {
        FWidget.setUpdatesEnabled(false);
    }
    ~TUpdateSuspension() { FWidget.setUpdatesEnabled(FWasEnabled); }
    TUpdateSuspension(const TUpdateSuspension&) = delete;
    TUpdateSuspension& operator=(const TUpdateSuspension&) = delete;

private:
    QWidget& FWidget;
    bool FWasEnabled;
};

} // namespace

std::uint32_t GetComPortState(std::int16_t Number)
{
    const std::string name = ComDeviceName(Number);
    // A network port is listed as it is named, without a connection to its gateway: that would
    // take the far port from whoever uses it, and wait for an unreachable one.
    if (AfIsNetworkPort(name))
        return ItemValue(Number, psAvailable);
    HANDLE handle =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        DisposeHandle(handle);
        return ItemValue(Number, psAvailable);
    }
    return ItemValue(Number, GetLastError() == ERROR_FILE_NOT_FOUND ? psNotFound : psUnavailable);
}

// ---- the link to the component framework ------------------------------------------------------

class TAfPortComboBox::TFreeLink : public TComponent {
public:
    explicit TFreeLink(TAfPortComboBox& Box) : TComponent(nullptr), FBox(Box) {}

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override
    {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent == FBox.FComPort)
            FBox.ForgetComPort();
    }

private:
    TAfPortComboBox& FBox;
};

// ---- the items of the dropped-down list -------------------------------------------------------

class TAfPortComboBox::TItemDelegate : public QAbstractItemDelegate {
public:
    explicit TItemDelegate(TAfPortComboBox& Box) : QAbstractItemDelegate(&Box), FBox(Box) {}

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        const bool selected = Option.state.testFlag(QStyle::State_Selected);
        Painter->save();
        Painter->fillRect(Option.rect, selected ? Option.palette.highlight() : Option.palette.base());
        Painter->setPen(TextColor(Option, Index));
        Painter->setFont(Option.font);
        Painter->setClipRect(Option.rect);
        Painter->drawText(Option.rect.adjusted(1, 1, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                          Index.data(Qt::DisplayRole).toString());
        Painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        const QString text = Index.data(Qt::DisplayRole).toString();
        return {Option.fontMetrics.horizontalAdvance(text) + 2, FBox.ItemHeight()};
    }

private:
    // Busy and free ports are told apart only among the items of the open list that are neither
    // selected nor focused; everything else keeps the colour its state gives it.
    QColor TextColor(const QStyleOptionViewItem& Option, const QModelIndex& Index) const
    {
        const bool selected = Option.state.testFlag(QStyle::State_Selected);
        const QColor normal = Option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        const bool plain = !selected && !Option.state.testFlag(QStyle::State_HasFocus);
        if (!FBox.Options().Contains(pcHighlightOpen) || !plain || !FBox.DroppedDown())
            return normal;
        switch (FBox.ItemPortState(Index.row())) {
        case psUnavailable:
            return Option.palette.color(QPalette::Disabled, QPalette::Text);
        case psAvailable:
            return Option.palette.color(QPalette::Active, QPalette::ButtonText);
        default:
            return normal;
        }
    }

    TAfPortComboBox& FBox;
};

// ---- TAfPortComboBox --------------------------------------------------------------------------

TAfPortComboBox::TAfPortComboBox(QWidget* Parent)
    : QComboBox(Parent), FItemHeight(QFontInfo(font()).pixelSize() + 5),
      FFreeLink(std::make_unique<TFreeLink>(*this))
{
    setEditable(false);
    setItemDelegate(new TItemDelegate(*this));
    setAccessibleName(QStringLiteral("Serial port"));
    connect(this, &QComboBox::activated, this, [this] {
        try {
            Change();
        } catch (...) {
            ApplicationHandleException(std::current_exception());
        }
    });
}

TAfPortComboBox::~TAfPortComboBox() = default;

void TAfPortComboBox::SetComPort(TAfComPort* Value)
{
    if (Value == FComPort)
        return;
    if (FComPort)
        FFreeLink->RemoveFreeNotification(FComPort);
    FComPort = Value;
    if (!Value)
        return;
    SetCurrentPort(static_cast<std::int16_t>(Value->ComNumber()));
    FFreeLink->FreeNotification(Value);
}

void TAfPortComboBox::SetOptions(TAfPortCtlOptions Value)
{
    if (Value == FOptions)
        return;
    FOptions = Value;
    if (FWindowCreated)
        RebuildList();
}

void TAfPortComboBox::SetMaxComPorts(std::int16_t Value)
{
    if (Value == FMaxComPorts)
        return;
    FMaxComPorts = Value;
    if (FWindowCreated)
        RebuildList();
}

void TAfPortComboBox::SetWatchPorts(bool Value)
{
    if (Value == WatchPorts())
        return;
    if (!Value) {
        delete std::exchange(FWatchNotifier, nullptr);
        delete std::exchange(FWatchDelay, nullptr);
        FWatch.reset();
        FRebuildWhenClosed = false;
        return;
    }
    FWatch = std::make_unique<AfComPortWatch>();
    FWatchDelay = new QTimer(this);
    FWatchDelay->setSingleShot(true);
    FWatchDelay->setInterval(kWatchDelayMs);
    connect(FWatchDelay, &QTimer::timeout, this, [this] { PortsChanged(); });
    if (FWatch->Fd() < 0)
        return; // the system gives no watch: the box lists as it would without
    FWatchNotifier = new QSocketNotifier(FWatch->Fd(), QSocketNotifier::Read, this);
    connect(FWatchNotifier, &QSocketNotifier::activated, this, [this] {
        if (FWatch->TakeChanges() && !FWatchDelay->isActive())
            FWatchDelay->start();
    });
}

void TAfPortComboBox::PortsChanged()
{
    if (!FWindowCreated)
        return; // the first build is still to come
    if (FDroppedDown) {
        FRebuildWhenClosed = true;
        return;
    }
    RebuildList();
    for (int index = 0; index < count(); ++index) {
        if (ItemPortNumber(index) == FCurrentPort) {
            setCurrentIndex(index);
            return;
        }
    }
}

void TAfPortComboBox::SetCurrentPort(std::int16_t Number)
{
    if (Number == FCurrentPort)
        return;
    FCurrentPort = Number;
    SelectCurrentPort();
}

void TAfPortComboBox::SelectCurrentPort()
{
    HandleNeeded();
    for (int index = 0; index < count(); ++index) {
        if (ItemPortNumber(index) == FCurrentPort) {
            setCurrentIndex(index);
            return;
        }
    }
    if (count() > 0) {
        setCurrentIndex(0);
        FCurrentPort = ItemPortNumber(0);
    } else {
        FCurrentPort = 0;
    }
}

bool TAfPortComboBox::Listed(TAfPortState State) const
{
    if (!FOptions.Contains(pcCheckExist))
        return true;
    if (FOptions.Contains(pcDisableOpen))
        return State == psAvailable;
    return State != psNotFound;
}

void TAfPortComboBox::RebuildList()
{
    TUpdateSuspension suspension(*this);
    clear();
    for (int number = 1; number <= FMaxComPorts; ++number) {
        const std::uint32_t value = GetComPortState(static_cast<std::int16_t>(number));
        if (!Listed(static_cast<TAfPortState>(value >> 16)))
            continue;
        addItem(QStringLiteral("COM %1").arg(number), QVariant::fromValue(value));
        if (const QString description = DeviceDescription(number); !description.isEmpty())
            setItemData(count() - 1, description, Qt::ToolTipRole);
    }
    // The combo box selects the first item that goes into an empty list; a fresh list has none.
    setCurrentIndex(-1);
}

std::int16_t TAfPortComboBox::ItemPortNumber(int Index) const
{
    if (Index < 0 || Index >= count())
        return 0;
    return static_cast<std::int16_t>(itemData(Index, kItemValueRole).toUInt() & 0xFFFFu);
}

TAfPortState TAfPortComboBox::ItemPortState(int Index) const
{
    if (Index < 0 || Index >= count())
        return psNotFound;
    return static_cast<TAfPortState>(itemData(Index, kItemValueRole).toUInt() >> 16);
}

void TAfPortComboBox::SetItemIndex(int Index)
{
    HandleNeeded();
    setCurrentIndex(Index);
}

void TAfPortComboBox::HandleNeeded()
{
    if (FWindowCreated)
        return;
    FWindowCreated = true;
    RebuildList();
}

void TAfPortComboBox::Change()
{
    FCurrentPort = ItemPortNumber(currentIndex());
    if (OnChange)
        OnChange(this);
    if (!FComPort || FCurrentPort == 0)
        return;
    std::exception_ptr error;
    try {
        FComPort->SetComNumber(static_cast<std::uint16_t>(FCurrentPort));
        // A handler of the port may have destroyed it meanwhile.
        if (FComPort && !FComPort->IsPortOpen())
            FComPort->OpenPort();
    } catch (...) {
        error = std::current_exception();
    }
    RebuildList();
    SelectCurrentPort();
    if (error)
        std::rethrow_exception(error);
}

bool TAfPortComboBox::event(QEvent* Event)
{
    const bool handled = QComboBox::event(Event);
    if (Event->type() == QEvent::Polish)
        HandleNeeded();
    return handled;
}

void TAfPortComboBox::changeEvent(QEvent* Event)
{
    QComboBox::changeEvent(Event);
    if (Event->type() != QEvent::FontChange)
        return;
    FItemHeight = QFontInfo(font()).pixelSize() + 5;
    // What re-creating the window would do: the list is built anew.
    if (FWindowCreated)
        RebuildList();
}

void TAfPortComboBox::showEvent(QShowEvent* Event)
{
    HandleNeeded();
    QComboBox::showEvent(Event);
}

void TAfPortComboBox::showPopup()
{
    FDroppedDown = true;
    QComboBox::showPopup();
}

void TAfPortComboBox::hidePopup()
{
    QComboBox::hidePopup();
    FDroppedDown = false;
    // Not at once: a pick that closes the list still refers to its items.
    if (std::exchange(FRebuildWhenClosed, false) && FWatchDelay)
        FWatchDelay->start();
}

} // namespace vexora::serial
