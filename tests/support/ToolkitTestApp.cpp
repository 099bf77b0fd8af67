#include "ToolkitTestApp.h"

#include "Application.h"

#include <gtest/gtest.h>

namespace {

int gArgc = 1;
char gName[] = "vexora-test";
char* gArgv[] = {gName, nullptr};
TApplication* gApplication = nullptr;

// Creates the application before the first test, so fixtures may hold widgets as members, and
// ends it after the last one, while the rest of the program is still intact.
class TTestAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override { TestApp(); }
    void TearDown() override
    {
        delete gApplication;
        gApplication = nullptr;
    }
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TTestAppEnvironment);

} // namespace

TApplication& TestApp()
{
    if (gApplication == nullptr) {
        // Widgets are tested without a display unless a platform is chosen explicitly.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        gApplication = new TApplication(gArgc, gArgv);
    }
    return *gApplication;
}
