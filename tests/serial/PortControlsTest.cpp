// The port selection box on pseudo-terminals registered as COM 1, COM 3 and COM 10, with COM 5
// held by another open: its lists, the user's picks on a bound port, the drawing of the open
// list, and a bound port that goes away.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QTest>
#include <cstdlib>
#include <map>
#include <memory>

#include "AfPortControls.h"
#include "AfPtyPort.h"
#include "AfSafeSync.h"
#include "AfUtils.h"
#include "ComPortTestSupport.h"

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
        FBusy = OpenCom(5);
        ASSERT_NE(FBusy, INVALID_HANDLE_VALUE);
        SetApplicationExceptionHandler([this](std::exception_ptr Error) {
            try {
                std::rethrow_exception(Error);
            } catch (const std::exception& E) {
                FErrors.push_back(E.what());
            }
        });
    }
    void TearDown() override
    {
        SetApplicationExceptionHandler(nullptr);
        DisposeHandle(FBusy);
    }

    // COM 5's other program lets it go.
    void ReleaseBusy() { DisposeHandle(FBusy); }

    std::vector<std::string> Texts(const TAfPortComboBox& Box) const
    {
        std::vector<std::string> texts;
        for (int i = 0; i < Box.count(); ++i)
            texts.push_back(Box.itemText(i).toStdString());
        return texts;
    }
    int IndexOf(const TAfPortComboBox& Box, int Number) const
    {
        return Box.findText(QStringLiteral("COM %1").arg(Number));
    }

    // The user drops the list down, moves to COM <Number> and presses Enter.
    void Pick(TAfPortComboBox& Box, int Number)
    {
        if (!Box.isVisible())
            Box.show();
        const int index = IndexOf(Box, Number);
        ASSERT_GE(index, 0) << "COM " << Number << " is not listed";
        Box.showPopup();
        ASSERT_TRUE(Box.DroppedDown());
        Box.view()->setCurrentIndex(Box.model()->index(index, 0));
        QTest::keyClick(Box.view(), Qt::Key_Return);
        EXPECT_FALSE(Box.DroppedDown());
    }

    // The box shows one item, and it is the current port's.
    void ExpectConsistent(const TAfPortComboBox& Box) const
    {
        ASSERT_GE(Box.currentIndex(), 0);
        EXPECT_EQ(Box.ItemPortNumber(Box.currentIndex()), Box.CurrentPort());
        EXPECT_EQ(Box.currentText(), QStringLiteral("COM %1").arg(Box.CurrentPort()));
    }

    AfPtyPort FCom1{1};
    AfPtyPort FCom3{3};
    AfPtyPort FCom5{5};
    AfPtyPort FCom10{10};
    HANDLE FBusy = INVALID_HANDLE_VALUE;
    std::vector<std::string> FErrors;
};

// ---- lists ---------------------------------------------------------------------------------------

TEST_F(PortBoxTest, EachOptionSetListsItsPortsWithTheirProbedStates)
{
    const std::vector<std::string> all = {"COM 1",  "COM 2",  "COM 3",  "COM 4",  "COM 5",  "COM 6",
                                          "COM 7",  "COM 8",  "COM 9",  "COM 10", "COM 11", "COM 12",
                                          "COM 13", "COM 14", "COM 15", "COM 16"};
    const struct {
        TAfPortCtlOptions Options;
        std::vector<std::string> Listed;
    } cases[] = {
        {{pcCheckExist}, {"COM 1", "COM 3", "COM 5", "COM 10"}},
        {{pcCheckExist, pcDisableOpen}, {"COM 1", "COM 3", "COM 10"}},
        {{pcCheckExist, pcHighlightOpen}, {"COM 1", "COM 3", "COM 5", "COM 10"}},
        {{}, all},
        {{pcDisableOpen}, all},
    };
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "options " << int(c.Options.Bits()));
        box.SetOptions(c.Options);
        box.HandleNeeded();
        EXPECT_EQ(Texts(box), c.Listed);
        EXPECT_EQ(box.currentIndex(), -1) << "a fresh list has nothing selected";
        for (int i = 0; i < box.count(); ++i) {
            const int number = box.ItemPortNumber(i);
            const TAfPortState state = number == 5                                  ? psUnavailable
                                       : number == 1 || number == 3 || number == 10 ? psAvailable
                                                                                    : psNotFound;
            EXPECT_EQ(box.itemData(i).toUInt(), number + state * 65536u) << box.itemText(i).toStdString();
            EXPECT_EQ(box.ItemPortState(i), state);
        }
    }
    EXPECT_EQ(box.ItemPortNumber(-1), 0);
    EXPECT_EQ(box.ItemPortNumber(box.count()), 0);
}

