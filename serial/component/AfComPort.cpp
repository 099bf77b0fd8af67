#include <vexora/serial/AfComPort.h>

#include <utility>
#include <vector>

#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/platform/AfWin.h>

namespace vexora::serial {

using namespace platform;

namespace {

constexpr DWORD kHandOverMs = 2000;

// Stores Value in Field; whether it changed.
template <typename T> bool Assign(T& Field, T Value)
{
    if (Field == Value)
        return false;
    Field = Value;
    return true;
}

} // namespace

// ---- TAfCustomSerialPort: life ----------------------------------------------------------------

TAfCustomSerialPort::TAfCustomSerialPort(TComponent* AOwner) : TAfDataDispConnComponent(AOwner)
{
    if (Designing())
        return;
    // Raises, before anything else is made, on a thread other than the user-interface thread or
    // when the channel is full: such a port could never fire an event.
    FSyncId = RegisterOwnerReceiver([this] { SyncCallback(); });
    FCore = std::make_unique<TAfComPortCore>();
    FCore->OnCoreEvent = [this](TObject*, TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error) {
        CoreEvent(EventKind, Data, std::move(Error));
    };
    UpdateDCB();
}

TAfCustomSerialPort::~TAfCustomSerialPort()
{
    Destroying();
    // The dispatcher lets go first: its round may hold the event thread, which the core's close
    // below waits for, in the hand-over to the very reader that destroys this port.
    if (TAfDataDispatcher* dispatcher = Dispatcher())
        dispatcher->SetConnComponent(nullptr);
    if (FCore) {
        // Unregistering also lets an event that is being handed over go, so the event thread
        // can end at once.
        UnregisterReceiver(FSyncId);
        FCore.reset();
    }
}

void TAfCustomSerialPort::Loaded()
{
    TAfDataDispConnComponent::Loaded();
    if (FAutoOpen)
        OpenPort();
    else
        UpdateDCB();
}

// ---- properties --------------------------------------------------------------------------------

void TAfCustomSerialPort::CheckEnum(unsigned Value, unsigned Count)
{
    if (Value >= Count)
        RaisePortError("Invalid property value");
}

void TAfCustomSerialPort::ChangeSetting(bool Changed)
{
    if (Changed)
        UpdateDCB();
}

void TAfCustomSerialPort::SetAutoOpen(bool Value)
{
    FAutoOpen = Value;
}

void TAfCustomSerialPort::SetBaudRate(TAfBaudrate Value)
{
    CheckEnum(Value, AfBaudrateCount);
    if (!Assign(FSettings.BaudRate, Value))
        return;
    if (Value != brUser)
        FSettings.UserBaudRate = 0;
    UpdateDCB();
}

void TAfCustomSerialPort::SetUserBaudRate(std::int32_t Value)
{
    if (!Assign(FSettings.UserBaudRate, Value))
        return;
    FSettings.BaudRate = brUser;
    UpdateDCB();
}

void TAfCustomSerialPort::SetDatabits(TAfDatabits Value)
{
    CheckEnum(Value, AfDatabitsCount);
    ChangeSetting(Assign(FSettings.Databits, Value));
}

void TAfCustomSerialPort::SetParity(TAfParity Value)
{
    CheckEnum(Value, AfParityCount);
    ChangeSetting(Assign(FSettings.Parity, Value));
}

void TAfCustomSerialPort::SetStopbits(TAfStopbits Value)
{
    CheckEnum(Value, AfStopbitsCount);
    ChangeSetting(Assign(FSettings.Stopbits, Value));
}

void TAfCustomSerialPort::SetFlowControl(TAfFlowControl Value)
{
    CheckEnum(Value, AfFlowControlCount);
    if (!Assign(FSettings.FlowControl, Value))
        return;
    UpdateXOnXOffLimits(FSettings);
    UpdateDCB();
}

void TAfCustomSerialPort::SetOptions(TAfComOptions Value)
{
    ChangeSetting(Assign(FSettings.Options, Value));
}

void TAfCustomSerialPort::SetXOnChar(char Value)
{
    ChangeSetting(Assign(FSettings.XOnChar, Value));
}

void TAfCustomSerialPort::SetXOffChar(char Value)
{
    ChangeSetting(Assign(FSettings.XOffChar, Value));
}

void TAfCustomSerialPort::SetXOnLim(std::uint16_t Value)
{
    WriteXOnLim(FSettings, Value);
}

void TAfCustomSerialPort::SetXOffLim(std::uint16_t Value)
{
    WriteXOffLim(FSettings, Value);
}

void TAfCustomSerialPort::SetDTR(bool Value)
{
    if (Value == FSettings.DTR)
        return;
    if (FCore)
        FCore->EscapeFunction(Value ? SETDTR : CLRDTR);
    FSettings.DTR = Value;
}

void TAfCustomSerialPort::SetRTS(bool Value)
{
    if (Value == FSettings.RTS)
        return;
    if (FCore)
        FCore->EscapeFunction(Value ? SETRTS : CLRRTS);
    FSettings.RTS = Value;
}

void TAfCustomSerialPort::SetInBufSize(std::int32_t Value)
{
    if (Value == FSettings.InBufSize)
        return;
    CheckPortClosed();
    FSettings.InBufSize = Value;
    UpdateXOnXOffLimits(FSettings);
}

void TAfCustomSerialPort::SetOutBufSize(std::int32_t Value)
{
    if (Value == FOutBufSize)
        return;
    CheckPortClosed();
    FOutBufSize = Value;
}

void TAfCustomSerialPort::SetEventThreadPriority(TThreadPriority Value)
{
    CheckEnum(Value, tpTimeCritical + 1);
    FEventThreadPriority = Value;
}

void TAfCustomSerialPort::SetWriteThreadPriority(TThreadPriority Value)
{
    CheckEnum(Value, tpTimeCritical + 1);
    FWriteThreadPriority = Value;
}

void TAfCustomSerialPort::UpdateDCB()
{
    if (Designing())
        return;
    FDCB = LineSettingsToDCB(FSettings);
    if (!IsPortOpen())
        return;
    try {
        FCore->SetDCB(FDCB);
    } catch (...) {
        FDCB = FCore->DCB();
        throw;
    }
}

void TAfCustomSerialPort::SetFromDCB(const platform::DCB& Dcb)
{
    if (Dcb.DCBlength != sizeof(platform::DCB))
        RaisePortError("Error setting parameters from DCB");
    FDCB = Dcb;
    LineSettingsFromDCB(FSettings, Dcb);
    UpdateDCB();
}

// ---- the port ----------------------------------------------------------------------------------

void TAfCustomSerialPort::OpenPort()
{
    if (!Designing() && FCore && !FCore->IsOpen()) {
        EnableReceiver(FSyncId, true);
        FCore->SetDCB(FDCB);
        FCore->SetInQueueSize(FSettings.InBufSize);
        FCore->SetOutQueueSize(FOutBufSize);
        FCore->SetEventThreadPriority(FEventThreadPriority);
        FCore->SetWriteThreadPriority(FWriteThreadPriority);
        FClosing = false;
        OpenDevice();
        const std::weak_ptr<const bool> alive = Alive();
        OnPortOpen(this);
        if (alive.expired())
            return; // the handler destroyed the port
    }
    TAfDataDispConnComponent::OpenPort();
}

void TAfCustomSerialPort::ClosePort()
{
    FClosing = true;
    ++FCloseCount;
    // Also when a handler raises: a port left closing would drop every later write silently.
    // Unless a handler (the dispatcher's or OnPortClose) destroyed the port.
    struct TClosingEnd {
        std::atomic<bool>& Closing;
        const std::weak_ptr<const bool> Alive;
        ~TClosingEnd()
        {
            if (!Alive.expired())
                Closing = false;
        }
    } closingEnd{FClosing, Alive()};

    TAfDataDispConnComponent::ClosePort();
    if (closingEnd.Alive.expired() || Designing() || !FCore)
        return;
    // Disabling the receiver first lets an event being handed over go, so the core's close does
    // not wait for it.
    EnableReceiver(FSyncId, false);
    FCore->Close();
    OnPortClose(this);
}

bool TAfCustomSerialPort::IsPortOpen() const
{
    return FCore && FCore->IsOpen();
}

void TAfCustomSerialPort::CheckPortClosed()
{
    if (IsPortOpen())
        RaisePortError("Port is not closed");
}

void TAfCustomSerialPort::SendData(const void* Buffer, std::int32_t Count)
{
    if (FClosing)
        return;
    if (Count == 0 && IsPortOpen())
        return;
    if (!FCore || !FCore->WriteData(Buffer, Count))
        RaisePortError("Write data error [requested: " + std::to_string(Count) +
                       ", free: " + std::to_string(OutputSpace()) + "]");
}

void TAfCustomSerialPort::ReceiveData(void* Buffer, std::int32_t Count)
{
    TakeReceived(Buffer, Count);
}

bool TAfCustomSerialPort::TakeReceived(void* Buffer, std::int32_t Count)
{
    if (FClosing)
        return false;
    // All or nothing: bytes that are too few stay queued, readable by the next call.
    if (!FCore || !FCore->ReadExactly(Buffer, Count))
        RaisePortError("Read data error");
    return true;
}

std::int32_t TAfCustomSerialPort::ReadData(void* Buffer, std::int32_t Count)
{
    if (FClosing)
        return 0;
    const std::int32_t read = FCore ? FCore->ReadData(Buffer, Count) : -1;
    if (read < 0)
        RaisePortError("Read data error");
    return read;
}

std::int32_t TAfCustomSerialPort::InputCount()
{
    if (!FCore)
        return 0;
    COMSTAT stat{};
    FCore->GetComStat(stat);
    return static_cast<std::int32_t>(stat.cbInQue);
}

std::int32_t TAfCustomSerialPort::OutputCount()
{
    return FCore ? FCore->OutputUsed() : 0;
}

std::int32_t TAfCustomSerialPort::OutputSpace()
{
    return FCore ? FCore->OutputFree() : 0;
}

void TAfCustomSerialPort::ClearInput()
{
    if (!FClosing && FCore)
        FCore->PurgeInput();
}

void TAfCustomSerialPort::ClearOutput()
{
    if (!FClosing && FCore)
        FCore->PurgeOutput();
}

void TAfCustomSerialPort::RaisePortError(const std::string& Msg)
{
    throw EAfComPortError(Msg + " - " + Name() + " ");
}

// ---- events: the event thread -------------------------------------------------------------------

void TAfCustomSerialPort::CoreEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error)
{
    if (FClosing || IsDestroying())
        return;
    if (EventKind == ceThreadException) {
        SyncCoreEvent(EventKind, Data, std::move(Error));
        return;
    }
    bool toInterface = true;
    {
        TDispatcherUse use(*this);
        if (use.Dispatcher())
            toInterface = RouteToDispatcher(*use.Dispatcher(), EventKind, Data);
    }
    if (const auto handler = OnNonSyncEvent.Get()) {
        (*handler)(this, EventKind, Data, nullptr);
        return;
    }
    if (toInterface)
        SyncCoreEvent(EventKind, Data, nullptr);
}

