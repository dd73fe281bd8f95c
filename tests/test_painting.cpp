#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "BarMeter.h"
#include "ColorButton.h"
#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Gdi.h"
#include "Includes.h"
#include "ItemCharts.h"
#include "ItemLines.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "MainLoop.h"
#include "Painting.h"
#include "SmallItems.h"
#include "TestFiles.h"
#include "TextMeasure.h"
#include "VrScope.h"
#include "WindowPlacement.h"
#include "WindowTests.h"

namespace {

TEST(Columns, RectanglesOfTheThreeColumns) {
    // Client width 400, value column at 110, text 50 wide, key offset 3, line at 20, pitch 16.
    struct Row {
        int column;
        bool rtl;
        int gb1, gb2, tb1, tb2, ga1, ga2;
    };
    const Row rows[] = {
        {0, false, 0, 6, 5, 56, 55, 401},
        {1, false, 0, 8, 8, 58, 58, 111},
        {2, false, 110, 111, 110, 161, 160, 401},
        {0, true, 0, 346, 345, 396, 395, 401},
        {1, true, 0, 53, 52, 103, 102, 106},
        {2, true, 110, 346, 345, 396, 395, 396},
    };
    for (const Row& r : rows) {
        const TColumnRects c = ColumnRects(r.column, r.rtl, 50, 400, 110, 3, 20, 16);
        const int got[] = {c.GapBefore.left, c.GapBefore.right, c.TextBox.left,
                           c.TextBox.right,  c.GapAfter.left,   c.GapAfter.right};
        const int want[] = {r.gb1, r.gb2, r.tb1, r.tb2, r.ga1, r.ga2};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(got[i], want[i]) << r.column << " " << r.rtl << " " << i;
        for (const RECT& rc : {c.GapBefore, c.TextBox, c.GapAfter}) {
            EXPECT_EQ(rc.top, 20);
            EXPECT_EQ(rc.bottom, 36);
        }
    }
}

TEST(Columns, OnlyTheKeyColumnMovesByTheOffset) {
    for (bool rtl : {false, true}) {
        for (int column : {0, 2}) {
            const TColumnRects a = ColumnRects(column, rtl, 50, 400, 110, 0, 0, 16);
            const TColumnRects b = ColumnRects(column, rtl, 50, 400, 110, 30, 0, 16);
            EXPECT_EQ(a.TextBox.left, b.TextBox.left) << column << rtl;
        }
        EXPECT_NE(ColumnRects(1, rtl, 50, 400, 110, 0, 0, 16).TextBox.left,
                  ColumnRects(1, rtl, 50, 400, 110, 30, 0, 16).TextBox.left);
    }
}

TEST(FileToText, KeyBeforeTheFirstEqualsSign) {
    struct Row {
        const wchar_t *line, *key, *value;
    };
    const Row rows[] = {
        {L"a=b=c", L"a", L"b=c"}, {L"abc", L"", L"abc"}, {L"=x", L"", L"x"},
        {L"k=", L"k", L""},       {L"", L"", L""},       {L"a & b=1", L"a & b", L"1"},
    };
    for (const Row& r : rows) {
        std::wstring k = L"old", v = L"old";
        SplitKeyValue(r.line, k, v);
        EXPECT_EQ(k, r.key) << r.line;
        EXPECT_EQ(v, r.value) << r.line;
    }
}

TConfigItem MakeItem(const char* keyword, std::vector<std::wstring> lines, int lineHeight = 14, int page = 1) {
    TConfigItem i;
    i.Keyword = keyword;
    i.Active = true;
    i.Page = page;
    i.LineHeight = lineHeight;
    i.ItemData.Lines = std::move(lines);
    return i;
}

TEST(ContentHeight, LinesOfTheShownPage) {
    TVrScope scope(nullptr);
    TConfigItem chart = MakeItem("CPU", {L"5"});
    chart.ChartType = 2;
    chart.Scope = &scope;
    TConfigItem chartWithout = MakeItem("CPU", {L"5"});
    chartWithout.ChartType = 2;
    TConfigItem hidden = MakeItem("CPU", {L"x"});
    hidden.Hidden = 2;
    TConfigItem inactive = MakeItem("CPU", {L"x"});
    inactive.Active = false;
    TConfigItem tall = MakeItem("CPU", {L"x"}, 30);
    // Line spacing 2: pitch 16 for line height 14.
    struct Row {
        const char* what;
        TConfigArray items;
        int logo, nav, expected;
    };
    const Row rows[] = {
        {"nothing", {}, 0, 0, 0},
        {"logo only", {}, 30, 0, 30},
        {"comment: one line whatever its lines", {MakeItem("COMMENT", {L"a", L"b", L"c"})}, 0, 0, 16},
        {"comment without lines", {MakeItem("COMMENT", {})}, 0, 0, 16},
        {"two lines", {MakeItem("CPU", {L"a", L"b"})}, 0, 0, 32},
        {"no lines: no space", {MakeItem("CPU", {})}, 0, 0, 0},
        {"line chart: two pitches more", {chart}, 0, 0, 48},
        {"chart type without a scope", {chartWithout}, 0, 0, 16},
        {"hidden, inactive, other page", {hidden, inactive, MakeItem("CPU", {L"x"}, 14, 2)}, 0, 0, 0},
        {"each item its own pitch", {MakeItem("CPU", {L"x"}), tall}, 10, 0, 10 + 16 + 32},
        {"nav 1", {MakeItem("CPU", {L"x"})}, 0, 1, 40},
        {"nav 2", {MakeItem("CPU", {L"x"})}, 0, 2, 40},
        {"nav 0", {MakeItem("CPU", {L"x"})}, 0, 0, 16},
        {"nav -1", {MakeItem("CPU", {L"x"})}, 0, -1, 16},
    };
    for (const Row& r : rows) EXPECT_EQ(ContentHeightOf(r.items, 1, r.logo, r.nav, 2), r.expected) << r.what;
}

// The display pass onto a real main window: the picture is read back from the window's
// device context right after the pass.
class PaintTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetLogFileName(log.File(L"log.txt"));
        LogLevels = (1 << llDebug) | (1 << llError);
        ResetOptions();
        ClearType = false;  // plain text: glyph pixels have exactly the font colour
        FormColor = kBack;
        savedPage = CurrentPage;
        CurrentPage = 1;
        KeyColumnWidth = 60;
        DisplayArea = RECT{0, 0, 1024, 768};
        WindowTop = 0;
        WindowBottom = -1;
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
        MainForm = form;
        form->SetColor(kBack);
        form->SetBounds(0, 0, 400, 50);
        form->SetClientWidth(400);
        form->Show();
        PumpFor(30);
        lineHeight = MeasureTextHeight(MeasuringText.empty() ? L"Xg" : MeasuringText, L"Arial", 10) + LineSpacing;
    }
    void TearDown() override {
        ConfigItems.clear();
        scopes.clear();
        FontRtl = false;
        TextAlign = 0;
        Nav = 0;
        ClearType = true;
        CurrentPage = savedPage;
        Updating = 0;
        RelayoutPending = 0;
        WindowTest::TearDown();
    }

    TConfigItem Item(const char* keyword, std::vector<std::wstring> lines, TColor color = kGreen) {
        TConfigItem i = MakeItem(keyword, std::move(lines), lineHeight);
        i.Color = color;
        i.FontFace = L"Arial";
        i.FontSize = 10;
        i.Text = L"Key";
        i.Lid = L"id1";
        return i;
    }
    TVrScope* NewScope() {
        scopes.push_back(std::make_unique<TVrScope>(form));
        return scopes.back().get();
    }
    int Pitch() const { return lineHeight + LineSpacing; }

    // Two passes: the first sets the height (which repaints the form), the second draws
    // on the settled window.
    void Paint() {
        UpdateEntries();
        PumpFor(30);
        for (TConfigItem& i : ConfigItems) i.Collected = collectedEachPass;
        UpdateEntries();
        Snapshot();
    }
    void Snapshot() {
        const int w = form->ClientWidth(), h = form->ClientHeight();
        shot = std::make_unique<TBitmap>();
        shot->SetSize(w, std::max(h, 1));
        BitBlt(shot->DC(), 0, 0, w, h, form->Canvas().Handle(), 0, 0, SRCCOPY);
    }
    int Count(const RECT& r, TColor c) const {
        int n = 0;
        for (int y = std::max<int>(r.top, 0); y < std::min<int>(r.bottom, shot->Height()); ++y)
            for (int x = std::max<int>(r.left, 0); x < std::min<int>(r.right, shot->Width()); ++x)
                if (shot->Pixel(x, y) == static_cast<COLORREF>(c)) ++n;
        return n;
    }
    // The leftmost and rightmost x of pixels of colour c in r; -1 when none.
    std::pair<int, int> Extent(const RECT& r, TColor c) const {
        int lo = -1, hi = -1;
        for (int y = std::max<int>(r.top, 0); y < std::min<int>(r.bottom, shot->Height()); ++y)
            for (int x = std::max<int>(r.left, 0); x < std::min<int>(r.right, shot->Width()); ++x)
                if (shot->Pixel(x, y) == static_cast<COLORREF>(c)) {
                    if (lo < 0 || x < lo) lo = x;
                    if (x > hi) hi = x;
                }
        return {lo, hi};
    }
    RECT Row(int line, int left = 0, int right = 400) const {
        return RECT{left, line * Pitch(), right, (line + 1) * Pitch()};
    }
    std::wstring Log() { return ReadLogText(log.File(L"log.txt")); }

    static constexpr TColor kBack = 0x202020;
    static constexpr TColor kGreen = 0x00FF00;
    static constexpr TColor kRed = 0x0000FF;
    static constexpr TColor kWhite = 0xFFFFFF;
    TempFolder log;
    TVistrelMainForm* form = nullptr;
    std::vector<std::unique_ptr<TVrScope>> scopes;
    std::unique_ptr<TBitmap> shot;
    std::int32_t savedPage = 1;
    int lineHeight = 16;
    bool collectedEachPass = false;
};

