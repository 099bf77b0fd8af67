// The port selection box on pseudo-terminals registered as COM 1, COM 3 and COM 10, with COM 5
// held by another open: its lists, the user's picks on a bound port, a bound port that goes away,
// and the drawing of the open list.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>

#include <vexora/serial/AfPortControls.h>
#include <vexora/serial/AfSafeSync.h>
#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"
#include "NetGateways.h"

using namespace porttest;

namespace {

const std::string kPortDir = AfTestPortDirectory();
testing::Environment* const g_app = testing::AddGlobalTestEnvironment(new TAppEnvironment<QApplication>);

HANDLE OpenCom(int Number)
{
    const std::string name = "COM" + std::to_string(Number);
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class PortBoxTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(FBusy, INVALID_HANDLE_VALUE);
        SetApplicationExceptionHandler([this](std::exception_ptr Error) {
            FErrors.push_back(ErrorOf([&] { std::rethrow_exception(Error); }));
        });
        FBox.SetMaxComPorts(16);
        FBox.show();
    }
    void TearDown() override
    {
        SetApplicationExceptionHandler(nullptr);
        DisposeHandle(FBusy);
    }

    int IndexOf(int Number) const { return FBox.findText(QStringLiteral("COM %1").arg(Number)); }
    // The user drops the list down, moves to COM <Number> and presses Enter.
    void Pick(int Number)
    {
        ASSERT_GE(IndexOf(Number), 0) << Number;
        FBox.showPopup();
        FBox.view()->setCurrentIndex(FBox.model()->index(IndexOf(Number), 0));
        QTest::keyClick(FBox.view(), Qt::Key_Return);
    }
    // The box shows one item, and it is the current port's.
    void ExpectConsistent() const
    {
        EXPECT_GE(FBox.currentIndex(), 0);
        EXPECT_EQ(FBox.currentText(), QStringLiteral("COM %1").arg(FBox.CurrentPort()));
    }

    AfPtyPort FCom1{1}, FCom5{5}, FCom10{10};
    std::unique_ptr<AfPtyPort> FCom3 = std::make_unique<AfPtyPort>(3), FCom7;
    HANDLE FBusy = OpenCom(5);
    std::vector<std::string> FErrors;
    TAfPortComboBox FBox;
};

TEST_F(PortBoxTest, ListsFollowTheOptionsAndCarryEachPortsProbedState)
{
    const auto state = [](int Number) {
        return Number == 5                                  ? psUnavailable
               : Number == 1 || Number == 3 || Number == 10 ? psAvailable
                                                            : psNotFound;
    };
    const std::vector<int> all = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const struct {
        TAfPortCtlOptions Options;
        std::vector<int> Listed;
    } cases[] = {{{pcCheckExist}, {1, 3, 5, 10}},
                 {{pcCheckExist, pcDisableOpen}, {1, 3, 10}},
                 {{}, all},
                 {{pcDisableOpen}, all}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Options.Bits()));
        FBox.SetOptions(c.Options);
        std::vector<int> listed;
        for (int i = 0; i < FBox.count(); ++i) {
            const int number = FBox.ItemPortNumber(i);
            listed.push_back(number);
            EXPECT_EQ(FBox.itemText(i), "COM " + QString::number(number));
            EXPECT_EQ(FBox.itemData(i).toUInt(), number + state(number) * 65536u);
            // The device behind the number, as the machine describes it.
            const std::map<int, const AfPtyPort*> ports = {
                {1, &FCom1}, {3, FCom3.get()}, {5, &FCom5}, {10, &FCom10}};
            const auto port = ports.find(number);
            EXPECT_EQ(FBox.itemData(i, Qt::ToolTipRole).toString().toStdString(),
                      port == ports.end() ? "" : port->second->DevicePath() + ", pseudo-terminal");
        }
        EXPECT_EQ(listed, c.Listed);
        EXPECT_EQ(FBox.currentIndex(), -1) << "a fresh list has nothing selected";
    }
    // Every probe of COM 5 failed without disturbing the program that holds it.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(FBusy, "ok", 2, &written, nullptr));
    EXPECT_EQ(FCom5.Receive(2, 5000), (std::vector<std::uint8_t>{'o', 'k'}));

    FBox.SetMaxComPorts(0);
    FBox.SetCurrentPort(3);
    EXPECT_EQ(FBox.count(), 0);
    EXPECT_EQ(FBox.CurrentPort(), 0);
}

