#include <windows.h>

#include <gtest/gtest.h>

#include "VrScope.h"

namespace {

constexpr COLORREF kBack = RGB(0, 0, 0), kGrid = RGB(0, 0, 255), kBase = RGB(255, 0, 0), kLine = RGB(0, 255, 0),
                   kLine2 = RGB(255, 255, 0);

// A 100 x 137 chart with distinct colours, one or two channels.
void Configure(TVrScope& s, int channels = 1) {
    s.SetBounds(0, 0, 100, 137);
    s.SetColor(kBack);
    s.SetGridColor(kGrid);
    s.SetBaseColor(kBase);
    for (int i = 0; i < channels; ++i) s.Channels().Add().SetColor(i == 0 ? kLine : kLine2);
}

int CountColumn(TBitmap& b, int x, COLORREF c) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y) n += b.Pixel(x, y) == c;
    return n;
}

}  // namespace

TEST(VrScope, Entries) {
    struct Row { int value; std::string entry; };
    const Row rows[] = {{7, "0000000007"}, {-7, "-000000007"}, {0, "0000000000"},
                        {2147483647, "2147483647"}, {-999999999, "-999999999"}, {-2147483647 - 1, "-999999999"}};
    for (const Row& r : rows) EXPECT_EQ(ScopeValueEntry(r.value), r.entry) << r.value;
}

TEST(VrScope, ValueToY) {
    struct Row { int value, min, max, height, y; };
    const Row rows[] = {
        {50, 0, 100, 137, 69}, {0, 0, 100, 137, 137}, {100, 0, 100, 137, 0}, {1, 0, 3, 100, 67},
        {5, 5, 5, 40, 40},  // no range: the bottom
        {2147483647, -2147483647 - 1, 2147483647, 100, 0},
    };
    for (const Row& r : rows) EXPECT_EQ(ScopeValueToY(r.value, r.min, r.max, r.height), r.y) << r.value;
}

TEST(VrScope, Baseline) {
    struct Row { int height, offset, y; };
    // round(137 * 0.5) = round(68.5) = 68 (halves to even); round(69.5) = 70.
    const Row rows[] = {{137, 50, 68}, {139, 50, 68}, {137, 0, 136}, {100, 100, -1}, {100, 25, 74}};
    for (const Row& r : rows) EXPECT_EQ(ScopeBaselineY(r.height, r.offset), r.y) << r.height << " " << r.offset;
}

TEST(VrScope, Defaults) {
    TVrScope s(nullptr);
    EXPECT_EQ(s.Width(), 249);
    EXPECT_EQ(s.Height(), 137);
    EXPECT_EQ(s.Color(), clBlack);
    EXPECT_EQ(s.MaxValue(), 100);
    EXPECT_EQ(s.MinValue(), 0);
    EXPECT_EQ(s.GridSize(), 16);
    EXPECT_EQ(s.GridColor(), clGreen);
    EXPECT_EQ(s.BaseOffset(), 50);
    EXPECT_EQ(s.BaseColor(), clLime);
    EXPECT_EQ(s.BufferSize, 999);
    EXPECT_EQ(s.Interval(), 100);
    EXPECT_TRUE(s.AutoUpdate());
    EXPECT_TRUE(s.Threaded());
    EXPECT_FALSE(s.Active());
    EXPECT_FALSE(s.InternalTimer().Enabled());
    EXPECT_EQ(s.Channels().Add().Color(), clYellow);
}

TEST(VrScope, AddValueClampsChannelAndValue) {
    TVrScope s(nullptr);
    s.AddValue(0, 1);  // no channels: nothing
    Configure(s, 2);
    s.AddValue(5, 30);
    s.AddValue(-1, 40);
    s.AddValue(0, 150);
    s.AddValue(1, -20);
    EXPECT_EQ(s.Channels().Items(0).Values(), "0000000100" "0000000040");
    EXPECT_EQ(s.Channels().Items(1).Values(), "0000000000" "0000000030");
}

TEST(VrScope, BufferCap) {
    TVrScope s(nullptr);
    Configure(s);
    for (int i = 1; i <= 1000; ++i) s.AddValue(0, i % 100);
    const std::string& v = s.Channels().Items(0).Values();
    EXPECT_EQ(v.size(), 9990u);
    EXPECT_EQ(v.substr(0, 10), "0000000000");       // value 1000 % 100, the newest
    EXPECT_EQ(v.substr(9980, 10), "0000000002");     // value 1 fell off
    s.BufferSize = 3;
    s.AddValue(0, 9);
    EXPECT_EQ(s.Channels().Items(0).Values(), "0000000009" "0000000000" "0000000099");
}