TEST_F(PaintTest, HeightFollowsTheContentAndThePassCompletes) {
    ConfigItems = {Item("COMMENT", {}), Item("CPU", {L"1", L"2"}), Item("CPU", {})};
    RelayoutPending = 1;
    Paint();
    EXPECT_EQ(form->ClientHeight(), 3 * Pitch());
    EXPECT_EQ(GetContentHeight(), 3 * Pitch());
    EXPECT_EQ(Updating, 0);
    EXPECT_EQ(RelayoutPending, 0);
    EXPECT_NE(Log().find(L"UpdateEntries Complete."), std::wstring::npos);
    EXPECT_EQ(Log().find(L"[Error]"), std::wstring::npos);
}

// An item's font name in a script outside the system code page reaches the canvas font
// unchanged, from the item line to the GDI font the pass draws with.
TEST_F(PaintTest, ItemFontNameOutsideTheCodePage) {
    const std::wstring face = L"\u6E38\u30B4\u30B7\u30C3\u30AF";
    SetConfig({L"CPU=active:1,font-face:" + face}, nullptr);
    ASSERT_EQ(ConfigItems.size(), 1u);
    ConfigItems[0].ItemData.Lines = {L"MMMM"};
    ConfigItems[0].LineHeight = lineHeight;
    Paint();
    EXPECT_EQ(form->Canvas().Font().Name(), face);
    LOGFONTW lf{};
    ASSERT_NE(GetObjectW(form->Canvas().Font().Handle(), sizeof lf, &lf), 0);
    EXPECT_EQ(std::wstring(lf.lfFaceName), face);
}