TEST_F(PortBoxTest, NoNumberToProbeLeavesAnEmptyListAndNoCurrentPort)
{
    for (std::int16_t max : {0, -3}) {
        TAfPortComboBox box;
        box.SetMaxComPorts(max);
        box.SetCurrentPort(3);
        EXPECT_EQ(box.count(), 0) << max;
        EXPECT_EQ(box.CurrentPort(), 0) << max;
    }
}

TEST_F(PortBoxTest, AProbeOpensAndClosesAtOnceAndLeavesAHeldPortToItsHolder)
{
    EXPECT_EQ(GetComPortState(1), 1u + psAvailable * 65536u);
    EXPECT_EQ(GetComPortState(2), 2u + psNotFound * 65536u);
    EXPECT_EQ(GetComPortState(5), 5u + psUnavailable * 65536u);
    // Probed, COM 1 is free for the next open at once.
    HANDLE com1 = OpenCom(1);
    EXPECT_NE(com1, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetComPortState(1), 1u + psUnavailable * 65536u) << "now held";
    DisposeHandle(com1);
    // The failed probe of COM 5 left its holder's open intact: it still writes to the line.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(FBusy, "ok", 2, &written, nullptr));
    EXPECT_EQ(FCom5.Receive(2, 5000), (std::vector<std::uint8_t>{'o', 'k'}));
}

TEST_F(PortBoxTest, TheListIsBuiltWithTheWindowAndAnewOnEveryChangeThatAsksForIt)
{
    TAfPortComboBox box;
    box.SetOptions({pcCheckExist, pcDisableOpen});
    box.SetMaxComPorts(12);
    box.show(); // creates the window
    EXPECT_EQ(Texts(box), (std::vector<std::string>{"COM 1", "COM 3", "COM 10"}));
    ReleaseBusy();
    EXPECT_EQ(box.count(), 3) << "nothing watches the ports between builds";
    box.SetMaxComPorts(9);
    EXPECT_EQ(Texts(box), (std::vector<std::string>{"COM 1", "COM 3", "COM 5"}));

    // A font change builds the list anew, as a new window would, and sizes the items to it.
    HANDLE com3 = OpenCom(3);
    QFont font = box.font();
    font.setPixelSize(20);
    box.setFont(font);
    EXPECT_EQ(Texts(box), (std::vector<std::string>{"COM 1", "COM 5"}));
    EXPECT_EQ(box.ItemHeight(), 25);
    EXPECT_EQ(box.view()->sizeHintForRow(0), 25);
    DisposeHandle(com3);
}

// ---- picks on a bound port ---------------------------------------------------------------------

TEST_F(PortBoxTest, APickOpensThePortAndAnotherPickReopensItOnTheNewNumber)
{
    TAfComPort port(nullptr);
    TEventRecorder events;
    events.Attach(port);
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    std::vector<std::string> changes;
    box.OnChange = [&](TAfPortComboBox* Sender) {
        changes.push_back("COM " + std::to_string(Sender->CurrentPort()) +
                          (port.IsPortOpen() ? " open" : ""));
    };
    // COM 7 is not listed: the box shows its first item, and the port keeps its number.
    port.SetComNumber(7);
    box.SetComPort(&port);
    EXPECT_EQ(box.CurrentPort(), 1);
    ExpectConsistent(box);
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_FALSE(port.IsPortOpen());

    Pick(box, 3);
    ASSERT_TRUE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 3);
    ExpectConsistent(box);
    EXPECT_EQ(box.ItemPortState(box.currentIndex()), psUnavailable) << "rebuilt with COM 3 held";
    port.SendData("3", 1);
    EXPECT_EQ(FCom3.Receive(1, 5000), std::vector<std::uint8_t>{'3'});

    Pick(box, 10);
    ASSERT_TRUE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 10);
    ExpectConsistent(box);
    EXPECT_EQ(box.ItemPortState(IndexOf(box, 3)), psAvailable);
    port.SendData("A", 1);
    EXPECT_EQ(FCom10.Receive(1, 5000), std::vector<std::uint8_t>{'A'});
    EXPECT_TRUE(FCom3.Receive(1, 100).empty());
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"PortOpen", "PortClose", "PortOpen"}));

    // The same number again: nothing happens to the port, but the list is built anew.
    ReleaseBusy();
    Pick(box, 10);
    EXPECT_EQ(events.Count("Port"), 3u);
    EXPECT_TRUE(port.IsPortOpen());
    EXPECT_EQ(box.ItemPortState(IndexOf(box, 5)), psAvailable);
    ExpectConsistent(box);

    // OnChange comes first, before the port is touched.
    EXPECT_EQ(changes, (std::vector<std::string>{"COM 3", "COM 10 open", "COM 10 open"}));
    EXPECT_TRUE(FErrors.empty());
}

