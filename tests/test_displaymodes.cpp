#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DisplayModes.h"
#include "MainFormUnit.h"
#include "Utils.h"
#include "WindowTests.h"

namespace {

// Tests of the window order and the activation on the display. Both are shared by every
// process there: other tests' windows that come and go take the foreground, raise windows
// of their own and, under Wine, make it lift windows of this one (it moves a window above
// the others wherever the X server reports part of it uncovered). So these run one at a
// time, with no other test beside them (CMakeLists.txt).
class WindowOrder : public WindowTest {};

}  // namespace

TEST(Backdrop, AlphaFromTransparency) {
    struct Row { std::int32_t percent; BYTE alpha; };
    for (const Row& r : {Row{0, 255}, Row{100, 0}, Row{50, 128}, Row{1, 253}, Row{99, 3}, Row{101, 101},
                         Row{-1, 255}, Row{300, 44}})
        EXPECT_EQ(BackdropAlpha(r.percent), r.alpha) << r.percent;
}

TEST(Preview, IconStaysInsideWindowsOfAnySize) {
    for (int extent : {1, 10, 32, 33, 34, 35, 40, 100, 152, 1000}) {
        const int farEdge = std::max(0, extent - 33);
        int pos = extent / 2 - 16, step = 1;
        bool sawNear = false, sawFar = false;
        for (int i = 0; i < 4000; ++i) {
            BounceStep(pos, step, extent);
            ASSERT_GE(pos, 0) << extent;
            ASSERT_LE(pos, farEdge) << extent;
            sawNear |= pos == 0;
            sawFar |= pos == farEdge;
        }
        EXPECT_TRUE(sawNear && sawFar) << extent;
    }
}

TEST(Preview, ColonFormsOfTheSaverSwitches) {
    using Args = std::vector<std::wstring>;
    struct Row { Args in, out; };
    const Row rows[] = {
        {{L"/c:1234"}, {L"/c", L"1234"}},
        {{L"/P:99"}, {L"/P", L"99"}},
        {{L"-p:5", L"/debug=x"}, {L"-p", L"5", L"/debug=x"}},
        {{L"/p", L"77"}, {L"/p", L"77"}},
        {{L"/s"}, {L"/s"}},
        {{L"/c:"}, {L"/c:"}},
        {{L"/debug=c:\\log.txt"}, {L"/debug=c:\\log.txt"}},
    };
    for (const Row& r : rows) EXPECT_EQ(NormalizeScreenSaverArguments(r.in), r.out) << r.in.at(0);
}

TEST(Preview, WindowArgumentFollowsTheSwitch) {
    using Args = std::vector<std::wstring>;
    struct Row { Args args; bool present; std::intptr_t handle; };
    const Row rows[] = {
        {{L"/p", L"1234"}, true, 1234},  {{L"-P", L"12ab"}, true, -1}, {{L"/p", L""}, true, -1},
        {{L"/p"}, false, 0},             {{L"/debug=x", L"/p", L"8"}, true, 8},
        {{L"/s", L"1234"}, false, 0},
    };
    for (const Row& r : rows) {
        std::intptr_t handle = 0;
        EXPECT_EQ(PreviewWindowArgument(r.args, handle), r.present) << r.args.size();
        if (r.present) {
            EXPECT_EQ(handle, r.handle);
        }
    }
}

TEST(Switches, ModeSwitchOrder) {
    const std::vector<std::wstring> saved = ProgramArguments();
    struct Row { std::vector<std::wstring> args; char mode; };
    const Row rows[] = {{{L"/s", L"/f"}, 'f'}, {{L"-S"}, 's'}, {{L"/p", L"/c"}, 'p'}, {{L"/C"}, 'c'},
                        {{}, 'd'},           {{L"/debug=f"}, 'd'}, {{L"/ff"}, 'd'}};
    for (const Row& r : rows) {
        SetProgramArguments(r.args);
        EXPECT_EQ(ChooseModeSwitch(), r.mode) << r.args.size();
    }
    SetProgramArguments(saved);
}