TEST_F(PaintTest, LabelsInTheKeyColumnValuesBesideThemInLineColours) {
    TConfigItem cpu = Item("CPU", {L"MMMM", L"MMMM"});
    cpu.LineColors = {{0, 0x000080}, {0, kRed}};  // the last match wins
    ConfigItems = {cpu};
    Paint();
    const int v = 5 + KeyColumnWidth + 5;
    EXPECT_GT(Count(Row(0, 0, v), kGreen), 0);   // the label in the item colour
    EXPECT_EQ(Count(Row(0, 0, v), kRed), 0);
    EXPECT_GT(Count(Row(0, v, 400), kRed), 0);   // the value in its line colour
    EXPECT_EQ(Count(Row(0, v, 400), kGreen), 0);
    EXPECT_EQ(Count(Row(0, v, 400), 0x000080), 0);
    EXPECT_GT(Count(Row(1, v, 400), kGreen), 0); // the next line in the item colour
    EXPECT_EQ(Count(Row(1, 0, v), kGreen), 0);   // later lines have no label
    const auto [lo, hi] = Extent(Row(0, v, 400), kRed);
    EXPECT_GE(lo, v);
    EXPECT_LT(hi, v + 80);  // left-aligned at the value column
}

TEST_F(PaintTest, GlyphsReachingPastTheMeasuredWidthAreKept) {
    // Italic letters lean past their advance: the measured width ends before the ink.
    TConfigItem cpu = Item("CPU", {L"1"});
    cpu.Text = L"Wff";
    cpu.Style = 2;
    ConfigItems = {cpu};
    KeyColumnWidth = 100;
    Paint();
    int w = 0;
    GetTextWidth(L"Wff", w);  // the canvas still has the item's font
    const auto [lo, hi] = Extent(Row(0, 0, 5 + KeyColumnWidth), kGreen);
    ASSERT_GE(lo, 0);
    EXPECT_GE(hi, 5 + w) << "the overhang of the last letter is drawn, not filled over";
}

