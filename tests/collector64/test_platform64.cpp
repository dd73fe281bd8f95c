#include <windows.h>

#include <gtest/gtest.h>

#include "ManifestChecks.h"
#include "TestFiles.h"

// The collector's tests run as a native 64-bit process.
TEST(Platform64, RunsAsNative64BitProcess) {
    EXPECT_EQ(sizeof(void*), 8u);
    BOOL wow64 = TRUE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64);
}

// The collector carries the same application manifest as Vistrel.exe.
TEST(Platform64, CollectorDeclaresInvokerAndEveryWindowsVersion) {
    for (const wchar_t* exe : {L"Vistrel64.exe", L"release\\Vistrel64.exe"}) {
        const std::wstring path = TestBinaryDir() + exe;
        ASSERT_TRUE(PathExists(path)) << "missing: " << testing::PrintToString(path);
        EXPECT_TRUE(DeclaresInvokerAndWindowsVersions(ApplicationManifestOf(path))) << testing::PrintToString(path);
    }
}
