#include <vexora/serial/AfExceptions.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "Application.h"
#include "MessageBoxes.h"
#include "ToolkitTestApp.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Throws what it is told to from its event handler.
class TThrowingObject : public QObject {
public:
    std::function<void()> Throw;
    int Handled = 0;

    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User) {
            return QObject::event(e);
        }
        ++Handled;
        if (Throw) {
            Throw();
        }
        return true;
    }
};

class MessageBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestApp();
        TApplication::setApplicationName("Vexora");
    }
};

TEST_F(MessageBoxTest, BoxesCarryTheirCaptionKindAndText)
{
    TMessageRecorder recorder(TModalResult::mrNo);
    ShowMessage("DATA read error");
    EXPECT_FALSE(ConfirmYesNo("Reset?"));
    recorder.SetConfirmAnswer(TModalResult::mrYes);
    EXPECT_TRUE(ConfirmYesNo("Reset?"));
    ShowErrorMessage("bad");

    ASSERT_EQ(recorder.Requests().size(), 4u);
    EXPECT_EQ(recorder.Requests()[0].Kind, TMsgDlgType::mtInformation);
    EXPECT_EQ(recorder.Requests()[0].Caption, "Vexora");
    EXPECT_EQ(recorder.Requests()[0].Text, "DATA read error");
    EXPECT_EQ(recorder.Requests()[1].Kind, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(recorder.Requests()[1].Caption, "Confirm");
    EXPECT_EQ(recorder.Requests()[1].Text, "Reset?");
    EXPECT_EQ(recorder.Requests()[3].Kind, TMsgDlgType::mtError);
    EXPECT_EQ(recorder.Requests()[3].Caption, "Vexora");
}

TEST_F(MessageBoxTest, RecorderRestoresThePreviousHook)
{
    int outer = 0;
    TMessageHook previous = SetMessageHook([&](const TMessageRequest&) {
        ++outer;
        return TModalResult::mrOk;
    });
    {
        TMessageRecorder recorder;
        ShowMessage("inner");
        EXPECT_EQ(recorder.Requests().size(), 1u);
    }
    ShowMessage("outer");
    EXPECT_EQ(outer, 1);
    SetMessageHook(previous);
}

// The real boxes: a timer answers them the way a user would.
TEST_F(MessageBoxTest, RealConfirmationBoxOffersYesAndNo)
{
    for (const char* press : {"&Yes", "&No"}) {
        QStringList seen;
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            icon = box->icon();
            for (QAbstractButton* button : box->buttons()) {
                seen << button->text();
                if (button->text() == press) {
                    button->click();
                }
            }
        });
        const bool yes = ConfirmYesNo("Really?");
        EXPECT_EQ(yes, QString(press) == "&Yes");
        EXPECT_EQ(title, "Confirm");
        EXPECT_EQ(icon, QMessageBox::Question);
        seen.sort();
        EXPECT_EQ(seen, QStringList({"&No", "&Yes"}));
    }
}

TEST_F(MessageBoxTest, RealMessageBoxHasOneOkButtonAndTheTitle)
{
    QString title;
    qsizetype buttons = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        buttons = box->buttons().size();
        box->buttons().front()->click();
    });
    ShowMessage("Hello");
    EXPECT_EQ(title, "Vexora");
    EXPECT_EQ(buttons, 1);
}

TEST_F(MessageBoxTest, ExceptionFromAnEventHandlerIsShownAndTheProgramGoesOn)
{
    TMessageRecorder recorder;
    TThrowingObject target;
    target.Throw = [] { throw std::runtime_error("'x' is not a valid integer value"); };

    QEvent direct(QEvent::User);
    EXPECT_NO_THROW(QApplication::sendEvent(&target, &direct));
    QApplication::postEvent(&target, new QEvent(QEvent::User));
    QApplication::processEvents();

    EXPECT_EQ(target.Handled, 2);
    ASSERT_EQ(recorder.Requests().size(), 2u);
    for (const TMessageRequest& request : recorder.Requests()) {
        EXPECT_EQ(request.Kind, TMsgDlgType::mtError);
        EXPECT_EQ(request.Text, "'x' is not a valid integer value");
    }

    // Later events are handled as usual.
    target.Throw = nullptr;
    QApplication::sendEvent(&target, &direct);
    EXPECT_EQ(target.Handled, 3);
    EXPECT_EQ(recorder.Requests().size(), 2u);
}

TEST_F(MessageBoxTest, ExceptionFromAClickHandlerIsShownAndTheButtonStaysUsable)
{
    TMessageRecorder recorder;
    QPushButton button("Read");
    button.resize(75, 25);
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        throw std::runtime_error("Write data error");
    });
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    ASSERT_EQ(recorder.Requests().size(), 2u);
    EXPECT_EQ(recorder.Requests()[1].Text, "Write data error");
    EXPECT_FALSE(button.isDown());
}

TEST_F(MessageBoxTest, SilentAbortShowsNothingAndOtherThrowsShowAGenericText)
{
    TMessageRecorder recorder;
    TThrowingObject target;
    QEvent direct(QEvent::User);

    target.Throw = [] { throw EAbort(); };
    QApplication::sendEvent(&target, &direct);
    EXPECT_TRUE(recorder.Requests().empty());

    target.Throw = [] { throw 42; };
    QApplication::sendEvent(&target, &direct);
    ASSERT_EQ(recorder.Requests().size(), 1u);
    EXPECT_EQ(recorder.Requests()[0].Text, "Unknown error");
}

} // namespace
