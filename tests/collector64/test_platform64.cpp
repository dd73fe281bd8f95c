#include <windows.h>

#include <gtest/gtest.h>

// The collector's tests run as a native 64-bit process.
TEST(Platform64, RunsAsNative64BitProcess) {
    EXPECT_EQ(sizeof(void*), 8u);
    BOOL wow64 = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64);
}