TEST_F(WindowOrder, DesktopFormsAreLayeredToolWindows) {
    MainForm = CreateDesktopForms();
    ASSERT_NE(BackdropForm, nullptr);
    EXPECT_EQ(DisplayMode, dmDesktop);
    EXPECT_EQ(Application().Title(), L"");
    EXPECT_TRUE(GetWindowLongPtrW(Application().Handle(), GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    HWND form = MainForm->Handle();
    EXPECT_TRUE(GetWindowLongPtrW(form, GWL_STYLE) & WS_POPUP);
    EXPECT_TRUE(GetWindowLongPtrW(form, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    COLORREF key = 1;
    BYTE alpha = 1;
    DWORD flags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(form, &key, &alpha, &flags));
    EXPECT_EQ(flags, static_cast<DWORD>(LWA_COLORKEY));
    EXPECT_EQ(key, 0u);
    EXPECT_EQ(MainForm->Color(), clBlack);

    HWND backdrop = BackdropForm->Handle();
    EXPECT_FALSE(IsWindowVisible(backdrop));
    EXPECT_TRUE(GetWindowLongPtrW(backdrop, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    struct Row { std::int32_t transparency; BYTE alpha; };
    for (const Row& r : {Row{0, 255}, Row{100, 0}, Row{50, 128}}) {
        SetBackdrop(RGB(1, 2, 3), r.transparency);
        ASSERT_TRUE(GetLayeredWindowAttributes(backdrop, &key, &alpha, &flags));
        EXPECT_EQ(flags, static_cast<DWORD>(LWA_ALPHA));
        EXPECT_EQ(alpha, r.alpha) << r.transparency;
    }
    EXPECT_EQ(BackdropForm->Color(), RGB(1, 2, 3));

    // Shown, the backdrop takes the form's rectangle and follows it.
    MainForm->Show();
    MainForm->SetBounds(30, 40, 200, 100);
    PumpFor(100);
    RECT a, b;
    GetWindowRect(form, &a);
    GetWindowRect(backdrop, &b);
    EXPECT_TRUE(IsWindowVisible(backdrop));
    EXPECT_TRUE(EqualRect(&a, &b));
    EXPECT_EQ(GetWindow(form, GW_HWNDNEXT), backdrop);
}

TEST_F(WindowTest, WindowFormHasTheTitleAndNoBackdrop) {
    MainForm = CreateWindowForm();
    EXPECT_EQ(DisplayMode, dmWindow);
    EXPECT_EQ(Application().Title(), L"Vistrel");
    EXPECT_EQ(MainForm->Caption(), L"Vistrel");
    EXPECT_EQ(BackdropForm, nullptr);
    EXPECT_TRUE(GetWindowLongPtrW(MainForm->Handle(), GWL_STYLE) & WS_THICKFRAME);
    EXPECT_FALSE(GetWindowLongPtrW(MainForm->Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    SetBackdrop(clWhite, 0);  // nothing to do without a backdrop
}

// In window mode the form is an ordinary application window: it has a taskbar button
// and an Alt+Tab entry, and it cannot be sized below the system's minimum.
TEST_F(WindowTest, WindowFormHasATaskbarButtonAndAMinimumSize) {
    MainForm = CreateWindowForm();
    HWND form = MainForm->Handle();
    EXPECT_TRUE(GetWindowLongPtrW(form, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_EQ(GetWindow(form, GW_OWNER), nullptr);
    MainForm->Show();
    PumpFor(50);
    SetWindowPos(form, nullptr, 10, 10, 1, 1, SWP_NOZORDER | SWP_NOACTIVATE);
    PumpFor(50);
    RECT r{};
    GetWindowRect(form, &r);
    EXPECT_GE(r.right - r.left, GetSystemMetrics(SM_CXMINTRACK));
    EXPECT_GE(r.bottom - r.top, GetSystemMetrics(SM_CYMINTRACK));
    // Above the minimum the size asked for is the size taken.
    SetWindowPos(form, nullptr, 10, 10, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
    GetWindowRect(form, &r);
    EXPECT_EQ(r.right - r.left, 300);
    EXPECT_EQ(r.bottom - r.top, 200);
}

// The borderless forms of the desktop mode take any size their content asks for.
TEST_F(WindowTest, DesktopFormTakesAnySize) {
    MainForm = CreateDesktopForms();
    HWND form = MainForm->Handle();
    EXPECT_FALSE(GetWindowLongPtrW(form, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_FALSE(GetWindowLongPtrW(form, GWL_EXSTYLE) & WS_EX_TOPMOST);
    MainForm->Show();
    PumpFor(50);
    SetWindowPos(form, nullptr, 10, 10, 3, 2, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT r{};
    GetWindowRect(form, &r);
    EXPECT_EQ(r.right - r.left, 3);
    EXPECT_EQ(r.bottom - r.top, 2);
}

TEST_F(WindowTest, ScreenSaverFormsCoverTheVirtualDesktop) {
    MainForm = CreateScreenSaverForms();
    EXPECT_EQ(DisplayMode, dmScreenSaver);
    EXPECT_TRUE(Application().CursorHidden);
    EXPECT_EQ(Application().MainForm(), MainForm);
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");  // this process's, not another test's
    ASSERT_NE(blank, nullptr);
    RECT r;
    GetWindowRect(blank, &r);
    EXPECT_EQ(r.left, GetSystemMetrics(SM_XVIRTUALSCREEN));
    EXPECT_EQ(r.right - r.left, GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_EQ(r.bottom - r.top, GetSystemMetrics(SM_CYVIRTUALSCREEN));
    EXPECT_TRUE(IsWindowVisible(blank));
    MainForm->Show();
    EXPECT_TRUE(IsZoomed(MainForm->Handle()));
    EXPECT_FALSE(GetWindowLongPtrW(MainForm->Handle(), GWL_STYLE) & WS_CAPTION);
    EXPECT_TRUE(GetWindowLongPtrW(MainForm->Handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW) << "a taskbar button";
    // Above the taskbar: both topmost, the main form above the black one.
    EXPECT_TRUE(GetWindowLongPtrW(blank, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_TRUE(GetWindowLongPtrW(MainForm->Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    // A move of the black form in the window order (a click that raises it) puts it just
    // beneath the main form, whatever place it asks for; other moves are left alone.
    WINDOWPOS raise{blank, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE};
    SendMessageW(blank, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&raise));
    EXPECT_EQ(raise.hwndInsertAfter, MainForm->Handle());
    WINDOWPOS resize{blank, HWND_TOP, 0, 0, 10, 10, SWP_NOMOVE | SWP_NOZORDER};
    SendMessageW(blank, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&resize));
    EXPECT_EQ(resize.hwndInsertAfter, HWND_TOP);
    DisplayMode = dmWindow;
}

namespace {

// Whether window a lies above window b in the window order.
bool Above(HWND a, HWND b) {
    for (HWND h = GetWindow(b, GW_HWNDPREV); h; h = GetWindow(h, GW_HWNDPREV))
        if (h == a) return true;
    return false;
}

// A topmost bar along the bottom of the screen, as the taskbar is.
HWND TaskbarLikeWindow() {
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HWND bar = WindowOfOwnClass(L"TestTaskbarLike", DefWindowProcW, WS_EX_TOPMOST | WS_EX_TOOLWINDOW, WS_POPUP,
                                {0, h - 40, w, h});
    ShowWindow(bar, SW_SHOWNOACTIVATE);
    return bar;
}

}  // namespace

TEST_F(WindowOrder, ScreenSaverFormsStayAboveEveryOtherWindow) {
    const HWND bar = TaskbarLikeWindow();
    ASSERT_NE(bar, nullptr);
    auto* saver = CreateScreenSaverForms();
    MainForm = saver;
    saver->Show();
    PumpFor(100);
    const HWND form = saver->Handle();
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    const auto order = [&](const char* when) {
        EXPECT_TRUE(GetWindowLongPtrW(blank, GWL_EXSTYLE) & WS_EX_TOPMOST) << when;
        EXPECT_TRUE(GetWindowLongPtrW(form, GWL_EXSTYLE) & WS_EX_TOPMOST) << when;
        EXPECT_TRUE(Above(form, blank)) << when << ": the form above the black form";
        EXPECT_TRUE(Above(blank, bar)) << when << ": the black form above the bar";
    };
    order("at start");
    // The placement shrinks the form to a strip and changes its height.
    saver->SetBounds(GetSystemMetrics(SM_CXSCREEN) - 300, 0, 300, 100);
    saver->SetClientHeight(160);
    PumpFor(50);
    order("a strip");
    // The black form raised (as a click activates it): it stays beneath the form.
    SetWindowPos(blank, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    PumpFor(50);
    order("the black form raised");
    Application().DestroyForms();
    DestroyWindow(bar);
    DisplayMode = dmWindow;
}

// The shell keeps its taskbar beneath a full-screen program in the foreground: the black
// form over the whole desktop is the saver's active window, not the main form's strip,
// also after the main form took the activation (shown maximised, or clicked).
TEST_F(WindowOrder, ScreenSaverBlackFormIsTheActiveWindow) {
    auto* saver = CreateScreenSaverForms();
    MainForm = saver;
    saver->Show();
    const HWND form = saver->Handle();
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return GetActiveWindow() == blank; }, 10000)) << "shown";
    PumpFor(50);
    EXPECT_TRUE(Above(form, blank)) << "shown: the form above the black form";
    SetActiveWindow(form);  // as a click on the form activates it
    EXPECT_TRUE(PumpUntil([&] { return GetActiveWindow() == blank; }, 10000)) << "the form activated";
    PumpFor(50);
    EXPECT_TRUE(Above(form, blank)) << "the form activated: the form above the black form";
    Application().DestroyForms();
    DisplayMode = dmWindow;
}

// Another program that comes to the foreground may raise a topmost window of its own (the
// taskbar, a notification): when the saver's program is deactivated or activated, both
// its forms go above it again.
TEST_F(WindowOrder, ScreenSaverFormsGoAboveAgainWhenTheProgramIsDeactivated) {
    auto* saver = CreateScreenSaverForms();
    MainForm = saver;
    saver->Show();
    PumpFor(100);
    const HWND form = saver->Handle();
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    const HWND bar = TaskbarLikeWindow();
    ASSERT_NE(bar, nullptr);
    for (const BOOL active : {FALSE, TRUE}) {
        SetWindowPos(bar, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        ASSERT_TRUE(Above(bar, form));
        // What every top-level window of the program gets when another program's window
        // comes to the foreground (FALSE) or one of its own does again (TRUE).
        for (const HWND w : {form, blank}) SendMessageW(w, WM_ACTIVATEAPP, active, 0);
        PumpFor(50);
        EXPECT_TRUE(Above(form, blank)) << active;
        EXPECT_TRUE(Above(blank, bar)) << active << ": the black form above the bar";
    }
    Application().DestroyForms();
    DestroyWindow(bar);
    DisplayMode = dmWindow;
}

TEST_F(WindowTest, ScreenSaverEndsOnInputToAnyOfItsWindows) {
    std::vector<UINT> halts;
    SetHaltProc([&](UINT code) { halts.push_back(code); });
    auto* saver = CreateScreenSaverForms();
    MainForm = saver;
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    struct Target {
        const char* name;
        HWND window;
    };
    // The black form beneath, the form itself and a child window of it (a button).
    const Target targets[] = {{"black form", blank}, {"main form", saver->Handle()}, {"child", saver->HomeButton->Handle()}};
    for (const Target& t : targets) {
        // Showing the forms under the pointer may have queued a move already.
        PumpFor(100);
        halts.clear();
        saver->ResetScreenSaverMoves();
        // A click does not end it; the first move sets the position, five more do not end
        // it; each move counts once.
        PostMessageW(t.window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageW(t.window, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        for (int i = 0; i < 6; ++i) PostMessageW(t.window, WM_MOUSEMOVE, 0, MAKELPARAM(9 + i, 10));
        Application().ProcessMessages();
        EXPECT_TRUE(halts.empty()) << t.name;
        EXPECT_EQ(saver->MouseMoveCount, 5) << t.name;
        PostMessageW(t.window, WM_MOUSEMOVE, 0, MAKELPARAM(20, 10));
        Application().ProcessMessages();
        EXPECT_EQ(halts, std::vector<UINT>{0}) << t.name << ": the sixth move";

        halts.clear();
        saver->ResetScreenSaverMoves();
        PostMessageW(t.window, WM_KEYDOWN, 'A', 0);
        Application().ProcessMessages();
        EXPECT_EQ(halts, std::vector<UINT>{0}) << t.name << ": a key";
        halts.clear();
        PostMessageW(t.window, WM_SYSKEYDOWN, VK_MENU, 1 << 29);
        Application().ProcessMessages();
        EXPECT_EQ(halts, std::vector<UINT>{0}) << t.name << ": a key with Alt";
    }
    Application().DestroyForms();
    EXPECT_FALSE(Application().OnMessage) << "the form takes its rules with it";
    DisplayMode = dmWindow;
}

// Windows sends move messages without movement whenever a window appears, moves or changes
// size under the resting pointer: to every window of the saver, client and non-client,
// they leave it running; real moves then end it.
TEST_F(WindowTest, ScreenSaverStaysForMovesWithoutMovement) {
    std::vector<UINT> halts;
    SetHaltProc([&](UINT code) { halts.push_back(code); });
    auto* saver = CreateScreenSaverForms();
    MainForm = saver;
    saver->Show();
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    const HWND windows[] = {blank, saver->Handle(), saver->HomeButton->Handle()};
    PumpFor(100);
    halts.clear();
    saver->ResetScreenSaverMoves();
    // One resting pointer position, in each window's own client coordinates.
    const POINT resting{200, 150};
    const auto postAt = [](HWND window, POINT screen) {
        POINT client = screen;
        ScreenToClient(window, &client);
        PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
        PostMessageW(window, WM_NCMOUSEMOVE, HTCLIENT, MAKELPARAM(screen.x, screen.y));
    };
    for (int round = 0; round < 10; ++round)
        for (HWND window : windows) postAt(window, resting);
    Application().ProcessMessages();
    EXPECT_TRUE(halts.empty()) << "moves without movement ended the saver";
    EXPECT_EQ(saver->MouseMoveCount, 0);
    // The pointer moves: six steps end it.
    for (int step = 1; step <= 5; ++step) postAt(windows[step % 3], {resting.x + step, resting.y});
    Application().ProcessMessages();
    EXPECT_TRUE(halts.empty());
    EXPECT_EQ(saver->MouseMoveCount, 5);
    postAt(blank, {resting.x, resting.y + 7});
    Application().ProcessMessages();
    EXPECT_EQ(halts, std::vector<UINT>{0}) << "the sixth real move";
    Application().DestroyForms();
    DisplayMode = dmWindow;
}

namespace {

HWND PreviewHost(bool visible) {
    return WindowOfOwnClass(L"TestPreviewHost", DefWindowProcW, 0, WS_POPUP | (visible ? WS_VISIBLE : 0), {0, 0, 20, 15});
}

void CALLBACK DestroyOnTimer(HWND w, UINT, UINT_PTR, DWORD) { DestroyWindow(w); }

}  // namespace

TEST_F(WindowTest, PreviewWaitIsBoundedAndEndsWithTheWindow) {
    HWND hidden = PreviewHost(false);
    const DWORD start = GetTickCount();
    RunScreenSaverPreview(hidden, 300);  // never shown: gives up
    EXPECT_LT(GetTickCount() - start, 5000u);
    DestroyWindow(hidden);
    RunScreenSaverPreview(reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)), 300);  // not a window

    // A window smaller than the icon: the preview runs until the window goes.
    HWND small = PreviewHost(true);
    SetTimer(small, 1, 300, DestroyOnTimer);
    RunScreenSaverPreview(small);
    EXPECT_FALSE(IsWindow(small));
}
