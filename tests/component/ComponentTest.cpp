// The component base: ownership, names, free notification and the two state flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <vexora/serial/AfComponent.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

// Logs its notifications and its own end.
class TLoggingComponent : public TComponent {
public:
    TLoggingComponent(TComponent* AOwner, std::string AName, std::vector<std::string>& Log)
        : TComponent(AOwner), FLog(Log)
    {
        SetName(AName);
    }
    ~TLoggingComponent() override
    {
        const bool marked = IsDestroying();
        Destroying();
        FLog.push_back("end " + Name() + (marked ? " (marked)" : ""));
        DestroyComponents();
    }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override
    {
        FLog.push_back(Name() + (Operation == opInsert ? " +" : " -") + AComponent->Name());
    }

private:
    std::vector<std::string>& FLog;
};

TEST(ComponentTest, OwnerDestroysItsComponentsLastFirstAndTellsTheSubscribers)
{
    std::vector<std::string> log;
    auto* form = new TLoggingComponent(nullptr, "Form1", log);
    auto* first = new TLoggingComponent(form, "First", log);
    new TLoggingComponent(form, "Second", log);
    TLoggingComponent watcher(nullptr, "Watcher", log);
    first->FreeNotification(&watcher);
    first->FreeNotification(&watcher); // asking twice is asking once
    EXPECT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(form->FindComponent("First"), first);
    EXPECT_EQ(first->Owner(), form);

    log.clear();
    delete form;
    // The owner marks all its components before the first goes.
    EXPECT_EQ(log, (std::vector<std::string>{"end Form1", "end Second (marked)", "Form1 -Second",
                                             "end First (marked)", "Watcher -First", "Form1 -First"}));
}

TEST(ComponentTest, NamesAreUniqueAmongOneOwnersComponents)
{
    std::vector<std::string> log;
    TComponent form(nullptr);
    TLoggingComponent a(&form, "AfComPort1", log);
    TLoggingComponent b(&form, "", log);
    EXPECT_THROW(b.SetName("AfComPort1"), EComponentError);
    EXPECT_EQ(b.Name(), "");
    TComponent other(nullptr);
    TLoggingComponent d(&other, "AfComPort1", log);
    EXPECT_THROW(form.InsertComponent(&d), EComponentError);
    EXPECT_EQ(d.Owner(), &other) << "a refused move leaves the component where it was";
}

TEST(ComponentTest, DesignModePassesToNewAndOwnedComponents)
{
    TComponent form(nullptr);
    TComponent early(&form);
    form.SetDesigning(true);
    TComponent late(&form);
    EXPECT_TRUE(early.Designing());
    EXPECT_TRUE(late.Designing());
    EXPECT_FALSE(late.IsDestroying());
    form.SetDesigning(false);
    EXPECT_FALSE(late.Designing());
    EXPECT_EQ(late.ComponentState(), 0);
}

} // namespace
