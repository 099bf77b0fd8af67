#include "CliCommands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <unistd.h>

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfComMapping.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "CliCommandLine.h"
#include "CliHost.h"
#include "FloatFormat.h"
#include "ImpOutText.h"
#include "MBusLink.h"
#include "MBusState.h"
#include "MeterOperations.h"
#include "StrToFloat.h"

namespace {

// The port cannot be found.
class EPortNotFound : public Exception {
public:
    using Exception::Exception;
};

constexpr std::int32_t kDefaultBaud = 2400;
constexpr std::int32_t kDefaultAddr = 1;

// The COM number of the running command's port, and the device it named as the command began,
// for the hint after a port error; 0 and empty before.
int g_comNumber = 0;
std::string g_device;

// The seven values of "Write", each where it is known.
struct TMeterValues {
    std::optional<std::int32_t> Q4mA;
    std::optional<std::int32_t> Q20mA;
    std::optional<double> ImpOut;
    std::optional<std::int32_t> Address;
    std::optional<std::int32_t> Baud;
    std::optional<bool> EmptyTube;
    std::optional<std::int32_t> PulseWidth;

    bool Complete() const { return Q4mA && Q20mA && ImpOut && Address && Baud && EmptyTube && PulseWidth; }
    bool Empty() const
    {
        return !Q4mA && !Q20mA && !ImpOut && !Address && !Baud && !EmptyTube && !PulseWidth;
    }
    // Takes every value Other knows; Over: also over the values known here.
    void Take(const TMeterValues& Other, bool Over)
    {
        const auto take = [Over](auto& mine, const auto& theirs) {
            if (theirs && (Over || !mine))
                mine = theirs;
        };
        take(Q4mA, Other.Q4mA);
        take(Q20mA, Other.Q20mA);
        take(ImpOut, Other.ImpOut);
        take(Address, Other.Address);
        take(Baud, Other.Baud);
        take(EmptyTube, Other.EmptyTube);
        take(PulseWidth, Other.PulseWidth);
    }
};

// The port of one command, the component set up as the window's, and the operations on it.
struct TSession {
    explicit TSession(bool Confirmed) : Host(::isatty(STDERR_FILENO) != 0, Confirmed)
    {
        Port.SetName("AfComPort1");
        Port.SetParity(paEven);
        Port.Loaded();
    }