TEST(VrScope, MaxAndMinRules) {
    TVrScope s(nullptr);
    Configure(s);
    s.AddValue(0, 10);
    s.SetMaxValue(0);  // = MinValue: ignored, data kept
    EXPECT_EQ(s.MaxValue(), 100);
    s.SetMaxValue(-5);
    EXPECT_EQ(s.MaxValue(), 100);
    s.SetMinValue(100);
    EXPECT_EQ(s.MinValue(), 0);
    EXPECT_FALSE(s.Channels().Items(0).Values().empty());
    s.SetMaxValue(50);
    EXPECT_EQ(s.MaxValue(), 50);
    EXPECT_TRUE(s.Channels().Items(0).Values().empty());
}

TEST(VrScope, GridSizeOfZeroOrLessIsIgnored) {
    TVrScope s(nullptr);
    s.SetGridSize(0);
    EXPECT_EQ(s.GridSize(), 16);
    s.SetGridSize(-3);
    EXPECT_EQ(s.GridSize(), 16);
    s.SetGridSize(8);
    EXPECT_EQ(s.GridSize(), 8);
}

TEST(VrScope, ValueDrawnAtItsHeight) {
    TVrScope s(nullptr);
    Configure(s);
    s.SetBaseOffset(0);  // baseline at the bottom row
    s.SetGridColor(kBack);
    s.AddValue(0, 50);
    s.AddValue(0, 50);
    s.RenderBuffer();
    TBitmap& b = s.Buffer();
    // Values enter at the right: from (101, 136) up to (100, 69), across to (99, 69), and
    // the exhausted buffer ends the line on the baseline at (98, 136).
    EXPECT_EQ(b.Pixel(99, 69), kLine);
    EXPECT_EQ(b.Pixel(99, 68), kBack);
    EXPECT_EQ(b.Pixel(50, 100), kBack);
}

TEST(VrScope, SteadyValueDrawsAFlatLine) {
    TVrScope s(nullptr);
    Configure(s);
    s.SetBaseOffset(0);
    s.SetGridColor(kBack);
    for (int i = 0; i < 200; ++i) s.AddValue(0, 50);
    s.RenderBuffer();
    TBitmap& b = s.Buffer();
    for (int x = 1; x < 99; x += 7) EXPECT_EQ(b.Pixel(x, 69), kLine) << x;
    EXPECT_EQ(b.Pixel(50, 70), kBack);
}

TEST(VrScope, EmptyChannelDrawsOnTheBaseline) {
    TVrScope s(nullptr);
    Configure(s);
    s.SetGridColor(kBack);
    s.SetBaseColor(kBase);
    s.RenderBuffer();
    TBitmap& b = s.Buffer();
    const int base = ScopeBaselineY(137, 50);
    // Only the baseline: the channel's one segment lies right of the visible area.
    EXPECT_EQ(b.Pixel(99, base), kBase);
    EXPECT_EQ(b.Pixel(0, base), kBase);
    EXPECT_EQ(CountColumn(b, 99, kLine), 0);
    EXPECT_EQ(CountColumn(b, 50, kBase), 1);
}

TEST(VrScope, GridLines) {
    TVrScope s(nullptr);
    s.SetBounds(0, 0, 40, 40);
    s.SetColor(kBack);
    s.SetGridColor(kGrid);
    s.SetBaseColor(kBase);
    s.SetGridSize(10);
    s.SetBaseOffset(0);  // baseline y 39
    s.RenderBuffer();
    TBitmap& b = s.Buffer();
    for (int x : {0, 10, 20, 30}) EXPECT_EQ(b.Pixel(x, 5), kGrid) << x;
    EXPECT_EQ(b.Pixel(5, 5), kBack);
    for (int y : {29, 19, 9}) EXPECT_EQ(b.Pixel(5, y), kGrid) << y;
    EXPECT_EQ(b.Pixel(5, 39), kBase);
    EXPECT_EQ(b.Pixel(5, 30), kBack);
}

TEST(VrScope, TimerTickPullsValuesAndMovesTheGrid) {
    TVrScope s(nullptr);
    Configure(s, 2);
    s.OnNeedData = [](TVrScope*, int channel, int& value) { value = channel == 0 ? 42 : 500; };
    s.TimerTick();
    EXPECT_EQ(s.Channels().Items(0).Values(), "0000000042");
    EXPECT_EQ(s.Channels().Items(1).Values(), "0000000100");
    EXPECT_EQ(s.GridOffset(), 1);
    for (int i = 0; i < 15; ++i) s.TimerTick();
    EXPECT_EQ(s.GridOffset(), 0);  // wraps at the grid size
}