TEST_F(PortBoxTest, OnlyAChangeByTheUserPicks)
{
    TAfComPort port(nullptr);
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    box.SetComPort(&port);
    int changes = 0;
    box.OnChange = [&](TAfPortComboBox*) { ++changes; };

    box.SetItemIndex(IndexOf(box, 3));
    box.setCurrentIndex(IndexOf(box, 10));
    box.SetCurrentPort(3);
    EXPECT_EQ(changes, 0);
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 0);

    // The arrow key on the closed box picks the next item.
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(box.CurrentPort(), 5);
    EXPECT_EQ(port.ComNumber(), 5);
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(box.CurrentPort(), 10);
    EXPECT_TRUE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 10);
}

TEST_F(PortBoxTest, APickThatCannotOpenReportsTheErrorAndKeepsAConsistentSelection)
{
    TAfComPort port(nullptr);
    port.SetName("AfComPort1");
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    box.SetComPort(&port);

    // Held by another program.
    Pick(box, 5);
    EXPECT_EQ(FErrors, std::vector<std::string>{"Can't open device COM5"});
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 5);
    EXPECT_EQ(box.CurrentPort(), 5);
    ExpectConsistent(box);

    // Open on COM 1, the user picks the busy port: the port is closed on COM 1 and not opened.
    Pick(box, 1);
    ASSERT_TRUE(port.IsPortOpen());
    Pick(box, 5);
    EXPECT_EQ(FErrors.size(), 2u);
    EXPECT_FALSE(port.IsPortOpen());
    ExpectConsistent(box);
    HANDLE com1 = OpenCom(1);
    EXPECT_NE(com1, INVALID_HANDLE_VALUE) << "COM 1 was let go";
    DisposeHandle(com1);
}

TEST_F(PortBoxTest, AVanishedPortIsReportedAndTheBoxFallsBackToItsFirstItem)
{
    TAfComPort port(nullptr);
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    box.SetComPort(&port);
    auto com7 = std::make_unique<AfPtyPort>(7);
    box.show();
    ASSERT_GE(IndexOf(box, 7), 0);
    com7.reset(); // gone before the user picks it

    Pick(box, 7);
    ASSERT_EQ(FErrors.size(), 1u);
    EXPECT_EQ(FErrors[0], "Invalid port number (COM7)");
    EXPECT_FALSE(port.IsPortOpen());
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_EQ(IndexOf(box, 7), -1);
    EXPECT_EQ(box.CurrentPort(), 1);
    ExpectConsistent(box);
}

TEST_F(PortBoxTest, ABoxForgetsAPortThatIsDestroyedAndAPortOutlivesItsBox)
{
    TAfPortComboBox box;
    box.SetMaxComPorts(16);
    int changes = 0;
    box.OnChange = [&](TAfPortComboBox*) { ++changes; };
    {
        TAfComPort port(nullptr);
        box.SetComPort(&port);
        Pick(box, 3);
        EXPECT_TRUE(port.IsPortOpen());
    }
    EXPECT_EQ(box.ComPort(), nullptr);
    Pick(box, 10);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(box.CurrentPort(), 10);
    HANDLE com10 = OpenCom(10);
    EXPECT_NE(com10, INVALID_HANDLE_VALUE) << "an unbound pick opens nothing";
    DisposeHandle(com10);

    // The other way round: the port lives on after its box and is destroyed later.
    TAfComPort port(nullptr);
    {
        TAfPortComboBox other;
        other.SetComPort(&port);
        box.SetComPort(&port);
        box.SetComPort(nullptr);
    }
    EXPECT_EQ(box.ComPort(), nullptr);
}