    TAfComPort Port{nullptr};
    TMBusState MBusState; // the telegram buffer, the scale codes, the last error text
    TMBusLink Link{Port, MBusState.TelegramBuf};
    TCliHost Host;
    TMeterOperations Operations{Link, Host, MBusState};
};

std::string Text(const QString& Value)
{
    return Value.toStdString();
}

void Print(const std::string& Line)
{
    std::fputs((Line + "\n").c_str(), stdout);
}

void PrintJson(const QJsonDocument& Document)
{
    std::fputs(Document.toJson(QJsonDocument::Indented).constData(), stdout);
}

// ---- the link options

std::int32_t PositiveBaud(const std::string& Value)
{
    const std::int32_t baud = ParseInteger(Value);
    if (baud <= 0)
        throw ERefusedInput("'" + Value + "' is not a baud rate");
    return baud;
}

std::int32_t LinkBaud(const TCliRequest& Request)
{
    const auto value = Request.Value("baud");
    return value ? PositiveBaud(*value) : kDefaultBaud;
}

std::int32_t LinkAddr(const TCliRequest& Request)
{
    const auto value = Request.Value("addr");
    return value ? ParseInteger(*value) : kDefaultAddr;
}

// --port: a device path or a network port's address (anything with a slash) or a COM number, "3",
// "COM3" or "COM 3".
int ComNumberOf(const std::string& Port)
{
    if (Port.find('/') != std::string::npos) {
        const int number = AfComNumberForDevice(Port);
        if (number == 0)
            throw EPortNotFound(Port + ": no such device");
        return number;
    }
    std::string digits = Port;
    if (QString::fromStdString(Port).startsWith(QStringLiteral("COM"), Qt::CaseInsensitive))
        digits.erase(0, 3);
    std::int32_t number = 0;
    try {
        number = ParseInteger(digits);
    } catch (const EConvertError&) {
    }
    if (number <= 0 || number > UINT16_MAX)
        throw ERefusedInput(
            "'" + Port +
            "' is not a COM number, a device path or a network port (rfc2217://host:port, tcp://host:port)");
    return number;
}

void UsePort(TSession& Session, const TCliRequest& Request)
{
    g_comNumber = ComNumberOf(*Request.Value("port"));
    g_device = ComPortDevicePath(g_comNumber);
    Session.Port.SetComNumber(static_cast<std::uint16_t>(g_comNumber));
}

// What may help after a port error: where the COM number leads and who may open it.
void PortHint(TCliHost& Host)
{
    if (g_comNumber <= 0)
        return;
    const std::string device = ComPortDevicePath(g_comNumber);
    const std::string com = "COM" + std::to_string(g_comNumber);
    if (!g_device.empty() && !AfIsNetworkPort(g_device) && ::access(g_device.c_str(), F_OK) != 0) {
        // It went during the command: an adapter pulled out.
        Host.Say(com + " was " + g_device + ", which is no longer there");
        return;
    }
    if (device.empty()) {
        Host.Say(com + " names no device; 'vexora-cli ports' lists the COM numbers");
        return;
    }
    const AfComPortInfo info = AfDescribeSerialDevice(device);
    Host.Say(com + " is " + AfComPortSummary(info) + (info.Problem.empty() ? "" : ": " + info.Problem));
    if (!info.AccessGroup.empty())
        Host.Say(AfComPortAccessNote(info) + " (sudo usermod -aG " + info.AccessGroup +
                 " \"$USER\", then log in again)");
}

// ---- the meter's values

// The values as the window shows them after a read: the pulse constant as its text reads, the
// pulse width clamped into its field.
TMeterValues ValuesRead(const TMBusUserData& Data)
{
    return {Data.Q4mA,
            Data.Q20mA,
            StrToFloat(ImpOutText(Data)),
            Data.Address,
            Data.Baud,
            Data.TestEmptyTube,
            std::min(Data.PulseWidth, ConfigPulseWidthMax)};
}

TMeterValues ValuesFromOptions(const TCliRequest& Request)
{
    TMeterValues values;
    const auto integer = [&](const char* Name, std::optional<std::int32_t>& Value) {
        if (const auto text = Request.Value(Name))
            Value = ParseInteger(*text);
    };
    integer("q4ma", values.Q4mA);
    integer("q20ma", values.Q20mA);
    if (const auto text = Request.Value("imp-out"))
        values.ImpOut = ParseFloat(*text);
    integer("address", values.Address);
    integer("meter-baud", values.Baud);
    if (const auto text = Request.Value("empty-tube"))
        values.EmptyTube = ParseYesNo(*text);
    integer("pulse-width", values.PulseWidth);
    return values;
}

std::string JsonText(const QJsonValue& Value)
{
    if (Value.isString())
        return Text(Value.toString());
    QJsonArray wrapped{Value};
    const QByteArray text = QJsonDocument(wrapped).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2).toStdString();
}

