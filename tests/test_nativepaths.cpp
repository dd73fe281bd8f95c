// How the 32-bit program reaches the 64-bit system folder on 64-bit Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "NativePaths.h"
#include "Utils.h"

TEST(NativePaths, SystemFolderPathsGoThroughSysnativeUnderWow64) {
    const std::wstring windows = L"C:\\Windows", system = L"C:\\Windows\\System32";
    const struct {
        const wchar_t* path;
        bool wow64;
        const wchar_t* expected;
    } rows[] = {
        {L"C:\\Windows\\System32\\drivers\\acpi.sys", true, L"C:\\Windows\\Sysnative\\drivers\\acpi.sys"},
        {L"c:\\WINDOWS\\system32\\wsl.exe", true, L"C:\\Windows\\Sysnative\\wsl.exe"},  // case ignored
        {L"C:/Windows/System32/OpenSSH/ssh.exe", true, L"C:\\Windows\\Sysnative/OpenSSH/ssh.exe"},
        {L"C:\\Windows\\System32", true, L"C:\\Windows\\Sysnative"},  // the folder itself
        {L"C:\\Windows\\System32\\", true, L"C:\\Windows\\Sysnative\\"},
        // Not in the system folder.
        {L"C:\\Windows\\System32x\\a.exe", true, L"C:\\Windows\\System32x\\a.exe"},
        {L"C:\\Windows\\SysWOW64\\a.dll", true, L"C:\\Windows\\SysWOW64\\a.dll"},
        {L"C:\\Windows\\notepad.exe", true, L"C:\\Windows\\notepad.exe"},
        {L"D:\\Tools\\System32\\a.exe", true, L"D:\\Tools\\System32\\a.exe"},
        {L"System32\\a.exe", true, L"System32\\a.exe"},
        {L"wsl.exe", true, L"wsl.exe"},
        {L"", true, L""},
        // A 64-bit process, or 32-bit Windows: nothing is redirected.
        {L"C:\\Windows\\System32\\drivers\\acpi.sys", false, L"C:\\Windows\\System32\\drivers\\acpi.sys"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(SysnativePath(r.path, r.wow64, windows, system), r.expected) << WideToUtf8(r.path) << " " << r.wow64;
    // The folders as the system gives them, with a trailing separator, or none at all.
    EXPECT_EQ(SysnativePath(L"C:\\WINNT\\System32\\x", true, L"C:\\WINNT\\", L"C:\\WINNT\\System32\\"),
              L"C:\\WINNT\\Sysnative\\x");
    EXPECT_EQ(SysnativePath(L"C:\\Windows\\System32\\x", true, L"", L""), L"C:\\Windows\\System32\\x");
}

TEST(NativePaths, ThisProcessIsUnderWow64OnlyAsA32BitProgram) {
    // The tests run on 64-bit hosts: the 32-bit build is under WOW64, the 64-bit one not.
    EXPECT_EQ(RunsUnderWow64(), sizeof(void*) == 4);
    const std::wstring path = L"C:\\no-such-folder\\x";
    EXPECT_EQ(NativeSystemPath(path), path);
}
