// The Qt application of the component tests; its main thread owns the notification channel.
#include <gtest/gtest.h>

#include "ComPortTestSupport.h"

namespace {

testing::Environment* const g_app =
    testing::AddGlobalTestEnvironment(new porttest::TAppEnvironment<QCoreApplication>);

} // namespace