// The values of a saved read (read --json): the keys are the names of write's options, and any
// other key is left alone.
TMeterValues ValuesFromFile(const std::string& Path)
{
    QFile file(QString::fromStdString(Path));
    if (!file.open(QIODevice::ReadOnly))
        throw ERefusedInput(Path + ": " + Text(file.errorString()));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject())
        throw ERefusedInput(
            Path + ": not the JSON of a read" +
            (error.error != QJsonParseError::NoError ? " (" + Text(error.errorString()) + ")" : ""));
    const QJsonObject object = document.object();
    TMeterValues values;
    const auto integer = [&](const char* Name, std::optional<std::int32_t>& Value) {
        const QJsonValue json = object.value(QLatin1String(Name));
        if (json.isUndefined())
            return;
        const double number = json.toDouble(NAN);
        if (!json.isDouble() || number != std::trunc(number) || std::fabs(number) > INT32_MAX)
            throw EConvertError("'" + JsonText(json) + "' is not a valid integer value");
        Value = static_cast<std::int32_t>(number);
    };
    integer("q4ma", values.Q4mA);
    integer("q20ma", values.Q20mA);
    if (const QJsonValue json = object.value("imp-out"); !json.isUndefined())
        values.ImpOut = json.isDouble() ? json.toDouble() : ParseFloat(JsonText(json));
    integer("address", values.Address);
    integer("meter-baud", values.Baud);
    if (const QJsonValue json = object.value("empty-tube"); !json.isUndefined())
        values.EmptyTube = json.isBool() ? json.toBool() : ParseYesNo(JsonText(json));
    integer("pulse-width", values.PulseWidth);
    return values;
}

TUserDataFields Fields(const TMeterValues& Values)
{
    return {*Values.Q4mA, *Values.Q20mA,     *Values.ImpOut,    *Values.Address,
            *Values.Baud, *Values.EmptyTube, *Values.PulseWidth};
}

std::string PulseWidthMs(std::int32_t Code)
{
    return Text(FloatToStrGeneral(Code * 1.66 + 1, 15));
}

// The values of a read, scaled with Codes. At Addr 254 whichever meter is on the line answers:
// the address it answered at is shown too.
void PrintRead(const TMBusUserData& Data, TMBusScaleCodes Codes, std::int32_t Addr, std::int32_t Baud,
               bool Json)
{
    const TMeterValues values = ValuesRead(Data);
    const bool anyMeter = Addr == MBusPointToPointAddr;
    if (Json) {
        const QJsonObject units{
            {"q4ma", "l/h"}, {"q20ma", "l/h"}, {"imp-out", "Imp/l"}, {"pulse-width-ms", "ms"}};
        QJsonObject read{
            {"addr", Addr},
            {"baud", Baud},
            {"q4ma", *values.Q4mA},
            {"q20ma", *values.Q20mA},
            {"imp-out", *values.ImpOut},
            {"address", *values.Address},
            {"meter-baud", *values.Baud},
            {"empty-tube", *values.EmptyTube},
            {"pulse-width", *values.PulseWidth},
            {"pulse-width-ms", ParseFloat(PulseWidthMs(*values.PulseWidth))},
            {"flow-scale-code", static_cast<int>(Codes.FlowScaleCode)},
            {"pulse-scale-code", static_cast<int>(Codes.PulseScaleCode)},
            {"units", units},
        };
        if (anyMeter)
            read.insert("answered-addr", Data.AnsweredAddr);
        PrintJson(QJsonDocument(read));
        return;
    }
    const auto line = [](std::string_view Caption, const std::string& Value) {
        Print(std::string(Caption) + std::string(17 - Caption.size(), ' ') + Value);
    };
    line("Q 4mA", std::to_string(*values.Q4mA) + " l/h");
    line("Q 20mA", std::to_string(*values.Q20mA) + " l/h");
    line(CaptionImpOut, Text(ImpOutText(Data)) + " Imp/l");
    line(CaptionAddress, std::to_string(*values.Address));
    line(CaptionBaud, std::to_string(*values.Baud));
    line("Test empty tube", *values.EmptyTube ? "Yes" : "No");
    line(CaptionPulseWidth,
         std::to_string(*values.PulseWidth) + " (" + PulseWidthMs(*values.PulseWidth) + "ms)");
    line("Scale codes",
         "flow " + std::to_string(Codes.FlowScaleCode) + ", pulse " + std::to_string(Codes.PulseScaleCode));
    if (anyMeter)
        line("Answered at Addr", std::to_string(Data.AnsweredAddr));
}

