// The serial component's handle release.
#include <gtest/gtest.h>

#include <vexora/serial/AfUtils.h>
#include <vexora/serial/platform/AfGlobalNames.h>

namespace {

TEST(DisposeHandle, ClosesOnceAndMarksTheVariable)
{
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE const original = handle;
    EXPECT_TRUE(DisposeHandle(handle));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(original, 0), WAIT_FAILED) << "the handle was really closed";

    EXPECT_FALSE(DisposeHandle(handle)) << "nothing to close";
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);

    HANDLE stale = original;
    EXPECT_FALSE(DisposeHandle(stale)) << "a failed close";
    EXPECT_EQ(stale, original) << "the variable keeps a handle that could not be closed";
}

} // namespace
