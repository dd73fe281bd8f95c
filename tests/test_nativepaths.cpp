// How the 32-bit program reaches the 64-bit system folder on 64-bit Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "NativePaths.h"
#include "NativeSystemFiles.h"
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

// What the shell is handed for a target: a path this process finds as written goes as
// written, because the program that opens it may be a 64-bit one (MMC for .msc, the control
// panel for .cpl, Explorer for a folder, an editor for a document), which has no Sysnative;
// only a path this process does not find goes through Sysnative.
TEST(NativePaths, ShellTargetsGoThroughSysnativeOnlyWhenNotFoundAsWritten) {
    const std::wstring windows = L"C:\\Windows", system = L"C:\\Windows\\System32";
    const struct {
        const wchar_t* path;
        bool found;
        bool wow64;
        const wchar_t* expected;
    } rows[] = {
        // A program of the native system folder alone.
        {L"C:\\Windows\\System32\\wsl.exe", false, true, L"C:\\Windows\\Sysnative\\wsl.exe"},
        {L"C:\\Windows\\System32\\OpenSSH\\ssh.exe", false, true, L"C:\\Windows\\Sysnative\\OpenSSH\\ssh.exe"},
        // A console present in both views, opened by the 64-bit MMC.
        {L"C:\\Windows\\System32\\compmgmt.msc", true, true, L"C:\\Windows\\System32\\compmgmt.msc"},
        {L"C:\\Windows\\System32\\main.cpl", true, true, L"C:\\Windows\\System32\\main.cpl"},
        // A folder, opened by Explorer.
        {L"C:\\Windows\\System32\\drivers\\etc", true, true, L"C:\\Windows\\System32\\drivers\\etc"},
        {L"C:\\Windows\\System32", true, true, L"C:\\Windows\\System32"},
        // A document, opened by its handler.
        {L"C:\\Windows\\System32\\drivers\\etc\\hosts", true, true, L"C:\\Windows\\System32\\drivers\\etc\\hosts"},
        // A program present in both views.
        {L"C:\\Windows\\System32\\notepad.exe", true, true, L"C:\\Windows\\System32\\notepad.exe"},
        // Not found and not in the system folder, or not a path at all: as written.
        {L"D:\\Tools\\missing.exe", false, true, L"D:\\Tools\\missing.exe"},
        {L"https://example.org/", false, true, L"https://example.org/"},
        {L"wsl.exe", false, true, L"wsl.exe"},
        {L"", false, true, L""},
        // A 64-bit process, or 32-bit Windows: nothing goes through Sysnative.
        {L"C:\\Windows\\System32\\wsl.exe", false, false, L"C:\\Windows\\System32\\wsl.exe"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ShellTargetPath(r.path, r.found, r.wow64, windows, system), r.expected)
            << WideToUtf8(r.path) << " found " << r.found << " wow64 " << r.wow64;
}

// The same rule with this process's own view of the system folder.
TEST(NativePaths, ShellTargetOfThisProcess) {
    NativeSystemFile nativeOnly(L"native-only.exe", "MZ");
    ASSERT_TRUE(nativeOnly.Made());
    SystemFileInBothViews both(L"both.msc", "<?xml version=\"1.0\"?><MMC_ConsoleFile/>");
    ASSERT_TRUE(both.Made());
    const std::wstring folder = SystemFolder();
    const struct {
        std::wstring path;
        std::wstring expected;
    } rows[] = {
        {nativeOnly.Path(), NativeSystemPath(nativeOnly.Path())},
        {both.Path(), both.Path()},
        {folder, folder},
        {folder + L"\\", folder + L"\\"},
    };
    for (const auto& r : rows) EXPECT_EQ(NativeShellTarget(r.path), r.expected) << WideToUtf8(r.path);
    if (RunsUnderWow64()) {
        EXPECT_NE(NativeShellTarget(nativeOnly.Path()), nativeOnly.Path()) << "through Sysnative";
        EXPECT_NE(NativeSystemPath(both.Path()), both.Path()) << "the file reads still go to the native folder";
    }
}

// The Sysnative folder lies in the Windows folder that every session shares, which
// GetSystemWindowsDirectoryW names; on a terminal server GetWindowsDirectoryW names a
// private folder of the user's instead, without a Sysnative.
TEST(NativePaths, SysnativeLiesInTheSharedWindowsFolder) {
    wchar_t shared[MAX_PATH + 1] = {};
    const UINT n = GetSystemWindowsDirectoryW(shared, MAX_PATH + 1);
    ASSERT_GT(n, 0u);
    const std::wstring named = SystemFolder() + L"\\drivers\\x.sys";
    const std::wstring expected =
        RunsUnderWow64() ? std::wstring(shared, n) + L"\\Sysnative\\drivers\\x.sys" : named;
    EXPECT_EQ(NativeSystemPath(named), expected);
}