bool TAfCustomSerialPort::RouteToDispatcher(TAfDataDispatcher& Dispatcher, TAfCoreEvent EventKind, DWORD Data)
{
    switch (EventKind) {
    case ceOutputEmpty: {
        const bool wanted = OnOutBufFree.Assigned();
        Dispatcher.SignalOutputEmpty();
        return wanted;
    }
    case ceCommEvent:
        if ((Data & EV_RXCHAR) == 0)
            return true;
        PassToDispatcher(Dispatcher, InputCount());
        return (Data & ~EV_RXCHAR) != 0;
    case ceInputPending:
        PassToDispatcher(Dispatcher, static_cast<std::int32_t>(Data));
        return false;
    default:
        return true;
    }
}

void TAfCustomSerialPort::PassToDispatcher(TAfDataDispatcher& Dispatcher, std::int32_t Count)
{
    std::vector<std::uint8_t> block(static_cast<std::size_t>(Count > 0 ? Count : 0));
    // Nothing is read once a close has begun; the untouched block must not reach the dispatcher.
    if (TakeReceived(block.data(), Count))
        Dispatcher.WriteToBuffer(block.data(), Count);
}

void TAfCustomSerialPort::SyncCoreEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error)
{
    {
        std::lock_guard guard(FSyncLock);
        FSyncKind = EventKind;
        FSyncData = Data;
        FSyncError = std::move(Error);
    }
    if (NotifyReceiver(FSyncId, kHandOverMs))
        return;
    {
        std::lock_guard guard(FSyncLock);
        FSyncError = nullptr;
    }
    // The port is closing or the component going: the event is dropped without a word.
    throw EAbort();
}