int StatusOf(TOperationResult Result)
{
    switch (Result) {
    case TOperationResult::orDone:
        return esDone;
    case TOperationResult::orRefused:
        return esRefused;
    default:
        return esNoAnswer;
    }
}

// A read of the meter's user data; null (said why) when it gave none.
const TMBusUserData* ReadUserData(TSession& Session, std::int32_t Addr, std::int32_t Baud, int& Status)
{
    Status = StatusOf(Session.Operations.Read(Addr, Baud));
    if (Status != esDone)
        return nullptr;
    if (!Session.Host.UserData()) {
        // Acknowledged, but the user data did not decode (the decoder said why).
        Session.Host.Say(MsgDataReadError);
        Status = esNoAnswer;
        return nullptr;
    }
    return &*Session.Host.UserData();
}

// ---- the commands

int Read(TSession& Session, const TCliRequest& Request)
{
    const std::int32_t baud = LinkBaud(Request);
    const std::int32_t addr = LinkAddr(Request);
    UsePort(Session, Request);
    int status = esDone;
    const TMBusUserData* data = ReadUserData(Session, addr, baud, status);
    if (!data)
        return status;
    PrintRead(*data, Session.MBusState.ScaleCodes, addr, baud, Request.Has("json"));
    return esDone;
}

int Write(TSession& Session, const TCliRequest& Request)
{
    const std::int32_t baud = LinkBaud(Request);
    const std::int32_t addr = LinkAddr(Request);
    TMeterValues values;
    if (const auto path = Request.Value("from"))
        values = ValuesFromFile(*path);
    values.Take(ValuesFromOptions(Request), true);
    if (values.Empty())
        throw EUsageError("write needs a value to write, or --from FILE");
    // What the window refuses, before anything is sent; values read from the meter fit.
    TMeterOperations& operations = Session.Operations;
    if (!operations.CheckAddrInRange(addr) ||
        (values.Address && !operations.CheckInRange(CaptionAddress, *values.Address, ConfigAddressMax)) ||
        (values.Baud && !operations.CheckInRange(CaptionBaud, *values.Baud, ConfigBaudMax)) ||
        (values.PulseWidth &&
         !operations.CheckInRange(CaptionPulseWidth, *values.PulseWidth, ConfigPulseWidthMax)))
        return esRefused;
    if (addr == MBusBroadcastAddr) {
        const std::string_view broadcast = MsgConfirmBroadcast.substr(0, MsgConfirmBroadcast.find('\n'));
        if (!Request.Has("broadcast")) {
            Session.Host.Say(std::string(broadcast) + ": --broadcast writes to every meter on the line");
            return esRefused;
        }
        if (!values.Complete()) {
            Session.Host.Say(std::string(broadcast) + ": no meter answers, so every value must be given");
            return esRefused;
        }
    }
    UsePort(Session, Request);
    if (!values.Complete()) {
        int status = esDone;
        const TMBusUserData* data = ReadUserData(Session, addr, baud, status);
        if (!data)
            return status;
        values.Take(ValuesRead(*data), false);
    }
    return StatusOf(operations.Write(addr, baud, Fields(values)));
}

int Reset(TSession& Session, const TCliRequest& Request)
{
    const std::int32_t baud = LinkBaud(Request);
    const std::int32_t addr = LinkAddr(Request);
    if (!Request.Has("yes")) {
        Session.Host.Say("the reset clears the meter's main volume counter: --yes does it");
        return esRefused;
    }
    UsePort(Session, Request);
    return StatusOf(Session.Operations.Reset(addr, baud));
}