TEST_F(PortBoxTest, APickOpensThePortAnotherReopensItOnTheNewNumberAndEveryPickRebuilds)
{
    TAfComPort port(nullptr);
    TEventRecorder events;
    events.Attach(port);
    std::vector<std::string> changes;
    FBox.OnChange = [&](TAfPortComboBox* Sender) {
        changes.push_back(std::to_string(Sender->CurrentPort()) + (port.IsPortOpen() ? " open" : ""));
    };
    port.SetComNumber(7); // not listed: the box shows its first item, the port keeps its number
    FBox.SetComPort(&port);
    EXPECT_EQ(FBox.CurrentPort(), 1);
    EXPECT_EQ(port.ComNumber(), 7);
    FBox.SetItemIndex(IndexOf(3)); // selections from code pick nothing
    FBox.setCurrentIndex(IndexOf(10));
    EXPECT_FALSE(port.IsPortOpen());

    Pick(3);
    ASSERT_TRUE(port.IsPortOpen());
    ExpectConsistent();
    EXPECT_EQ(FBox.ItemPortState(IndexOf(3)), psUnavailable) << "rebuilt with COM 3 held";
    port.SendData("3", 1);
    EXPECT_EQ(FCom3->Receive(1, 5000), std::vector<std::uint8_t>{'3'});

    Pick(10);
    ASSERT_TRUE(port.IsPortOpen());
    ExpectConsistent();
    EXPECT_EQ(FBox.ItemPortState(IndexOf(3)), psAvailable);
    port.SendData("A", 1);
    EXPECT_EQ(FCom10.Receive(1, 5000), std::vector<std::uint8_t>{'A'});
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"PortOpen", "PortClose", "PortOpen"}));

    DisposeHandle(FBusy);
    Pick(10); // the port is left alone, the list is built anew
    EXPECT_EQ(events.Count("Port"), 3u);
    EXPECT_EQ(FBox.ItemPortState(IndexOf(5)), psAvailable);
    EXPECT_EQ(changes, (std::vector<std::string>{"3", "10 open", "10 open"}));
    EXPECT_TRUE(FErrors.empty());
}

// A network port is listed as available, with its address as the tooltip, without a connection
// to its gateway; a pick connects to it.
TEST_F(PortBoxTest, ANetworkPortIsListedByItsAddressAndConnectedOnlyByAPick)
{
    TTcpPeer gateway(TTcpPeer::TBehaviour::Silent);
    const std::string address = gateway.Address("tcp://");
    AfRegisterTestCom(7, address);
    FBox.SetOptions({}); // the list is built again for the new entry
    FBox.SetOptions({pcCheckExist});
    ASSERT_GE(IndexOf(7), 0);
    EXPECT_EQ(FBox.ItemPortState(IndexOf(7)), psAvailable);
    EXPECT_EQ(FBox.itemData(IndexOf(7), Qt::ToolTipRole).toString().toStdString(), address);
    EXPECT_EQ(gateway.Accepted(), 0);

    TAfComPort port(nullptr);
    FBox.SetComPort(&port);
    Pick(7);
    EXPECT_TRUE(port.IsPortOpen());
    EXPECT_EQ(gateway.Accepted(), 1);
    port.ClosePort();
    AfUnregisterTestCom(7);
    EXPECT_TRUE(FErrors.empty());
}

