#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Includes.h"
#include "ItemCharts.h"
#include "ItemControl.h"
#include "MainFormUnit.h"
#include "Painting.h"
#include "WindowPlacement.h"
#include "WindowTests.h"

namespace {

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// Two monitors: the primary 1920 x 1080 at the origin with a task bar of 40 pixels, a
// second 1280 x 1024 on its left, 100 pixels lower.
TScreenFacts TwoMonitors() {
    TScreenFacts f;
    f.VirtualScreen = RECT{-1280, 0, 1920, 1124};
    f.WorkArea = RECT{0, 0, 1920, 1040};
    f.Monitors = {{0, 0, 1920, 1080}, {-1280, 100, 1280, 1024}};
    return f;
}

TEST(DisplayArea, ByMonitorModeAndNumber) {
    const RECT previous{1, 2, 3, 4};
    struct Row {
        int mode, num;
        RECT expected;
        int numAfter;
    };
    const Row rows[] = {
        {1, 0, {-1280, 0, 1920, 1124}, 0},   // the virtual screen
        {1, 5, {-1280, 0, 1920, 1124}, 5},   // monitor-num is not read
        {0, 0, {0, 0, 1920, 1040}, 0},       // the primary work area
        {0, 1, {-1280, 100, 0, 1124}, 1},    // the whole second monitor
        {0, 2, {0, 0, 1920, 1080}, 0},       // not a monitor: reset, the whole first monitor
        {0, 3, {0, 0, 1920, 1080}, 0},
        {0, -1, {0, 0, 1920, 1080}, 0},      // negative: like one past the last
        {0, -7, {0, 0, 1920, 1080}, 0},
        {2, 1, {1, 2, 3, 4}, 1},             // an unknown mode keeps the area
        {-1, 0, {1, 2, 3, 4}, 0},
    };
    for (const Row& r : rows) {
        std::int32_t num = r.num;
        EXPECT_TRUE(SameRect(ChooseDisplayArea(r.mode, num, TwoMonitors(), previous), r.expected))
            << r.mode << " " << r.num;
        EXPECT_EQ(num, r.numAfter) << r.mode << " " << r.num;
    }
}

TEST(DisplayArea, FailedOrEmptyAnswersKeepThePreviousArea) {
    const RECT previous{1, 2, 3, 4};
    TScreenFacts f = TwoMonitors();
    f.WorkArea.reset();
    std::int32_t num = 0;
    EXPECT_TRUE(SameRect(ChooseDisplayArea(0, num, f, previous), previous));
    f.Monitors.clear();
    num = 1;
    EXPECT_TRUE(SameRect(ChooseDisplayArea(0, num, f, previous), previous));
    EXPECT_EQ(num, 0);
}

TEST(DisplayArea, OneMonitorAsWineShows) {
    TScreenFacts f;
    f.VirtualScreen = RECT{0, 0, 1024, 768};
    f.WorkArea = RECT{0, 0, 1024, 768};
    f.Monitors = {{0, 0, 1024, 768}};
    std::int32_t num = 1;
    EXPECT_TRUE(SameRect(ChooseDisplayArea(0, num, f, RECT{}), RECT{0, 0, 1024, 768}));
    EXPECT_EQ(num, 0);
}

// Monitors are numbered as the system enumerates them: a primary monitor enumerated
// second is monitor 1, and monitor-num 1 names it.
TEST(DisplayArea, MonitorsNumberedInTheSystemsOrder) {
    struct Enumerated {
        RECT rect;
        DWORD flags;
    };
    const Enumerated order[] = {
        {{-1280, 100, 0, 1124}, 0},
        {{0, 0, 1920, 1080}, MONITORINFOF_PRIMARY},
        {{1920, 0, 3200, 720}, 0},
    };
    TScreenFacts f;
    f.WorkArea = RECT{0, 0, 1920, 1040};
    for (const Enumerated& e : order) {
        MONITORINFO info{};
        info.cbSize = sizeof info;
        info.rcMonitor = e.rect;
        info.rcWork = e.rect;
        info.dwFlags = e.flags;
        AddEnumeratedMonitor(f.Monitors, info);
    }
    ASSERT_EQ(f.Monitors.size(), 3u);
    for (std::int32_t n = 1; n < 3; ++n) {
        std::int32_t num = n;
        EXPECT_TRUE(SameRect(ChooseDisplayArea(0, num, f, RECT{}), order[n].rect)) << n;
        EXPECT_EQ(num, n);
    }
    // A number past the last monitor falls back to monitor 0: the first one enumerated.
    std::int32_t num = 3;
    EXPECT_TRUE(SameRect(ChooseDisplayArea(0, num, f, RECT{}), order[0].rect));
    EXPECT_EQ(num, 0);
}

TPlacementOptions Opts(int left, int right, int top, int bottom, int width = -1, bool ch = false, bool cv = false,
                       bool ss = false) {
    TPlacementOptions o;
    o.Left = left, o.Right = right, o.Top = top, o.Bottom = bottom, o.Width = width;
    o.CenterH = ch, o.CenterV = cv, o.ScreenSaver = ss;
    return o;
}

TEST(Placement, PositionFromOptions) {
    const RECT work{0, 0, 1920, 1040};
    const RECT offset{100, 200, 1100, 900};  // an area away from the origin (second monitor)
    struct Row {
        const char* what;
        TPlacementOptions o;
        RECT area;
        int h;
        int left, top, width, right, bottom;
    };
    const Row rows[] = {
        {"defaults: top right, width 400", Opts(-1, -1, -1, -1), work, 300, 1520, 0, 400, 0, -1},
        {"right 10", Opts(-1, 10, -1, -1), work, 300, 1510, 0, 400, 10, -1},
        {"left wins over right", Opts(20, 10, -1, -1), work, 300, 20, 0, 400, 10, -1},
        {"left only", Opts(20, -1, -1, -1), work, 300, 20, 0, 400, -1, -1},
        {"top 50", Opts(-1, -1, 50, -1), work, 300, 1520, 50, 400, 0, -1},
        {"bottom 40", Opts(-1, -1, -1, 40), work, 300, 1520, 700, 400, 0, 40},
        {"top wins over bottom", Opts(-1, -1, 50, 40), work, 300, 1520, 50, 400, 0, 40},
        {"width 250", Opts(-1, -1, -1, -1, 250), work, 300, 1670, 0, 250, 0, -1},
        {"centred both ways", Opts(-1, -1, -1, -1, 400, true, true), work, 300, 760, 370, 400, 0, -1},
        {"centred, odd sizes", Opts(5, -1, 5, -1, 301, true, true), work, 301, 810, 370, 301, -1, -1},
        {"area offset adds to left and top", Opts(5, -1, 5, -1), offset, 300, 105, 205, 400, -1, -1},
        {"area offset from the right and bottom", Opts(-1, 10, -1, 20), offset, 300, 690, 580, 400, 10, 20},
        {"left beyond the area is pulled in", Opts(5000, -1, 5000, -1), work, 300, 1520, 740, 400, -1, -1},
        {"negative right is pulled in", Opts(-1, -100, -1, -1), work, 300, 1520, 0, 400, -100, -1},
        {"taller than the area: bottom edge", Opts(-1, -1, -1, -1), work, 2000, 1520, -960, 400, 0, -1},
        {"wider than the area: right edge", Opts(-1, -1, -1, -1, 3000), work, 300, -1080, 0, 3000, 0, -1},
    };
    for (const Row& r : rows) {
        const TPlacement p = ComputePlacement(r.o, r.area, r.h);
        EXPECT_EQ(p.WindowLeft, r.left) << r.what;
        EXPECT_EQ(p.WindowTop, r.top) << r.what;
        EXPECT_EQ(p.Width, r.width) << r.what;
        EXPECT_EQ(p.WindowRight, r.right) << r.what;
        EXPECT_EQ(p.WindowBottom, r.bottom) << r.what;
    }
}

TEST(Placement, ScreenSaverWidthFollowsTheAreaWithAReadableMinimum) {
    struct Row {
        RECT area;
        int width;
    };
    const Row rows[] = {
        {{0, 0, 1920, 1080}, 1320},
        {{0, 0, 1024, 768}, 424},
        {{0, 0, 800, 600}, kMinScreenSaverWidth},
        {{0, 0, 400, 300}, kMinScreenSaverWidth},
        {{-1280, 0, 0, 1024}, 680},
    };
    for (const Row& r : rows) {
        const TPlacement p = ComputePlacement(Opts(-1, -1, -1, -1, 777, false, false, true), r.area, 100);
        EXPECT_EQ(p.Width, r.width) << r.area.right;
    }
}

TEST(Placement, TwoMonitorsSecondMonitorTopRight) {
    std::int32_t num = 1;
    const RECT area = ChooseDisplayArea(0, num, TwoMonitors(), RECT{});
    const TPlacement p = ComputePlacement(Opts(-1, -1, -1, -1), area, 200);
    EXPECT_EQ(p.WindowLeft, -400);
    EXPECT_EQ(p.WindowTop, 100);
}

TConfigItem Item(const char* keyword, bool active = true, int hidden = 0, int page = 1) {
    TConfigItem i;
    i.Keyword = keyword;
    i.Active = active;
    i.Hidden = hidden;
    i.Page = page;
    return i;
}

TEST(KeyColumn, WidestLabelOfShownItemsOfEveryPage) {
    TConfigArray items = {Item("CPU"), Item("COMMENT"), Item("FILECONTENTS2"), Item("MEMORY", true, 1),
                          Item("MEMORY", false), Item("MEMORY", true, 0, 3), Item("FILE2TEXT")};
    auto width = [](int i) { return 10 * (i + 1); };
    EXPECT_EQ(ComputeKeyColumnWidth(-1, items, width, 77), 70);
    items.pop_back();  // the page-3 item is the widest left
    EXPECT_EQ(ComputeKeyColumnWidth(-1, items, width, 77), 60);
    EXPECT_EQ(ComputeKeyColumnWidth(0, items, width, 77), 0);
    EXPECT_EQ(ComputeKeyColumnWidth(120, items, width, 77), 120);
    EXPECT_EQ(ComputeKeyColumnWidth(-1, {}, width, 77), 77);  // no items: unchanged
    EXPECT_EQ(ComputeKeyColumnWidth(-1, {Item("COMMENT"), Item("CPU", false)}, width, 77), 0);
}

TEST(KeyColumn, OutsideTheItemsIsZero) {
    EXPECT_EQ(GetKeyTextWidth(-1), 0);
    EXPECT_EQ(GetKeyTextWidth(1 << 20), 0);
}

// PlaceWindow on a real main window over the one screen Wine shows.
class PlaceWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        saved = {FormLeft, FormRight, FormTop, FormBottom, FormWidth, Column1Width, MonitorMode, MonitorNum};
        savedPage = CurrentPage;
        CurrentPage = 1;  // the item's page: the window has content
        savedMode = DisplayMode;
        ResetOptions();
        FormLeft = FormRight = FormTop = FormBottom = FormWidth = Column1Width = -1;
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
        MainForm = form;
        TConfigItem item;
        item.Keyword = "CPU";
        item.Active = true;
        item.Page = 1;
        item.FontFace = L"Arial";
        item.FontSize = 10;
        item.LineHeight = 16;
        item.Text = L"A fairly long label";
        item.ItemData.Lines = {L"1"};
        ConfigItems = {item};
        RECT work{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        workArea = work;
    }
    void TearDown() override {
        ConfigItems.clear();
        FormLeft = saved[0], FormRight = saved[1], FormTop = saved[2], FormBottom = saved[3];
        FormWidth = saved[4], Column1Width = saved[5], MonitorMode = saved[6], MonitorNum = saved[7];
        CurrentPage = savedPage;
        DisplayMode = savedMode;
        WindowTest::TearDown();
    }
    std::array<std::int32_t, 8> saved{};
    std::int32_t savedPage = -1;
    std::uint8_t savedMode = 0;
    TVistrelMainForm* form = nullptr;
    RECT workArea{};
};

