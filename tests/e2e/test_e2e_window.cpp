// Vistrel.exe started in each display mode and inspected from outside: window styles,
// layered attributes, captions, the backdrop, the window order, the popup menu, the
// screen-saver exit rules, the preview and the switches that end without a window.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;  // a cold Wine start can be slow
const wchar_t kMainClass[] = L"TVistrelMainForm";
const wchar_t kEnd[] = L"FinalizeUnits Complete.";

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// Opens the popup menu with a posted right click and waits for the menu window.
HWND OpenPopup(VistrelProcess& v, HWND form) {
    PostMessageW(form, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(10, 10));
    PostMessageW(form, WM_RBUTTONUP, 0, MAKELPARAM(10, 10));
    return WaitForWindow(v.Id(), L"#32768", 10000);
}

// Chooses a menu entry by its mnemonic.
void ChooseEntry(HWND menu, wchar_t mnemonic) { PostMessageW(menu, WM_CHAR, mnemonic, 0); }

// Mouse moves posted to a window as Windows reports the pointer at a screen point: the
// client move in the window's own coordinates and the non-client move in the screen's.
void PostMovesAt(HWND window, POINT screen) {
    POINT client = screen;
    ScreenToClient(window, &client);
    PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
    PostMessageW(window, WM_NCMOUSEMOVE, HTNOWHERE, MAKELPARAM(screen.x, screen.y));
}

bool EndsWithoutWindow(VistrelProcess& v, DWORD& exitCode) {
    bool sawWindow = false;
    const DWORD start = GetTickCount();
    while (v.Running() && GetTickCount() - start < kStart) {
        for (const wchar_t* cls : {kMainClass, L"TBlankForm", L"TForm"})
            if (!WindowsOf(v.Id(), cls, true).empty()) sawWindow = true;
        ServeMessages(10);
    }
    exitCode = v.WaitExit(1000);
    return !sawWindow;
}

}  // namespace