TEST_F(PortBoxTest, APickThatCannotOpenReportsTheErrorAndLeavesAConsistentSelection)
{
    TAfComPort port(nullptr);
    FBox.SetComPort(&port);
    Pick(1);
    ASSERT_TRUE(port.IsPortOpen());
    Pick(5); // held by another program: COM 1 is let go, COM 5 does not open
    EXPECT_EQ(FErrors, std::vector<std::string>{"Can't open device COM5"});
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 5);
    EXPECT_EQ(FBox.CurrentPort(), 5);
    ExpectConsistent();
    HANDLE com1 = OpenCom(1);
    EXPECT_TRUE(DisposeHandle(com1));

    // A port that went away after the list was built is gone from the rebuilt list, and the box
    // falls back to its first item.
    auto com7 = std::make_unique<AfPtyPort>(7);
    FBox.SetMaxComPorts(8);
    com7.reset();
    Pick(7);
    ASSERT_EQ(FErrors.size(), 2u);
    EXPECT_EQ(FErrors[1], "Invalid port number (COM7)");
    EXPECT_EQ(IndexOf(7), -1);
    EXPECT_EQ(FBox.CurrentPort(), 1);
    ExpectConsistent();
}

TEST_F(PortBoxTest, ABoxForgetsAPortThatIsDestroyed)
{
    int changes = 0;
    FBox.OnChange = [&](TAfPortComboBox*) { ++changes; };
    {
        TAfComPort port(nullptr);
        FBox.SetComPort(&port);
        TAfPortComboBox other; // goes first: the port must not tell it later
        other.SetComPort(&port);
    }
    EXPECT_EQ(FBox.ComPort(), nullptr);
    Pick(10);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(FBox.CurrentPort(), 10);
    HANDLE com10 = OpenCom(10);
    EXPECT_TRUE(DisposeHandle(com10)) << "an unbound pick opens nothing";
}

// The colour an item's text is drawn in: the pixel farthest from the item's background.
int Distance(const QColor& A, const QColor& B)
{
    return std::abs(A.red() - B.red()) + std::abs(A.green() - B.green()) + std::abs(A.blue() - B.blue());
}
QColor TextColour(const QImage& Image, const QRect& Item, const QColor& Background)
{
    QColor farthest = Background;
    for (int y = Item.top(); y <= Item.bottom(); ++y)
        for (int x = Item.left(); x <= Item.right(); ++x)
            if (Distance(Image.pixelColor(x, y), Background) > Distance(farthest, Background))
                farthest = Image.pixelColor(x, y);
    return farthest;
}

TEST_F(PortBoxTest, BusyAndFreePortsAreToldApartOnlyAmongUnselectedItemsOfTheOpenList)
{
    HANDLE com3 = OpenCom(3);
    QFont font = FBox.font();
    font.setPixelSize(24); // broad strokes: some pixels take the full text colour
    FBox.setFont(font);
    EXPECT_EQ(FBox.ItemPortState(IndexOf(3)), psUnavailable) << "a new font builds the list anew";
    DisposeHandle(com3);
    EXPECT_EQ(FBox.ItemHeight(), 29);
    EXPECT_EQ(FBox.view()->sizeHintForRow(0), 29);
    FBox.SetMaxComPorts(10);
    FBox.SetOptions({pcCheckExist, pcHighlightOpen});
    const QPalette palette = FBox.view()->palette();
    const QColor grey = palette.color(QPalette::Disabled, QPalette::Text);
    const QColor free = palette.color(QPalette::Active, QPalette::ButtonText);
    ASSERT_GT(Distance(grey, free), 120);
    // Whether each port's text is nearer the grey than its normal colour.
    const auto greyed = [&] {
        FBox.view()->setCurrentIndex(FBox.model()->index(FBox.currentIndex(), 0));
        const QImage image = FBox.view()->viewport()->grab().toImage();
        std::map<int, bool> drawn;
        for (int i = 0; i < FBox.count(); ++i) {
            const bool selected = i == FBox.currentIndex();
            const QColor text = TextColour(image, FBox.view()->visualRect(FBox.model()->index(i, 0)),
                                           palette.color(selected ? QPalette::Highlight : QPalette::Base));
            const QColor normal = selected ? palette.color(QPalette::HighlightedText) : free;
            drawn[FBox.ItemPortNumber(i)] = Distance(text, grey) < Distance(text, normal);
        }
        return drawn;
    };
    const std::map<int, bool> onlyFive = {{1, false}, {3, false}, {5, true}, {10, false}};
    const std::map<int, bool> none = {{1, false}, {3, false}, {5, false}, {10, false}};

    FBox.SetItemIndex(IndexOf(1));
    FBox.showPopup();
    EXPECT_EQ(greyed(), onlyFive);
    FBox.SetItemIndex(IndexOf(5)); // selected, COM 5 keeps the selection's colour
    EXPECT_EQ(greyed(), none);
    FBox.hidePopup();
    FBox.SetItemIndex(IndexOf(1)); // the list closed
    EXPECT_EQ(greyed(), none);
    FBox.SetOptions({pcCheckExist});
    FBox.SetItemIndex(IndexOf(1));
    FBox.showPopup();
    EXPECT_EQ(greyed(), none);
    FBox.hidePopup();
}