TEST_F(PlaceWindowTest, ScreenSaverWindowStandsTopRightOfTheWorkArea) {
    DisplayMode = dmScreenSaver;
    MonitorNum = 3;  // one monitor under Wine: reset to 0
    MonitorMode = 0;
    PlaceWindow();
    EXPECT_EQ(MonitorNum, 0);
    EXPECT_TRUE(SameRect(DisplayArea, workArea));
    const int width = std::max<int>(workArea.right - workArea.left - 600, kMinScreenSaverWidth);
    EXPECT_EQ(FormWidth, width);
    EXPECT_EQ(form->ClientWidth(), width);
    EXPECT_EQ(form->ClientHeight(), GetContentHeight());
    EXPECT_EQ(WindowTop, workArea.top);
    EXPECT_EQ(WindowLeft, workArea.right - width);
    EXPECT_EQ(form->Left(), WindowLeft - (form->Width() - form->ClientWidth()));
    EXPECT_EQ(form->Top(), WindowTop);
    EXPECT_GT(KeyColumnWidth, 4);  // measured from the label
}

// Whatever rose above the saver meanwhile (a topmost bar, as the taskbar is), the saver's
// forms are above it again after each placement, the main form above the black one.
// Looks at the window order of the display: one at a time (see WindowOrder).
class WindowOrderPlacement : public PlaceWindowTest {};