int Scan(TSession& Session, const TCliRequest& Request)
{
    std::vector<std::int32_t> bauds{kDefaultBaud};
    if (const auto list = Request.Value("baud")) {
        bauds.clear();
        for (const std::int32_t baud : ParseIntegerList(*list))
            bauds.push_back(PositiveBaud(std::to_string(baud)));
    }
    const auto from = Request.Value("from");
    const auto to = Request.Value("to");
    const std::int32_t first = from ? ParseInteger(*from) : 0;
    const std::int32_t last = to ? ParseInteger(*to) : MBusMaxPrimaryAddr;
    const bool json = Request.Has("json");
    Session.Host.SetQuiet(json);
    UsePort(Session, Request);
    const TOperationResult result = Session.Operations.Scan(bauds, first, last);
    if (json && result != TOperationResult::orRefused) {
        QJsonArray meters;
        for (const auto& meter : Session.Host.Found())
            meters.append(QJsonObject{{"addr", meter.Addr}, {"baud", meter.Baud}});
        PrintJson(QJsonDocument(meters));
    }
    if (result == TOperationResult::orFailed)
        Session.Host.Say("no meter answered");
    return StatusOf(result);
}

int Ports(const TCliRequest& Request)
{
    const std::vector<AfComPortInfo> ports = AfListComPorts();
    if (Request.Has("json")) {
        QJsonArray list;
        for (const AfComPortInfo& port : ports) {
            QJsonObject entry{{"com", port.Number}, {"device", QString::fromStdString(port.Device)}};
            const auto add = [&entry](const char* Key, const std::string& Value) {
                if (!Value.empty())
                    entry.insert(QLatin1String(Key), QString::fromStdString(Value));
            };
            add("driver", port.Driver);
            add("manufacturer", port.Manufacturer);
            add("product", port.Product);
            add("serial", port.SerialNumber);
            add("usb-id", port.UsbId);
            add("access-group", port.AccessGroup);
            list.append(entry);
        }
        PrintJson(QJsonDocument(list));
        return esDone;
    }
    if (ports.empty())
        std::fputs("vexora-cli: no serial port found\n", stderr);
    for (const AfComPortInfo& port : ports) {
        Print("COM " + std::to_string(port.Number) + "  " + AfComPortSummary(port));
        if (!port.AccessGroup.empty())
            Print("       " + AfComPortAccessNote(port) + " (sudo usermod -aG " + port.AccessGroup +
                  " \"$USER\", then log in again)");
    }
    return esDone;
}

int Run(const TCliRequest& Request, TSession& Session)
{
    if (Request.Command == "read")
        return Read(Session, Request);
    if (Request.Command == "write")
        return Write(Session, Request);
    if (Request.Command == "reset")
        return Reset(Session, Request);
    return Scan(Session, Request);
}

} // namespace

int RunCli(const std::vector<std::string>& Args)
{
    TCliHost say(false, false); // for what comes before a command runs
    try {
        const TCliRequest request = ParseCommandLine(Args);
        if (request.Command == "help") {
            std::fputs(UsageText().c_str(), stdout);
            return esDone;
        }
        if (request.Command == "ports")
            return Ports(request);
        TSession session(request.Has("broadcast"));
        // A failure the port reports on its own (its device or connection went away during the
        // command) is said as any port error, and the command ends as one.
        bool portFailed = false;
        SetApplicationExceptionHandler([&session, &portFailed](std::exception_ptr Error) {
            portFailed = true;
            try {
                std::rethrow_exception(Error);
            } catch (const std::exception& error) {
                session.Host.Say(error.what());
            }
        });
        struct THandlerReset {
            ~THandlerReset() { SetApplicationExceptionHandler(nullptr); }
        } handlerReset;
        try {
            const int status = Run(request, session);
            if (!portFailed)
                return status;
            PortHint(session.Host);
            return esPortError;
        } catch (const EConvertError&) {
            throw;
        } catch (const Exception& error) {
            session.Host.Say(error.what());
            PortHint(session.Host);
            return esPortError;
        }
    } catch (const EUsageError& error) {
        say.Say(error.what());
        say.Say("'vexora-cli --help' shows the commands and their options");
        return esUsage;
    } catch (const EConvertError& error) {
        say.Say(error.what());
        return esRefused;
    } catch (const ERefusedInput& error) {
        say.Say(error.what());
        return esRefused;
    } catch (const std::exception& error) {
        say.Say(error.what());
        return esPortError;
    }
}
