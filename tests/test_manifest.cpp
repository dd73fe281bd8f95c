// The application manifest that Vistrel.exe carries, read back from the built program and
// from its release copy.
#include <windows.h>

#include <gtest/gtest.h>

#include "ManifestChecks.h"
#include "TestFiles.h"

TEST(Manifest, VistrelDeclaresInvokerAndEveryWindowsVersion) {
    for (const wchar_t* exe : {L"Vistrel.exe", L"release\\Vistrel.exe"}) {
        const std::wstring path = TestBinaryDir() + exe;
        ASSERT_TRUE(PathExists(path)) << "missing: " << testing::PrintToString(path);
        EXPECT_TRUE(DeclaresInvokerAndWindowsVersions(ApplicationManifestOf(path))) << testing::PrintToString(path);
    }
}