TEST_F(PaintTest, AmpersandIsMeasuredAndDrawnAsItself) {
    int withAmp = 0, without = 0;
    form->Canvas().Font().SetName(L"Arial");
    GetTextWidth(L"A&B", withAmp);
    GetTextWidth(L"AB", without);
    EXPECT_GT(withAmp, without);
    ConfigItems = {Item("CPU", {L"x"})};
    ConfigItems[0].Text = L"A&B";
    const int keyWithAmp = GetKeyTextWidth(0);
    ConfigItems[0].Text = L"AB";
    EXPECT_GT(keyWithAmp, GetKeyTextWidth(0));
    ConfigItems = {Item("COMMENT", {})};
    ConfigItems[0].Text = L"&&&&&&";
    Paint();
    EXPECT_GT(Count(Row(0), kGreen), 0);
}

TEST_F(PaintTest, StyleWDrawsASeparatorUnderEveryLine) {
    TConfigItem cpu = Item("CPU", {L"1", L"2"});
    cpu.Style = 8;
    ConfigItems = {cpu, Item("CPU", {L"3"}, kRed)};
    Paint();
    for (int line : {0, 1}) {
        const int y = line * Pitch() + lineHeight - 1;
        EXPECT_EQ(Count(RECT{5, y, 395, y + 1}, kGreen), 390) << line;
        EXPECT_EQ(shot->Pixel(4, y), static_cast<COLORREF>(kBack)) << line;
        EXPECT_EQ(shot->Pixel(395, y), static_cast<COLORREF>(kBack)) << line;
    }
    const int y = 2 * Pitch() + lineHeight - 1;  // the item without the style has none
    EXPECT_LT(Count(RECT{5, y, 395, y + 1}, kRed), 300);
}

TEST_F(PaintTest, RightToLeftOptions) {
    ConfigItems = {Item("COMMENT", {}), Item("CPU", {L"MM"})};
    Paint();
    auto comment = Extent(Row(0), kGreen);
    EXPECT_LT(comment.second, 200);
    const int v = 5 + KeyColumnWidth + 5;
    auto value = Extent(Row(1, v, 400), kGreen);
    EXPECT_LT(value.second, 200);

    // Global text-align: key columns right-aligned, a COMMENT not, values never.
    TextAlign = 1;
    Paint();
    comment = Extent(Row(0), kGreen);
    EXPECT_LT(comment.second, 200);
    auto key = Extent(Row(1, 0, v), kGreen);
    EXPECT_GE(key.second, v - 5 - 3);
    EXPECT_LT(key.second, v - 5 + 1);
    value = Extent(Row(1, v, 400), kGreen);
    EXPECT_LT(value.second, 200);

    // font-rtl: every column; the COMMENT ends at the right margin.
    TextAlign = 0;
    FontRtl = true;
    Paint();
    comment = Extent(Row(0), kGreen);
    EXPECT_GT(comment.first, 200);
    EXPECT_LT(comment.second, 395 + 1);
    EXPECT_GE(Extent(Row(1, 0, v), kGreen).second, v - 5 - 3);
    EXPECT_LT(Extent(Row(1, v, 400), kGreen).second, 200);  // values of ordinary items stay left
}

TEST_F(PaintTest, FileToTextKeyAndValue) {
    TConfigItem f = Item("FILE2TEXT", {L"MM=MM=MM", L"MMMM"});
    ConfigItems = {f};
    Paint();
    const int v = 5 + KeyColumnWidth + 5;
    EXPECT_GT(Count(Row(0, 0, v), kGreen), 0);
    EXPECT_GT(Count(Row(0, v, 400), kGreen), 0);
    EXPECT_EQ(Count(Row(1, 0, v), kGreen), 0);  // no "=": all value
    EXPECT_GT(Count(Row(1, v, 400), kGreen), 0);
}

TEST_F(PaintTest, BarMeterAfterTheTextBeforeChart) {
    TConfigItem cpu = Item("CPU", {L"CPU %chart% after"}, kWhite);
    cpu.ChartType = 1;
    cpu.ChartMax = 100 * 10000;
    cpu.BarLevel = 20 * 10000;
    cpu.ChartValue = 1;
    cpu.ItemData.Data = {{Variant(std::int32_t{50})}};
    ConfigItems = {cpu};
    Paint();
    int before = 0;
    form->Canvas().Font().SetName(L"Arial");
    form->Canvas().Font().SetSize(10);
    GetTextWidth(L"CPU ", before);
    const int x1 = 5 + KeyColumnWidth + 5 + before;
    EXPECT_EQ(shot->Pixel(x1 + 20, 0), static_cast<COLORREF>(kWhite));          // top of the frame
    EXPECT_EQ(shot->Pixel(x1 + 3, lineHeight / 2), static_cast<COLORREF>(0x008800));  // solid green start
    EXPECT_EQ(shot->Pixel(393, lineHeight / 2), static_cast<COLORREF>(kBack));  // beyond 50 %
    EXPECT_EQ(shot->Pixel(394, lineHeight / 2), static_cast<COLORREF>(kWhite)); // right edge of the frame
}

