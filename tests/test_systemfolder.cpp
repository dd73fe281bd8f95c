// The system folder as a 32-bit program on 64-bit Windows reaches it: through Sysnative.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "NativeSystemFiles.h"
#include "SystemFolder.h"
#include "Utils.h"

TEST(SystemFolderRules, PathsBelowTheSystemFolderGoThroughSysnative) {
    struct Row {
        const wchar_t* path;
        const wchar_t* systemDir;
        bool wow64;
        const wchar_t* expected;
    };
    const Row rows[] = {
        // Below the system folder, under WOW64: through Sysnative, the rest as written.
        {L"C:\\Windows\\System32\\wsl.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\Sysnative\\wsl.exe"},
        {L"c:\\WINDOWS\\SYSTEM32\\drivers\\tcpip.sys", L"C:\\Windows\\system32", true,
         L"C:\\Windows\\Sysnative\\drivers\\tcpip.sys"},
        {L"C:\\Windows\\System32\\OpenSSH\\ssh.exe", L"C:\\Windows\\system32", true,
         L"C:\\Windows\\Sysnative\\OpenSSH\\ssh.exe"},
        {L"C:/Windows/System32/bash.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\Sysnative/bash.exe"},
        {L"C:\\Windows\\System32\\x", L"C:\\Windows\\system32\\", true, L"C:\\Windows\\Sysnative\\x"},
        {L"D:\\WINNT\\System32\\a.dll", L"D:\\WINNT\\System32", true, L"D:\\WINNT\\Sysnative\\a.dll"},
        // In a 64-bit process or on 32-bit Windows: unchanged.
        {L"C:\\Windows\\System32\\wsl.exe", L"C:\\Windows\\system32", false, L"C:\\Windows\\System32\\wsl.exe"},
        // Not below the system folder: unchanged.
        {L"C:\\Windows\\System32", L"C:\\Windows\\system32", true, L"C:\\Windows\\System32"},
        {L"C:\\Windows\\System32\\", L"C:\\Windows\\system32", true, L"C:\\Windows\\System32\\"},
        {L"C:\\Windows\\System32x\\a.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\System32x\\a.exe"},
        {L"C:\\Windows\\System32.old\\a.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\System32.old\\a.exe"},
        {L"C:\\Windows\\SysWOW64\\a.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\SysWOW64\\a.exe"},
        {L"C:\\Windows\\Sysnative\\a.exe", L"C:\\Windows\\system32", true, L"C:\\Windows\\Sysnative\\a.exe"},
        {L"D:\\Windows\\System32\\a.exe", L"C:\\Windows\\system32", true, L"D:\\Windows\\System32\\a.exe"},
        {L"System32\\a.exe", L"C:\\Windows\\system32", true, L"System32\\a.exe"},
        {L"\\\\server\\c$\\Windows\\System32\\a.exe", L"C:\\Windows\\system32", true,
         L"\\\\server\\c$\\Windows\\System32\\a.exe"},
        {L"https://example.org/System32/a", L"C:\\Windows\\system32", true, L"https://example.org/System32/a"},
        {L"", L"C:\\Windows\\system32", true, L""},
        // A system folder that names no parent folder gives no Sysnative.
        {L"C:\\a.exe", L"C:", true, L"C:\\a.exe"},
        {L"C:\\Windows\\System32\\a.exe", L"", true, L"C:\\Windows\\System32\\a.exe"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ThroughSysnative(r.path, r.systemDir, r.wow64), r.expected)
            << testing::PrintToString(std::wstring(r.path)) << " " << r.wow64;
}

// wow64.dll lies only in the native system folder of 64-bit Windows (and of Wine's 64-bit
// prefix): a 32-bit process does not find it under System32, but through Sysnative.
TEST(SystemFolder, ThisProcessReachesTheNativeSystemFolder) {
    const std::wstring file = SystemFolder() + L"\\wow64.dll";
    EXPECT_TRUE(FileExists(NativeSystemPath(file)));
    if (RunsUnderWow64()) {
        EXPECT_FALSE(FileExists(file)) << "System32 of a 32-bit process is SysWOW64";
        EXPECT_EQ(NativeSystemPath(file), NativeSystemFolderForTests() + L"\\wow64.dll");
    } else {
        EXPECT_EQ(NativeSystemPath(file), file);
    }
}