// With the watch on, a port that appears in or leaves the port directory is listed or dropped
// without a pick or a restart, the current port stays selected while it is listed and is selected
// again once it is back; nothing is left to run while nothing changes.
TEST_F(PortBoxTest, AWatchingBoxFollowsThePortDirectoryAndKeepsTheCurrentPort)
{
    EXPECT_FALSE(FBox.WatchPorts()) << "off unless asked for";
    FBox.SetWatchPorts(true);
    FBox.SetCurrentPort(3);
    const auto listed = [this] {
        std::vector<int> numbers;
        for (int i = 0; i < FBox.count(); ++i)
            numbers.push_back(FBox.ItemPortNumber(i));
        return numbers;
    };
    const auto selected = [this] { return FBox.ItemPortNumber(FBox.currentIndex()); };
    EXPECT_EQ(listed(), (std::vector<int>{1, 3, 5, 10}));
    const struct {
        const char* Step;
        std::function<void()> Change;
        std::vector<int> Listed;
        int Selected; // 0: none
    } steps[] = {
        {"COM 7 appears", [this] { FCom7 = std::make_unique<AfPtyPort>(7); }, {1, 3, 5, 7, 10}, 3},
        {"the current port goes", [this] { FCom3.reset(); }, {1, 5, 7, 10}, 0},
        {"an entry that names nothing",
         [] { AfRegisterTestCom(3, "/dev/pts/no-such-terminal"); },
         {1, 5, 7, 10},
         0},
        {"the current port is back", [this] { FCom3 = std::make_unique<AfPtyPort>(3); }, {1, 3, 5, 7, 10}, 3},
        {"the terminal behind an entry goes", [this] { FCom7->CloseFarEnd(); }, {1, 3, 5, 10}, 3},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        step.Change();
        EXPECT_TRUE(PumpUntil([&] { return listed() == step.Listed; }, 5000));
        EXPECT_EQ(listed(), step.Listed);
        EXPECT_EQ(selected(), step.Selected);
        EXPECT_EQ(FBox.CurrentPort(), 3);
        // Settled: the same list, no timer left running, nothing to wake the box until the next
        // change.
        PumpFor(300);
        EXPECT_EQ(listed(), step.Listed);
        for (const QTimer* timer : FBox.findChildren<QTimer*>())
            EXPECT_FALSE(timer->isActive());
    }
    // A change while the list is dropped down waits until it closes.
    FBox.showPopup();
    FCom7.reset();
    AfPtyPort com8(8);
    PumpFor(300);
    EXPECT_EQ(listed(), (std::vector<int>{1, 3, 5, 10}));
    FBox.hidePopup();
    EXPECT_TRUE(PumpUntil([&] { return listed() == std::vector<int>{1, 3, 5, 8, 10}; }, 5000));
    EXPECT_EQ(selected(), 3);
    FBox.SetWatchPorts(false);
    AfPtyPort com9(9);
    PumpFor(300);
    EXPECT_EQ(listed(), (std::vector<int>{1, 3, 5, 8, 10})) << "no watch, no rebuild";
}

} // namespace
