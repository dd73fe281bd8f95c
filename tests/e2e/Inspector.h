// The end-to-end tests' inspector: starts Vistrel.exe as a child process in a fresh
// folder and looks at its windows from outside, as another program sees them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestFiles.h"

// One running Vistrel.exe, copied into a temporary folder with nothing else in it (no
// ini file) unless Prepare puts files there before the start, started from that folder
// with /debug=<folder>\log.txt and the given arguments. Ended by force when the test does
// not end it. ProgramName is the copy's file name.
class VistrelProcess {
public:
    explicit VistrelProcess(const std::wstring& arguments, bool debugLog = true,
                            const std::function<void(const TempFolder&)>& Prepare = nullptr,
                            const std::wstring& ProgramName = L"Vistrel.exe");
    // Started with /debug=LogFile, a file the test chooses, in place of the folder's log.txt.
    VistrelProcess(const std::wstring& arguments, const std::wstring& logFile);
    ~VistrelProcess();
    VistrelProcess(const VistrelProcess&) = delete;
    VistrelProcess& operator=(const VistrelProcess&) = delete;

    DWORD Id() const { return pi_.dwProcessId; }
    bool Running() const;
    // Waits for the end; returns the exit code, or 999 when it did not end in time.
    DWORD WaitExit(DWORD ms);
    std::wstring LogText() const;
    const std::wstring& Folder() const { return folder_.Dir(); }
    // Waits until the log holds the text.
    bool WaitForLog(const std::wstring& text, DWORD ms) const;

private:
    void Start(const std::wstring& arguments, bool debugLog,
               const std::function<void(const TempFolder&)>& Prepare, const std::wstring& ProgramName);

    TempFolder folder_;
    std::wstring logFile_ = folder_.File(L"log.txt");
    PROCESS_INFORMATION pi_{};
};

// A file of UTF-16 text without a byte-order mark (what the log holds).
std::wstring Utf16File(const std::wstring& path);

// The process's top-level windows of a class (all, or only the visible ones).
std::vector<HWND> WindowsOf(DWORD pid, const std::wstring& className, bool visibleOnly);
// Waits for a visible window of the class; null when none appears in time.
HWND WaitForWindow(DWORD pid, const std::wstring& className, DWORD ms);
std::wstring WindowClass(HWND w);
std::wstring WindowText(HWND w);
LONG_PTR StyleOf(HWND w);
LONG_PTR ExStyleOf(HWND w);
RECT WindowRect(HWND w);
bool SameRect(const RECT& a, const RECT& b);

struct LayeredAttributes {
    bool ok = false;
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
};
LayeredAttributes LayeredOf(HWND w);

// Position in the top-level window order (0 = top); -1 when not found.
int ZOrderIndex(HWND w);
// Sleeps while serving this thread's messages.
void ServeMessages(DWORD ms);

// The screen's pixels inside a rectangle, as another program on the display sees them.
struct ScreenShot {
    RECT Area{};
    std::vector<COLORREF> Pixels;  // row by row, top to bottom
    int Width() const { return Area.right - Area.left; }
    int Height() const { return Area.bottom - Area.top; }
    // x and y relative to Area's top left corner.
    COLORREF At(int x, int y) const { return Pixels.at(static_cast<std::size_t>(y) * Width() + x); }
};
ScreenShot CaptureScreen(const RECT& area);

// How often part occurs in text.
std::size_t Count(const std::wstring& text, const std::wstring& part);
// Waits until the log holds part at least n times.
bool WaitForCount(const VistrelProcess& v, const std::wstring& part, std::size_t n, DWORD ms);
// Asks the main form to close and waits for the program's end.
void Quit(VistrelProcess& v, HWND form);

// An ini file outside the program folder, named with the ini switch.
struct IniFile {
    TempFolder dir{L"vistrel-e2e-ini"};
    std::wstring path = dir.File(L"test.ini");
    void Write(const std::string& text) { ASSERT_TRUE(WriteFileBytes(path, text)); }
    std::wstring Switch() const { return L"/ini=" + path; }
};

// Real input through the X server, as a user gives it: xdotool (a Linux program, which
// Wine starts natively through /bin/sh) with the given arguments, for example
// "mousemove 10 20 click 1". Pointer moves and clicks reach the window under the pointer
// with hit-testing, activation and capture, which posted messages skip. Returns
// xdotool's exit code; 127 when xdotool is not installed (scripts/setup.sh installs it),
// -1 when it could not be started or did not end within ms.
int XdoTool(const std::string& arguments, DWORD ms = 10000);