// ---- drawing -------------------------------------------------------------------------------------

// The colour of an item's text as drawn: the pixel farthest from the item's background.
QColor TextColour(const QImage& Image, const QRect& Item, const QColor& Background)
{
    QColor farthest = Background;
    int distance = -1;
    for (int y = Item.top(); y <= Item.bottom(); ++y) {
        for (int x = Item.left(); x <= Item.right(); ++x) {
            const QColor c = Image.pixelColor(x, y);
            const int d = std::abs(c.red() - Background.red()) + std::abs(c.green() - Background.green()) +
                          std::abs(c.blue() - Background.blue());
            if (d > distance) {
                distance = d;
                farthest = c;
            }
        }
    }
    return farthest;
}

int Distance(const QColor& A, const QColor& B)
{
    return std::abs(A.red() - B.red()) + std::abs(A.green() - B.green()) + std::abs(A.blue() - B.blue());
}

TEST_F(PortBoxTest, HighlightTellsBusyFromFreeOnlyAmongTheUnselectedItemsOfTheOpenList)
{
    TAfPortComboBox box;
    QFont font = box.font();
    font.setPixelSize(24); // broad strokes, so that some pixels take the full text colour
    box.setFont(font);
    box.SetMaxComPorts(10);
    box.SetOptions({pcCheckExist, pcHighlightOpen});
    box.show();
    box.SetItemIndex(IndexOf(box, 1));
    const QPalette palette = box.view()->palette();
    const QColor grey = palette.color(QPalette::Disabled, QPalette::Text);
    const QColor free = palette.color(QPalette::Active, QPalette::ButtonText);
    ASSERT_GT(Distance(grey, free), 120);

    const auto colours = [&] {
        box.view()->setCurrentIndex(box.model()->index(box.currentIndex(), 0));
        const QImage image = box.view()->viewport()->grab().toImage();
        std::map<int, QColor> drawn;
        for (int i = 0; i < box.count(); ++i) {
            const QRect item = box.view()->visualRect(box.model()->index(i, 0));
            const bool selected = i == box.view()->currentIndex().row();
            drawn[box.ItemPortNumber(i)] = TextColour(
                image, item, selected ? palette.color(QPalette::Highlight) : palette.color(QPalette::Base));
        }
        return drawn;
    };
    const auto near = [](const QColor& Drawn, const QColor& Expected, const QColor& Other) {
        return Distance(Drawn, Expected) < Distance(Drawn, Other);
    };

    box.showPopup();
    auto drawn = colours();
    EXPECT_TRUE(near(drawn[5], grey, free)) << "busy COM 5 in grey";
    EXPECT_TRUE(near(drawn[3], free, grey)) << "free COM 3 in button text";
    EXPECT_TRUE(near(drawn[10], free, grey));
    EXPECT_TRUE(near(drawn[1], palette.color(QPalette::HighlightedText), grey)) << "the selected item";
    box.hidePopup();

    // With busy COM 5 selected, neither the open list nor the closed box shows it in grey.
    box.SetItemIndex(IndexOf(box, 5));
    box.showPopup();
    drawn = colours();
    EXPECT_FALSE(near(drawn[5], grey, palette.color(QPalette::HighlightedText)));
    box.hidePopup();

    // Drawn while the list is closed, every item keeps the normal colour.
    box.SetItemIndex(IndexOf(box, 1));
    drawn = colours();
    EXPECT_TRUE(near(drawn[5], palette.color(QPalette::Text), grey));

    // Without the option every item keeps the normal text colour.
    box.SetOptions({pcCheckExist});
    box.SetItemIndex(IndexOf(box, 1));
    box.showPopup();
    drawn = colours();
    EXPECT_TRUE(near(drawn[5], palette.color(QPalette::Text), grey));
    box.hidePopup();
}

} // namespace