TEST_F(WindowOrderPlacement, ScreenSaverPlacementPutsTheSaverAboveEveryOtherWindow) {
    form = CreateScreenSaverForms();
    MainForm = form;
    form->Show();
    PumpFor(50);
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    const HWND bar = WindowOfOwnClass(L"TestPlacementBar", DefWindowProcW, WS_EX_TOPMOST | WS_EX_TOOLWINDOW, WS_POPUP,
                                      {0, 700, 1000, 740});
    ASSERT_NE(bar, nullptr);
    ShowWindow(bar, SW_SHOWNOACTIVATE);
    const auto above = [](HWND a, HWND b) {
        for (HWND h = GetWindow(b, GW_HWNDPREV); h; h = GetWindow(h, GW_HWNDPREV))
            if (h == a) return true;
        return false;
    };
    SetWindowPos(bar, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_TRUE(above(bar, blank));
    PlaceWindow();
    EXPECT_TRUE(above(form->Handle(), blank));
    EXPECT_TRUE(above(blank, bar)) << "the black form above the bar";
    Application().DestroyForms();
    DestroyWindow(bar);
}

TEST_F(PlaceWindowTest, WindowModeKeepsThePositionAndFollowsTheContent) {
    DisplayMode = dmWindow;
    form->SetBounds(33, 44, 200, 100);
    Column1Width = 0;
    FormWidth = 350;
    PlaceWindow();
    EXPECT_EQ(form->Left(), 33);
    EXPECT_EQ(form->Top(), 44);
    EXPECT_EQ(form->ClientWidth(), 350);
    EXPECT_GT(GetContentHeight(), 0);
    EXPECT_EQ(form->ClientHeight(), GetContentHeight());
    EXPECT_EQ(KeyColumnWidth, 0);
}

TEST_F(PlaceWindowTest, VirtualScreenMode) {
    DisplayMode = dmWindow;
    MonitorMode = 1;
    PlaceWindow();
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    EXPECT_TRUE(SameRect(DisplayArea, RECT{x, y, x + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                           y + GetSystemMetrics(SM_CYVIRTUALSCREEN)}));
    EXPECT_EQ(FormWidth, kDefaultWindowWidth);
}

// A placement that moves or resizes the window takes every item's control off it;
// painting puts back those whose item it draws. One that changes nothing leaves them.
TEST_F(PlaceWindowTest, AChangedPlacementTakesTheControlsOffTheWindow) {
    // A borderless desktop window, whose place the placement decides.
    DisplayMode = dmDesktop;
    form = Application().CreateForm<TVistrelMainForm>();
    Application().SetMainForm(form);
    MainForm = form;
    TConfigItem control;
    control.Keyword = "CONTROL";
    control.Active = true;
    control.Page = 1;
    ConfigItems.push_back(control);
    CreateItemButton(ConfigItems[1], 1, form);
    TItemControl* button = ConfigItems[1].Control;
    ASSERT_NE(button, nullptr);
    FormWidth = 350;
    PlaceWindow();
    button->Show();
    PlaceWindow();  // the same placement again
    EXPECT_TRUE(button->Visible());
    FormWidth = 300;
    PlaceWindow();
    EXPECT_FALSE(button->Visible());
    ReleaseItemControl(ConfigItems[1]);
}

}  // namespace