// ---- events: the user-interface thread ----------------------------------------------------------

void TAfCustomSerialPort::SyncCallback()
{
    if (FClosing)
        return;
    TAfCoreEvent kind;
    DWORD data;
    std::exception_ptr error;
    {
        std::lock_guard guard(FSyncLock);
        kind = FSyncKind;
        data = FSyncData;
        error = std::exchange(FSyncError, nullptr);
    }
    HandleSyncEvent(kind, data, std::move(error));
}

void TAfCustomSerialPort::HandleSyncEvent(TAfCoreEvent EventKind, DWORD Data, std::exception_ptr Error)
{
    if (FClosing || IsDestroying())
        return;
    // Once a handler has closed or destroyed the port, nothing more of this event runs, and
    // nothing of a destroyed port is touched, not even a member function called.
    const TEventMark mark(*this);
    OnSyncEvent(this, EventKind, Data, Error);
    if (mark.Ended())
        return;
    switch (EventKind) {
    case ceOutputEmpty:
        OnOutBufFree(this);
        break;
    case ceCommEvent:
        if ((Data & EV_RXCHAR) != 0) {
            COMSTAT stat{};
            FCore->GetComStat(stat);
            OnDataRecived(this, static_cast<std::int32_t>(stat.cbInQue));
        }
        if (!mark.Ended())
            FireLineEvents(Data, mark);
        break;
    case ceInputPending:
        OnDataRecived(this, static_cast<std::int32_t>(Data));
        break;
    case ceThreadException:
        if (!Error)
            break;
        // The port's own error handler, or else the application's display (through the channel).
        if (const auto handler = OnError.Get())
            (*handler)(this, std::move(Error));
        else
            std::rethrow_exception(Error);
        break;
    }
}

