// Vistrel.exe started in another folder than its own, as Windows starts a screen saver (in
// the system folder) or an autostart entry: where the files it writes land.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Inspector.h"
#include "TestFiles.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

constexpr DWORD kStart = 30000;

// Waits until the condition holds; false when ms pass first.
template <typename F>
bool WaitFor(F condition, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= ms) return false;
        ServeMessages(100);
    }
    return true;
}

// Deletes a folder's files and then the folder.
void RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    const HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace

// The configuration's csv:, log= and DATADUMP folder, named without a folder, go beside the
// program; /ini= and /debug=, typed with relative names, mean the folder the program was
// started in.
TEST(EndToEndFolders, RelativeOutputsGoBesideTheProgramWhateverFolderItStartsIn) {
    TempFolder program(L"vistrel-e2e-program"), start(L"vistrel-e2e-start");
    const std::wstring exe = program.File(L"Vistrel.exe");
    ASSERT_TRUE(CopyFileW((TestBinaryDir() + L"Vistrel.exe").c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(start.File(L"typed.ini"),
                               "[options]\r\nnav=0\r\nlog=configured.log\r\nlog-level=all\r\n[items]\r\n"
                               "HOST=active:1,csv:host.csv\r\nDATADUMP=active:1,dir:dumps\r\n"));
    std::wstring cmd = L"\"" + exe + L"\" /f /ini=typed.ini /debug=typed-debug.txt";
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, start.Dir().c_str(), &si, &pi));
    const UniqueHandle process(pi.hProcess), thread(pi.hThread);

    const std::wstring configuredLog = program.File(L"configured.log");
    const bool ran = WaitFor(
        [&] {
            return PathExists(program.File(L"host.csv")) && PathExists(program.File(L"dumps")) &&
                   Utf16File(configuredLog).find(L"GetDataDump: ") != std::wstring::npos;
        },
        kStart);
    if (HWND form = WaitForWindow(pi.dwProcessId, L"TVistrelMainForm", 1000)) PostMessageW(form, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 998);
    WaitForSingleObject(process.get(), 5000);

    EXPECT_TRUE(ran) << "the program's folder holds no CSV, data dump or log";
    // Typed on the command line: the start folder.
    const std::wstring debugLog = Utf16File(start.File(L"typed-debug.txt"));
    EXPECT_NE(debugLog.find(L"Command Line Debug: typed-debug.txt"), std::wstring::npos);
    EXPECT_NE(debugLog.find(L"Ini File: " + start.File(L"typed.ini")), std::wstring::npos) << WideToUtf8(debugLog);
    EXPECT_FALSE(PathExists(program.File(L"typed-debug.txt")));
    // Named in the configuration: the program's folder, nothing in the start folder.
    EXPECT_TRUE(PathExists(configuredLog));
    EXPECT_TRUE(PathExists(program.File(L"host.csv")));
    EXPECT_TRUE(PathExists(program.File(L"dumps")));
    for (const wchar_t* name : {L"configured.log", L"host.csv", L"dumps"})
        EXPECT_FALSE(PathExists(start.File(name))) << WideToUtf8(name) << " in the start folder";
    RemoveFolder(program.File(L"dumps"));
}