TEST_F(PaintTest, BarsWithoutMaximumOrDataRowDoNotEndThePass) {
    TConfigItem noMax = Item("CPU", {L"%chart%"}, kWhite);
    noMax.ChartType = 1;
    noMax.ChartMax = 0;
    noMax.ChartValue = 1;
    noMax.ItemData.Data = {{Variant(std::int32_t{50})}};
    TConfigItem twoBars = Item("CPU", {L"%chart%", L"%chart%"}, kWhite);
    twoBars.ChartType = 1;
    twoBars.ChartMax = 100 * 10000;
    twoBars.ChartValue = 1;
    twoBars.ItemData.Data = {{Variant(std::int32_t{50})}};  // no row for the second bar
    TConfigItem after = Item("COMMENT", {});
    ConfigItems = {noMax, twoBars, after};
    Paint();
    EXPECT_EQ(Log().find(L"[Error]"), std::wstring::npos);
    EXPECT_NE(Log().find(L"UpdateEntries Complete."), std::wstring::npos);
    EXPECT_GT(Count(Row(3), kGreen), 0);                  // the item below is drawn
    EXPECT_EQ(Count(Row(2, 70, 400), kWhite), 0);         // the second bar is not
    EXPECT_GT(Count(Row(1, 70, 400), kWhite), 0);         // the first one is
}

TEST_F(PaintTest, ValueThatIsNoNumberEndsThePass) {
    TConfigItem cpu = Item("CPU", {L"%chart%"}, kWhite);
    cpu.ChartType = 1;
    cpu.ChartMax = 100 * 10000;
    cpu.ChartValue = 1;
    cpu.ItemData.Data = {{Variant(std::wstring(L"abc"))}};
    ConfigItems = {cpu, Item("COMMENT", {})};
    RelayoutPending = 1;
    UpdateEntries();
    EXPECT_EQ(Updating, 0);
    EXPECT_EQ(RelayoutPending, 0);
    const std::wstring text = Log();
    EXPECT_NE(text.find(L"UpdateEntries: " + ErrorText + L"id:CPU (id1) bar meter "), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"UpdateEntries Complete."), std::wstring::npos);
}

TEST_F(PaintTest, SecondCallDuringAPassDoesNothing) {
    ConfigItems = {Item("COMMENT", {})};
    Updating = 1;
    RelayoutPending = 1;
    UpdateEntries();
    EXPECT_EQ(Updating, 1);
    EXPECT_EQ(RelayoutPending, 1);
    EXPECT_EQ(Log().find(L"UpdateEntries"), std::wstring::npos);
}