void TAfCustomSerialPort::FireLineEvents(DWORD Mask, const TEventMark& Mark)
{
    if ((Mask & EV_ERR) != 0) {
        // Collects the errors the device flagged with this event, which no status query may
        // have picked up yet.
        COMSTAT stat{};
        FCore->GetComStat(stat);
    }
    const DWORD errors = FCore->TakeLineErrors();
    if ((Mask & EV_ERR) != 0 && !Mark.Ended())
        OnLineError(this, errors);
    if ((Mask & EV_CTS) != 0 && !Mark.Ended())
        OnCTSChanged(this);
    if ((Mask & EV_DSR) != 0 && !Mark.Ended())
        OnDSRChanged(this);
    if ((Mask & EV_RING) != 0 && !Mark.Ended())
        OnRINGDetected(this);
    if ((Mask & EV_RLSD) != 0 && !Mark.Ended())
        OnRLSDChanged(this);
}

// ---- TAfCustomComPort ----------------------------------------------------------------------------

TAfCustomComPort::TAfCustomComPort(TComponent* AOwner) : TAfCustomSerialPort(AOwner) {}

void TAfCustomComPort::SetComNumber(int Value)
{
    if (Value < 0 || Value > UINT16_MAX)
        RaisePortError("Invalid property value");
    if (Value == FComNumber)
        return;
    if (!IsPortOpen()) {
        FComNumber = static_cast<std::uint16_t>(Value);
        return;
    }
    const std::weak_ptr<const bool> alive = Alive();
    ClosePort();
    if (alive.expired())
        return; // OnPortClose destroyed the port
    FComNumber = static_cast<std::uint16_t>(Value);
    OpenPort();
}

void TAfCustomComPort::OpenDevice()
{
    Core()->Open(FComNumber);
}

bool TAfCustomComPort::ShowSettingsDialog()
{
    COMMCONFIG config{};
    DWORD size = sizeof config;
    // The short form also above COM9.
    const std::string name = "COM" + std::to_string(FComNumber);
    const BOOL read = IsPortOpen() ? GetCommConfig(Core()->Handle(), &config, &size)
                                   : GetDefaultCommConfigA(name.c_str(), &config, &size);
    config.dcb = DCB();
    config.dwSize = sizeof config;
    if (!read)
        return false;
    if (!CommConfigDialogA(name.c_str(), nullptr, &config))
        return false;
    SetFromDCB(config.dcb);
    return true;
}

} // namespace vexora::serial
