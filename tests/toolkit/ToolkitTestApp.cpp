#include "ToolkitTestApp.h"

#include "Application.h"

#include <gtest/gtest.h>

TApplication& TestApp()
{
    static int argc = 1;
    static char name[] = "vexora-test";
    static char* argv[] = {name, nullptr};
    static TApplication application(argc, argv);
    return application;
}

namespace {

// Creates the application before the first test, so fixtures may hold widgets as members.
class TTestAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override { TestApp(); }
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TTestAppEnvironment);

} // namespace