// The pass serves window messages; a page chosen from the menu while it runs keeps its
// relayout request for the next tick, while a pass without a page change clears the flag.
TEST_F(PaintTest, PageChosenDuringAPassIsLaidOutByTheNextTick) {
    TConfigItem second = Item("COMMENT", {}, kRed);
    second.Page = 2;
    ConfigItems = {Item("COMMENT", {}), second};
    form->OnPageChangeProc = PageHook;
    UpdateEntries();
    PumpFor(30);
    RelayoutPending = 1;
    UpdateEntries();
    EXPECT_EQ(RelayoutPending, 0) << "a pass clears the relayout flag";

    // The menu opens inside the pass and takes the key that chooses page 2.
    PostMessageW(form->Handle(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    PostMessageW(form->Handle(), WM_CHAR, L'2', 0);
    UpdateEntries();
    EXPECT_EQ(CurrentPage.load(), 2);
    EXPECT_TRUE(form->PopupMenu1.Items(1).Checked);
    EXPECT_EQ(RelayoutPending, 1) << "the new page is laid out by the next tick";
    EXPECT_NE(Log().find(L"UpdateEntries Complete."), std::wstring::npos);
    UpdateEntries();
    EXPECT_EQ(RelayoutPending, 0);
}

TEST_F(PaintTest, NavTwoMovesTheFirstLineDown) {
    Nav = 2;
    ConfigItems = {Item("COMMENT", {})};
    Paint();
    EXPECT_EQ(form->ClientHeight(), Pitch() + 24);
    EXPECT_EQ(Count(RECT{0, 0, 200, 24}, kGreen), 0);
    EXPECT_GT(Count(RECT{0, 24, 200, 24 + Pitch()}, kGreen), 0);
}

TEST_F(PaintTest, LineChartIsPlacedAttachedOnceAndDetachedOffItsPage) {
    TConfigItem chart = Item("CPU", {L"5"});
    chart.ChartType = 2;
    chart.ChartValue = 1;
    chart.ItemData.Data = {{Variant(std::int32_t{5})}};
    chart.Scope = NewScope();
    ConfigItems = {Item("COMMENT", {}), chart};
    collectedEachPass = true;
    Paint();
    TVrScope* scope = ConfigItems[1].Scope;
    const int v = 5 + KeyColumnWidth + 5;
    EXPECT_TRUE(scope->Visible());
    EXPECT_EQ(scope->Left(), v + 1);
    EXPECT_EQ(scope->Top(), 2 * Pitch() + 1);
    EXPECT_EQ(scope->Width(), 400 - v - 7);
    EXPECT_EQ(scope->Height(), 2 * lineHeight + LineSpacing - 5);
    EXPECT_FALSE(ConfigItems[1].Collected);
    EXPECT_EQ(form->ClientHeight(), 4 * Pitch());
    EXPECT_NE(Log().find(L"UpdateEntries: Scope Done"), std::wstring::npos);

    CurrentPage = 2;
    UpdateEntries();
    EXPECT_FALSE(scope->Visible());
    CurrentPage = 1;
    UpdateEntries();  // not collected since: stays off the window
    EXPECT_FALSE(scope->Visible());
    ConfigItems[1].Collected = true;
    UpdateEntries();
    EXPECT_TRUE(scope->Visible());
}

// Values past 2^31 (and past 4 GiB) are scaled or clamped for drawing: the line chart
// takes them on every pass and the items below it are drawn.
TEST_F(PaintTest, HugeChartValuesAreDrawnAndTheItemsBelowToo) {
    constexpr std::int64_t GiB = 1073741824, U = 10000;
    TConfigItem chart = Item("CPU", {L"5"});
    chart.ChartType = 2;
    chart.ChartMax = 8 * GiB * U;
    chart.ChartValue = 1;
    chart.ChartValue2 = 2;
    chart.ItemData.Data = {{Variant(6.0 * GiB), Variant::FromCurrencyCount(7 * GiB * U)}};
    chart.Scope = NewScope();
    chart.Scope->Channels().Add();
    chart.Scope->Channels().Add();
    chart.Scope->SetMaxValue(ScopeMaxValue(chart.ChartMax));
    TConfigItem small = Item("CPU", {L"5"});  // a small maximum and a huge value: clamped
    small.ChartType = 2;
    small.ChartMax = 100 * U;
    small.ChartValue = 1;
    small.ItemData.Data = {{Variant(5.0 * GiB)}};
    small.Scope = NewScope();
    small.Scope->Channels().Add();
    TConfigItem bar = Item("CPU", {L"%chart%"}, kWhite);  // past the fixed-point range
    bar.ChartType = 1;
    bar.ChartMax = 100 * U;
    bar.ChartValue = 1;
    bar.ItemData.Data = {{Variant(1e300)}};
    chart.Collected = small.Collected = true;
    ConfigItems = {chart, small, bar, Item("COMMENT", {}, kRed)};
    collectedEachPass = true;
    Paint();
    const std::wstring text = Log();
    EXPECT_EQ(text.find(L"[Error]"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"UpdateEntries: id:"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"UpdateEntries Complete."), std::wstring::npos);
    // Rows: chart 0 to 2, the small chart 3 to 5, the bar 6, the comment 7.
    EXPECT_GT(Count(Row(7), kRed), 0) << "the item below the charts is drawn";
    EXPECT_GT(Count(Row(6, 70, 400), 0x008800), 0) << "the bar is filled";

    // Two passes, two values per channel, on the chart's scale.
    for (const TConfigItem& item : {ConfigItems[0], ConfigItems[1]}) EXPECT_EQ(item.Scope->UpdateCount(), 0);
    const std::string& first = ConfigItems[0].Scope->Channels().Items(0).Values();
    const std::string& second = ConfigItems[0].Scope->Channels().Items(1).Values();
    ASSERT_EQ(first.size(), 20u);
    ASSERT_EQ(second.size(), 20u);
    EXPECT_EQ(std::stoll(first.substr(0, 10)), ScopeValue(6 * GiB * U, chart.ChartMax));
    EXPECT_EQ(std::stoll(second.substr(0, 10)), ScopeValue(7 * GiB * U, chart.ChartMax));
    const std::string& clamped = ConfigItems[1].Scope->Channels().Items(0).Values();
    ASSERT_EQ(clamped.size(), 20u);
    EXPECT_EQ(std::stoll(clamped.substr(0, 10)), 100) << "held at the chart's maximum";
}

TEST_F(PaintTest, LineChartOnANarrowValueColumnIsNotDrawnButTakesItsSpace) {
    KeyColumnWidth = form->ClientWidth() - 5 - 5 - 10;  // a value column 10 pixels wide
    TConfigItem chart = Item("CPU", {L"5"});
    chart.ChartType = 2;
    chart.ChartValue = 1;
    chart.ItemData.Data = {{Variant(std::int32_t{5})}};
    chart.Scope = NewScope();
    ConfigItems = {chart};
    collectedEachPass = true;
    Paint();
    EXPECT_FALSE(ConfigItems[0].Scope->Visible());
    EXPECT_EQ(form->ClientHeight(), 3 * Pitch());
}

TEST_F(PaintTest, ManyPassesLeaveTheGdiObjectCountWhereItWas) {
    TConfigItem bar = Item("CPU", {L"CPU %chart%"}, kWhite);
    bar.ChartType = 1;
    bar.ChartMax = 100 * 10000;
    bar.ChartValue = 1;
    bar.ItemData.Data = {{Variant(std::int32_t{70})}};
    TConfigItem chart = Item("CPU", {L"5"});
    chart.ChartType = 2;
    chart.ChartValue = 1;
    chart.ChartValue2 = 1;
    chart.ItemData.Data = {{Variant(std::int32_t{5})}};
    chart.Scope = NewScope();
    TConfigItem control = Item("CONTROL", {L"x"});
    TConfigItem separated = Item("CPU", {L"a", L"b"}, kRed);
    separated.Style = 8 | 1;
    ConfigItems = {Item("COMMENT", {}), bar, chart, control, separated};
    collectedEachPass = true;
    Paint();
    const long start = LiveGdiObjects();
    for (int i = 0; i < 40; ++i) {
        for (TConfigItem& item : ConfigItems) item.Collected = true;
        ConfigItems[1].ItemData.Data[0][0] = Variant(std::int32_t{i * 3});
        UpdateEntries();
    }
    EXPECT_EQ(LiveGdiObjects(), start);
    EXPECT_EQ(Log().find(L"[Error]"), std::wstring::npos);
}

struct ControlCall {
    int top, left, right;
    bool rtl;
};
std::vector<ControlCall> controlCalls;
void RecordControl(TConfigItem&, TVistrelMainForm*, int top, int left, int right, bool rtl) {
    controlCalls.push_back({top, left, right, rtl});
}

TEST_F(PaintTest, ControlItemsPlaceTheirControlOnlyWhenCollected) {
    SetupUserControlHook = RecordControl;
    controlCalls.clear();
    TConfigItem plain = Item("CONTROL", {L"x"});
    TConfigItem wide = Item("CONTROL", {L"x"});
    wide.Style = 8;
    ConfigItems = {plain, wide};
    UpdateEntries();  // not collected: no control is placed
    EXPECT_TRUE(controlCalls.empty());
    for (TConfigItem& i : ConfigItems) i.Collected = true;
    FontRtl = true;
    UpdateEntries();
    SetupUserControlHook = nullptr;
    ASSERT_EQ(controlCalls.size(), 2u);
    const int v = 5 + KeyColumnWidth + 5;
    EXPECT_EQ(controlCalls[0].top, 0);
    EXPECT_EQ(controlCalls[0].left, v);   // beside the label
    EXPECT_EQ(controlCalls[0].right, 395);
    EXPECT_TRUE(controlCalls[0].rtl);
    EXPECT_EQ(controlCalls[1].top, Pitch());
    EXPECT_EQ(controlCalls[1].left, 5);   // style "w": the whole width
    EXPECT_EQ(controlCalls[1].right, 395);
}

}  // namespace

// A CONTROL item's button is shown where its item is drawn; when the item is not drawn
// (its page is not the shown one, it is switched off or hidden) the button goes off the
// window and nothing of it stays on the screen, also where the pass draws nothing (the
// lines of a line chart that has no value yet).
TEST_F(PaintTest, ControlsOfItemsNotDrawnLeaveTheWindow) {
    struct Row {
        const char* what;
        void (*undraw)(TConfigItem& control);
    };
    const Row rows[] = {
        {"the other page is shown", [](TConfigItem&) { CurrentPage = 2; }},
        {"switched off", [](TConfigItem& c) { c.Active = false; }},
        {"hidden", [](TConfigItem& c) { c.Hidden = 1; }},
    };
    constexpr TColor kFace = 0x228822;  // the button's default face colour
    SetupUserControlHook = SetupUserControl;
    for (const Row& r : rows) {
        CurrentPage = 1;
        TConfigItem first = Item("CPU", {L"a"}, kRed);
        TConfigItem control = Item("CONTROL", {});
        control.Options[0] = {L"display", Variant(std::wstring(L"Press"))};
        TConfigItem last = Item("CPU", {L"b"}, kRed);
        // The same height on page 2: a line and a line chart still waiting for its value.
        TConfigItem chart = Item("CPU", {L"c"}, kRed);
        chart.Page = 2;
        chart.ChartType = 2;
        chart.Scope = NewScope();
        ConfigItems = {first, control, last, chart};
        CreateItemButton(ConfigItems[1], 1, form);
        ASSERT_NE(ConfigItems[1].Control, nullptr);
        collectedEachPass = true;
        Paint();
        const RECT button = ConfigItems[1].Control->BoundsRect();
        ASSERT_TRUE(ConfigItems[1].Control->Visible()) << r.what;
        ASSERT_GT(Count(button, kFace), 10) << r.what << ": the button is on the screen";

        r.undraw(ConfigItems[1]);
        for (TConfigItem& i : ConfigItems) i.Collected = false;
        UpdateEntries();
        PumpFor(30);
        Snapshot();
        EXPECT_FALSE(ConfigItems[1].Control->Visible()) << r.what;
        EXPECT_EQ(Count(RECT{0, 0, form->ClientWidth(), form->ClientHeight()}, kFace), 0)
            << r.what << ": nothing of the button stays";
        ReleaseItemControl(ConfigItems[1]);
    }
    SetupUserControlHook = nullptr;
}

// A line chart is on the window while its item is drawn; when the pass stops drawing the
// item (it belongs to another page, an IF switched it off, it is hidden, or it is hidden
// for want of a result) the chart goes off the window, and nothing of it stays over the
// items that move up into its place, also where the pass draws nothing (the lines of a
// line chart that has no new value yet).
TEST_F(PaintTest, ChartsOfItemsNotDrawnLeaveTheWindow) {
    struct Case {
        const char* what;
        void (*undraw)(TConfigItem& chart);
    };
    const Case cases[] = {
        {"on another page", [](TConfigItem& c) { c.Page = 2; }},
        {"switched off", [](TConfigItem& c) { c.Active = false; }},
        {"hidden", [](TConfigItem& c) { c.Hidden = 1; }},
        {"hidden for want of a result",
         [](TConfigItem& c) {
             c.Hidden = 2;
             c.ItemData = TItemData{};
         }},
    };
    constexpr TColor kChart = 0x00FFFF;  // the chart item's colour: its label and frame
    auto lineChart = [&](TColor colour) {
        TConfigItem chart = Item("CPU", {L"5"}, colour);
        chart.ChartType = 2;
        chart.ChartMax = 10 * 10000;
        chart.ChartValue = 1;
        chart.ItemData.Data = {{Variant(std::int32_t{5})}};
        chart.Scope = NewScope();
        chart.Scope->Channels().Add();
        chart.Scope->SetMaxValue(10);
        return chart;
    };
    for (const Case& r : cases) {
        CurrentPage = 1;
        ConfigItems = {Item("CPU", {L"a"}, kRed), lineChart(kChart), lineChart(kRed), Item("CPU", {L"b", L"c"}, kRed)};
        collectedEachPass = true;
        Paint();
        TVrScope* scope = ConfigItems[1].Scope;
        ASSERT_TRUE(scope->Visible()) << r.what;
        const RECT bounds = scope->BoundsRect();
        const POINT middle{(bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2};
        ASSERT_EQ(ChildWindowFromPointEx(form->Handle(), middle, CWP_SKIPINVISIBLE), scope->Handle()) << r.what;
        ASSERT_GT(Count(RECT{0, 0, form->ClientWidth(), form->ClientHeight()}, kChart), 10) << r.what;

        // The second chart moves up into the first one's place without a new value, so it
        // draws nothing there.
        r.undraw(ConfigItems[1]);
        for (TConfigItem& i : ConfigItems) i.Collected = false;
        UpdateEntries();
        PumpFor(30);
        UpdateEntries();
        Snapshot();
        EXPECT_FALSE(scope->Visible()) << r.what;
        EXPECT_EQ(ChildWindowFromPointEx(form->Handle(), middle, CWP_SKIPINVISIBLE), form->Handle())
            << r.what << ": the chart still covers the window";
        EXPECT_EQ(Count(RECT{0, 0, form->ClientWidth(), form->ClientHeight()}, kChart), 0)
            << r.what << ": the chart's frame stays on the window";
        EXPECT_GT(Count(Row(0), kRed), 0) << r.what << ": the lines are drawn";
        ConfigItems.clear();
        scopes.clear();
    }
}