TEST(EndToEnd, DesktopModeWindowsBackdropAndOrder) {
    VistrelProcess v(L"");
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(v.WaitForLog(L"Command Line Debug: " + v.Folder() + L"\\log.txt", 5000));
    // The first load is laid out and painted at once after launch; the windows are looked
    // at once it is done, not while the placement moves them.
    ASSERT_TRUE(v.WaitForLog(L"UpdateEntries Complete.", kStart));

    // The form: a borderless popup tool window, colour-keyed on black.
    EXPECT_TRUE(StyleOf(form) & WS_POPUP);
    EXPECT_FALSE(StyleOf(form) & WS_CAPTION);
    EXPECT_TRUE(ExStyleOf(form) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(ExStyleOf(form) & WS_EX_LAYERED);
    const LayeredAttributes key = LayeredOf(form);
    EXPECT_TRUE(key.ok);
    EXPECT_EQ(key.flags, static_cast<DWORD>(LWA_COLORKEY));
    EXPECT_EQ(key.key, RGB(0, 0, 0));
    EXPECT_EQ(WindowText(form), L"Vistrel");

    // The application window carries an empty title and is a tool window.
    const auto apps = WindowsOf(v.Id(), L"TApplication", false);
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(WindowText(apps[0]), L"");
    EXPECT_TRUE(ExStyleOf(apps[0]) & WS_EX_TOOLWINDOW);

    // The backdrop: layered with alpha 0 until the placement gives it one, shown with the
    // form's rectangle.
    HWND backdrop = WaitForWindow(v.Id(), L"TForm", 5000);
    ASSERT_NE(backdrop, nullptr);
    EXPECT_TRUE(ExStyleOf(backdrop) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(StyleOf(backdrop) & WS_POPUP);
    const LayeredAttributes alpha = LayeredOf(backdrop);
    EXPECT_TRUE(alpha.ok);
    EXPECT_EQ(alpha.flags, static_cast<DWORD>(LWA_ALPHA));
    EXPECT_EQ(alpha.alpha, 0);
    EXPECT_TRUE(SameRect(WindowRect(backdrop), WindowRect(form)));

    // The backdrop follows a move and a resize. A tick comes once a second and lays out
    // again the form that the move repainted, so the rectangles are read as soon as the
    // move returns (the form's thread has handled it by then).
    SetWindowPos(form, nullptr, 120, 90, 210, 330, SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(SameRect(WindowRect(form), RECT{120, 90, 330, 420}));
    EXPECT_TRUE(SameRect(WindowRect(backdrop), WindowRect(form)));

    // A non-activating raise leaves the form at the bottom, the backdrop just beneath it.
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"E2EOtherWindow";
    RegisterClassW(&wc);
    HWND other = CreateWindowExW(0, wc.lpszClassName, L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                 nullptr, wc.hInstance, nullptr);
    ServeMessages(200);
    SetWindowPos(form, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ServeMessages(300);
    const int formIndex = ZOrderIndex(form);
    EXPECT_GT(formIndex, ZOrderIndex(other));
    EXPECT_EQ(ZOrderIndex(backdrop), formIndex + 1);
    for (HWND h = GetWindow(backdrop, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT))
        EXPECT_FALSE(IsWindowVisible(h)) << "a visible window below the backdrop: " << WindowClass(h).size();
    DestroyWindow(other);

    // Quit from the popup menu ends the loop and shuts down in order.
    HWND menu = OpenPopup(v, form);
    ASSERT_NE(menu, nullptr);
    ChooseEntry(menu, L'q');
    EXPECT_EQ(v.WaitExit(10000), 0u);
    const std::wstring log = v.LogText();
    EXPECT_TRUE(Contains(log, L"DEBUG Termination Requested"));
    EXPECT_TRUE(Contains(log, kEnd));
    EXPECT_LT(log.find(L"Termination Requested"), log.find(kEnd));
}

TEST(EndToEnd, PopupEntriesAct) {
    // Two named pages whose names carry the mnemonics 1 and 2, and the menu used once the
    // configuration is loaded: before the load the page entries have their initial
    // captions, after it the page names.
    VistrelProcess v(L"", true, [](const TempFolder& folder) {
        WriteFileBytes(folder.File(L"vistrel.ini"), "[pages]\r\n1=Page &1\r\n2=Page &2\r\n"
                                                     "[items]\r\nCOMMENT=active:1,text:One\r\n"
                                                     "COMMENT=active:2,text:Two\r\n");
    });
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(v.WaitForLog(L"UpdateEntries Complete.", kStart));
    // The manual is missing: the failure is logged, a message box tells the user, and once
    // it is closed the window thread goes on.
    HWND menu = OpenPopup(v, form);
    ASSERT_NE(menu, nullptr);
    ChooseEntry(menu, L'm');
    EXPECT_TRUE(v.WaitForLog(L"ERROR ReadMe1Click: " + v.Folder() + L"\\Vistrel Manual.pdf", 10000));
    HWND box = WaitForWindow(v.Id(), L"#32770", 10000);
    ASSERT_NE(box, nullptr) << "a message box about the manual";
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    EXPECT_TRUE(Contains(text, v.Folder() + L"\\Vistrel Manual.pdf is missing")) << text;
    EXPECT_EQ(WindowText(box), L"Vistrel");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    // The box is destroyed once its own message loop has ended; a right click posted
    // while that loop still runs may open no menu.
    const DWORD closing = GetTickCount();
    while (IsWindow(box) && GetTickCount() - closing < 10000) ServeMessages(50);
    ASSERT_FALSE(IsWindow(box));
    // Refresh and a page entry close the menu and leave the program running.
    menu = OpenPopup(v, form);
    ASSERT_NE(menu, nullptr);
    ChooseEntry(menu, L'r');
    ServeMessages(300);
    EXPECT_TRUE(WindowsOf(v.Id(), L"#32768", true).empty());
    menu = OpenPopup(v, form);
    ASSERT_NE(menu, nullptr);
    ChooseEntry(menu, L'2');
    ServeMessages(300);
    EXPECT_TRUE(v.Running());
    menu = OpenPopup(v, form);
    ASSERT_NE(menu, nullptr);
    ChooseEntry(menu, L'q');
    EXPECT_EQ(v.WaitExit(10000), 0u);
    EXPECT_TRUE(Contains(v.LogText(), kEnd));
}

TEST(EndToEnd, WindowModeHasCaptionAndClosesInOrder) {
    VistrelProcess v(L"/s /f");  // f is tested first
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(StyleOf(form) & WS_POPUP);
    EXPECT_TRUE(StyleOf(form) & WS_CAPTION);
    EXPECT_TRUE(StyleOf(form) & WS_THICKFRAME);
    EXPECT_TRUE(ExStyleOf(form) & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(ExStyleOf(form) & WS_EX_LAYERED);
    EXPECT_EQ(WindowText(form), L"Vistrel");
    const auto apps = WindowsOf(v.Id(), L"TApplication", false);
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(WindowText(apps[0]), L"Vistrel");
    EXPECT_TRUE(WindowsOf(v.Id(), L"TForm", false).empty());  // no backdrop
    EXPECT_TRUE(WindowsOf(v.Id(), L"TBlankForm", false).empty());
    // Alt+F4 is swallowed.
    PostMessageW(form, WM_SYSKEYDOWN, VK_F4, 1 << 29);
    ServeMessages(500);
    EXPECT_TRUE(v.Running());
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(v.WaitExit(10000), 0u);
    EXPECT_TRUE(Contains(v.LogText(), kEnd));
}

TEST(EndToEnd, ScreenSaverBlankFormAndSixthMouseMove) {
    VistrelProcess v(L"/S");
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    HWND blank = WaitForWindow(v.Id(), L"TBlankForm", 5000);
    ASSERT_NE(blank, nullptr);
    const RECT virtualScreen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                             GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                             GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    EXPECT_TRUE(SameRect(WindowRect(blank), virtualScreen));
    EXPECT_TRUE(ExStyleOf(blank) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(StyleOf(blank) & WS_POPUP);
    EXPECT_TRUE(IsZoomed(form));
    EXPECT_EQ(WindowText(form), L"Vistrel");
    EXPECT_EQ(WindowText(WindowsOf(v.Id(), L"TApplication", false).at(0)), L"Vistrel");
    // Placed for the first load: the form no longer moves.
    ASSERT_TRUE(v.WaitForLog(L"UpdateEntries Complete.", kStart));
    // Both stay above every other window, the form above the black one.
    EXPECT_TRUE(ExStyleOf(blank) & WS_EX_TOPMOST);
    EXPECT_TRUE(ExStyleOf(form) & WS_EX_TOPMOST);
    EXPECT_GE(ZOrderIndex(form), 0);
    EXPECT_LT(ZOrderIndex(form), ZOrderIndex(blank));
    // The foreground window is the black form over the whole desktop, not the form's
    // strip: the shell sees a full-screen program and keeps its taskbar beneath it.
    const DWORD since = GetTickCount();
    while (GetForegroundWindow() != blank && GetTickCount() - since < 5000) ServeMessages(50);
    EXPECT_EQ(GetForegroundWindow(), blank);
    // What Windows sends while windows appear and change under the resting pointer: ten
    // rounds of moves to the pointer's position, to every window of the saver (Wine
    // itself sends one such move when the saver's windows appear).
    POINT rest{};
    ASSERT_TRUE(GetCursorPos(&rest));
    for (int round = 0; round < 10; ++round) {
        for (HWND w : {blank, form}) PostMovesAt(w, rest);
        ServeMessages(50);
    }
    // An ended saver's process outlives its last log line by seconds under Wine: its
    // log tells whether it ended.
    const auto saverRuns = [&] { return v.Running() && !Contains(v.LogText(), kEnd); };
    ServeMessages(1000);
    EXPECT_TRUE(saverRuns()) << "moves without movement must leave the saver running";
    // The pointer moves over the form: it is put where the form's move says, since Wine,
    // as Windows, also reports the pointer where it really is (whenever a window changes
    // under it). Each step is served before the next: the posted move and the one the
    // pointer's own move makes name the same position, in whichever order they come.
    const auto moveTo = [&](int x, int y) {
        POINT screen{x, y};
        ClientToScreen(form, &screen);
        SetCursorPos(screen.x, screen.y);
        PostMessageW(form, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
        ServeMessages(200);
    };
    for (int i = 0; i < 5; ++i) moveTo(100 + i, 100);
    ServeMessages(1500);
    EXPECT_TRUE(saverRuns()) << "five moves must leave the saver running";
    // Clicks do not end it.
    PostMessageW(form, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(104, 100));
    PostMessageW(form, WM_LBUTTONUP, 0, MAKELPARAM(104, 100));
    ServeMessages(500);
    EXPECT_TRUE(saverRuns());
    moveTo(200, 100);
    EXPECT_EQ(v.WaitExit(10000), 0u);
    EXPECT_TRUE(Contains(v.LogText(), kEnd));
}

TEST(EndToEnd, ScreenSaverEndsOnAKey) {
    VistrelProcess v(L"-s");
    HWND form = WaitForWindow(v.Id(), kMainClass, kStart);
    ASSERT_NE(form, nullptr);
    PostMessageW(form, WM_KEYDOWN, 'A', 0);
    EXPECT_EQ(v.WaitExit(10000), 0u);
    EXPECT_TRUE(Contains(v.LogText(), kEnd));
}

namespace {

// xdotool, the X server's input tool, started from here with a chain of commands: its
// pointer moves, clicks and key presses reach Vistrel through the X server as a user's
// would. Wine cannot wait for a Unix process, so the chain runs on its own; the caller
// watches for its effect.
const wchar_t kXdotool[] = L"Z:\\usr\\bin\\xdotool";

bool StartXdotool(const std::wstring& commands) {
    std::wstring cmd = std::wstring(kXdotool) + L" " + commands;
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

}  // namespace

TEST(EndToEnd, ScreenSaverEndsOnRealInputWhereverThePointerIs) {
    ASSERT_NE(GetFileAttributesW(kXdotool), INVALID_FILE_ATTRIBUTES) << "xdotool is missing (scripts/setup.sh installs it)";
    struct Row {
        const char* name;
        std::wstring input;
    };
    // The pointer first rests over the black form beneath (the main form covers a strip at
    // the top right); with a click the black form takes the focus.
    const std::wstring rest = L"mousemove 500 700 sleep 0.5 ";
    const std::wstring moves = L"mousemove 50 50 sleep 0.3 mousemove 900 700 sleep 0.3 mousemove 100 600 sleep 0.3 "
                               L"mousemove 800 100 sleep 0.3 mousemove 300 300 sleep 0.3 mousemove 700 500 sleep 0.3 "
                               L"mousemove 200 650 sleep 0.3 mousemove 600 50";
    const Row rows[] = {
        {"eight moves across the screen", rest + moves},
        {"a key with the pointer resting", rest + L"key a"},
        {"a click, then a key", rest + L"click 1 sleep 0.5 key a"},
        {"a click, then moves", rest + L"click 1 sleep 0.5 " + moves},
    };
    for (const Row& r : rows) {
        VistrelProcess v(L"/s");
        ASSERT_NE(WaitForWindow(v.Id(), kMainClass, kStart), nullptr) << r.name;
        ASSERT_NE(WaitForWindow(v.Id(), L"TBlankForm", 5000), nullptr) << r.name;
        ServeMessages(1500);  // the first tick has loaded the configuration
        ASSERT_TRUE(StartXdotool(r.input)) << r.name;
        EXPECT_EQ(v.WaitExit(15000), 0u) << r.name;
        EXPECT_TRUE(Contains(v.LogText(), kEnd)) << r.name;
    }
}

TEST(EndToEnd, SwitchesThatEndWithoutAWindow) {
    for (const wchar_t* args : {L"/c", L"/c:1234", L"/E", L"-e", L"/p"}) {
        VistrelProcess v(args);
        DWORD code = 999;
        EXPECT_TRUE(EndsWithoutWindow(v, code)) << args;
        EXPECT_EQ(code, 0u) << args;
    }
    VistrelProcess c(L"/c");
    DWORD code = 999;
    EndsWithoutWindow(c, code);
    const std::wstring log = c.LogText();
    EXPECT_TRUE(Contains(log, L"Command Line Debug: ")) << "the debug switch is read before the mode";
    EXPECT_TRUE(Contains(log, kEnd));
}

namespace {

// A host window as the screen-saver settings dialog gives one to the preview.
struct HostWindow {
    HWND hwnd = nullptr;
    HostWindow(int w, int h) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        wc.lpszClassName = L"E2EPreviewHost";
        RegisterClassW(&wc);
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"host", WS_POPUP | WS_VISIBLE, 300, 200, w, h, nullptr,
                               nullptr, wc.hInstance, nullptr);
        ServeMessages(200);
    }
    ~HostWindow() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }
};

// Counts the pixels of the screen inside the window that are white (the preview's
// background) and the ones that are the icon's dark blue.
void CountPreviewPixels(HWND w, int& white, int& icon) {
    white = icon = 0;
    const RECT r = WindowRect(w);
    HDC screen = GetDC(nullptr);
    for (int y = r.top; y < r.bottom; y += 2)
        for (int x = r.left; x < r.right; x += 2) {
            const COLORREF c = GetPixel(screen, x, y);
            if (c == RGB(255, 255, 255)) ++white;
            if (c == RGB(40, 60, 110)) ++icon;
        }
    ReleaseDC(nullptr, screen);
}

}  // namespace

TEST(EndToEnd, PreviewDrawsIntoTheHostWindowUntilItGoes) {
    for (const wchar_t* form : {L"/p ", L"/p:"}) {
        HostWindow host(152, 112);
        const std::wstring args = form + std::to_wstring(reinterpret_cast<std::uintptr_t>(host.hwnd));
        VistrelProcess v(args);
        ServeMessages(2000);
        ASSERT_TRUE(v.Running()) << "the preview runs while the host window is there";
        int white = 0, icon = 0;
        CountPreviewPixels(host.hwnd, white, icon);
        EXPECT_GT(white, 100) << "the preview's background in the host";
        EXPECT_GT(icon, 10) << "the icon in the host";
        EXPECT_TRUE(WindowsOf(v.Id(), kMainClass, false).empty());
        DestroyWindow(host.hwnd);
        EXPECT_EQ(v.WaitExit(10000), 0u) << "the preview ends when its window goes";
        EXPECT_EQ(v.LogText(), L"") << "p silences the log";
    }
}
