#include <gtest/gtest.h>

#include <cmath>

#include "BarMeter.h"
#include "Canvas.h"
#include "Errors.h"
#include "Variant.h"

namespace {

constexpr TColor kYellowish = 0x008888;

TEST(BarColorToken, TokensAreTakenOffTheTextInTurn) {
    struct Row {
        const wchar_t* text;
        TColor expected;
        const wchar_t* rest;
    };
    const Row rows[] = {
        {L"", 0x123456, L""},                     // nothing: the default
        {L"0000FF", 0x0000FF, L""},               // blue-green-red digits as they are
        {L"#FF0000", 0x0000FF, L""},              // a number sign: red-green-blue digits
        {L"  00FF00  #0000FF ", 0x00FF00, L" #0000FF"},  // the rest is trimmed on the next call
        {L"zz 00FF00", 0x123456, L"00FF00"},      // not hexadecimal: the default, token gone
        {L"#12345", 0x123456, L""},               // a short html colour is no number
        {L"ff", 0x0000FF, L""},
        {L"123456789", 0x123456, L""},            // more than 32 bits
    };
    for (const Row& r : rows) {
        std::wstring text = r.text;
        EXPECT_EQ(ParseColorToken(text, 0x123456), r.expected) << r.text;
        EXPECT_EQ(text, r.rest) << r.text;
    }
}

TEST(BarPlan, LevelRules) {
    struct Row {
        int percent, level;
        const wchar_t* colours;
        TColor c1, c2, c3;
        int knee;
    };
    const Row rows[] = {
        {50, 20, L"", kBarGreen, kBarYellow, kBarRed, 20},
        {50, 80, L"", kBarGreen, kBarYellow, kBarRed, 80},
        {50, 5, L"", kBarGreen, kBarYellow, kBarRed, 20},          // the knee is at least 20
        {50, 150, L"", kBarGreen, kBarYellow, kBarRed, 100},       // and never beyond the bar
        {50, 0, L"", kBarGreen, kBarGreen, kBarGreen, 99},         // level 0: one colour
        {50, 0, L"#FF0000", 0x0000FF, 0x0000FF, 0x0000FF, 99},
        {95, -90, L"", kBarGreen, kBarGreen, kBarGreen, 20},       // alarm not reached
        {90, -90, L"", kBarRed, kBarRed, kBarRed, 90},             // alarm reached
        {0, -90, L"#FFFFFF", kBarRed, kBarRed, kBarRed, 90},
        {10, -150, L"", kBarRed, kBarRed, kBarRed, 100},
        {50, 80, L"#FF0000", 0x0000FF, kBarYellow, kBarRed, 80},   // missing tokens: defaults
        {50, 80, L"zz", kBarGreen, kBarYellow, kBarRed, 80},
        {50, 80, L"000001 000002 000003", 1, 2, 3, 80},
    };
    for (const Row& r : rows) {
        const TBarPlan p = BarMeterPlan(r.percent, r.level, r.colours);
        EXPECT_EQ(p.Color1, r.c1) << r.percent << " " << r.level;
        EXPECT_EQ(p.Color2, r.c2) << r.percent << " " << r.level;
        EXPECT_EQ(p.Color3, r.c3) << r.percent << " " << r.level;
        EXPECT_EQ(p.Knee, r.knee) << r.percent << " " << r.level;
    }
}

TEST(GradientBar, FillStopsAtThePercentageAndAtTheFrame) {
    const RECT r{10, 0, 110, 8};  // 100 columns
    struct Row {
        int percent, knee;
        size_t columns;
    };
    const Row rows[] = {
        {0, 20, 1},     // the first column is drawn before the stop test
        {-5, 20, 1},
        {1, 20, 2},
        {50, 20, 51},
        {100, 20, 100},
        {150, 20, 100},  // to the last column inside the frame and no further
        {150, 100, 100},
        {150, 250, 100},
    };
    for (const Row& row : rows)
        EXPECT_EQ(GradientBarColumns(r, kBarGreen, kBarYellow, kBarRed, row.percent, row.knee).size(), row.columns)
            << row.percent << " " << row.knee;
}

TEST(GradientBar, SolidBlendAndBlendSpans) {
    const RECT r{0, 0, 100, 8};
    const auto c = GradientBarColumns(r, kBarGreen, kBarYellow, kBarRed, 100, 80);
    ASSERT_EQ(c.size(), 100u);
    EXPECT_EQ(c[0], kBarGreen);
    EXPECT_EQ(c[60], kBarGreen);   // solid to knee - 20
    EXPECT_EQ(c[80], kBarYellow);  // the knee has the second colour
    EXPECT_EQ(c[99], 0x0007B9);    // red 136 + ceil(19 * 51 / 20), green 136 + ceil(19 * -136 / 20)
    // Between the spans every channel moves one way only.
    for (int x = 61; x < 80; ++x) EXPECT_GE(c[x] & 0xFF, c[x - 1] & 0xFF) << x;
}

TEST(GradientBar, DefaultLevelIsSolidToTenPercent) {
    const RECT r{0, 0, 200, 8};
    const auto c = GradientBarColumns(r, kBarGreen, kBarYellow, kBarRed, 100, 20);
    EXPECT_EQ(c[20], kBarGreen);
    EXPECT_NE(c[21], kBarGreen);
    EXPECT_EQ(c[40], kBarYellow);
}

TEST(GradientBar, SpanWithoutWidthTakesItsStartColour) {
    // Four columns: solid end and knee are both the first column.
    const auto c = GradientBarColumns(RECT{0, 0, 4, 8}, 0x000010, 0x000020, 0x000030, 100, 20);
    ASSERT_EQ(c.size(), 4u);
    // The empty blend gives the first colour; the last span then starts over it.
    EXPECT_EQ(c[0], 0x000020);
    EXPECT_EQ(c[1], 0x000024);
    EXPECT_EQ(c[3], 0x00002C);
    // Knee 100 with a fill beyond: the last span starts at the last column.
    const auto d = GradientBarColumns(RECT{0, 0, 50, 8}, kBarGreen, kBarYellow, kBarRed, 300, 100);
    ASSERT_EQ(d.size(), 50u);
    EXPECT_EQ(d[49], kBarYellow);
}

TEST(GradientBar, EmptyBarDrawsNothing) {
    EXPECT_TRUE(GradientBarColumns(RECT{5, 0, 5, 8}, kBarGreen, kBarYellow, kBarRed, 100, 20).empty());
    EXPECT_TRUE(GradientBarColumns(RECT{5, 0, 3, 8}, kBarGreen, kBarYellow, kBarRed, 100, 20).empty());
}

TEST(BarMaths, Percent) {
    struct Row {
        std::int64_t value, max;
        int expected;
    };
    const Row rows[] = {
        {500000, 1000000, 50},
        {959999, 1000000, 95},      // each side truncated to whole units first
        {1500000, 1000000, 150},
        {0, 1000000, 0},
        {500000, 0, 0},             // a maximum that truncates to 0 shows 0 %
        {500000, 9999, 0},
        {500000, -9999, 0},
        {500000, -10000, -5000},    // no maximum given: a negative percent (first column only)
        {-200000, 1000000, -20},
        {INT64_MAX, 10000, INT32_MAX},  // clamped to the int range
    };
    for (const Row& r : rows) EXPECT_EQ(BarPercent(r.value, r.max), r.expected) << r.value << " " << r.max;
}

TEST(BarMaths, Log2) {
    struct Row {
        std::int64_t value, expected;
    };
    const Row rows[] = {
        {80000, 30000}, {10000, 0}, {15000, 5850}, {5000, -10000}, {0, 0}, {-5, -5}, {10240000, 100000},
    };
    for (const Row& r : rows) EXPECT_EQ(FixedLog2(r.value), r.expected) << r.value;
}

TEST(BarMaths, VariantToFixed) {
    EXPECT_EQ(VariantToFixed(Variant::FromCurrencyCount(123456)), 123456);
    EXPECT_EQ(VariantToFixed(Variant(std::int32_t{5})), 50000);
    EXPECT_EQ(VariantToFixed(Variant(1.23456)), 12346);
    EXPECT_EQ(VariantToFixed(Variant(std::wstring(L"2.5"))), 25000);
    EXPECT_EQ(VariantToFixed(Variant(std::int64_t{-3})), -30000);
    EXPECT_THROW(VariantToFixed(Variant(std::wstring(L"abc"))), EConvertError);
    // Past the fixed-point range a number is drawn at the range's end; NaN is no value.
    EXPECT_EQ(VariantToFixed(Variant(1e300)), INT64_MAX);
    EXPECT_EQ(VariantToFixed(Variant(-1e300)), INT64_MIN);
    EXPECT_EQ(VariantToFixed(Variant(6442450944.0)), 64424509440000);  // 6 GiB
    EXPECT_THROW(VariantToFixed(Variant(std::nan(""))), EIntOverflow);
}

// Line charts hold whole units in ints: a maximum past the int range scales the maximum
// and every value by one divisor, so a value keeps its height relative to the maximum.
TEST(BarMaths, LineChartScaleForMaximaPastTheIntRange) {
    constexpr std::int64_t GiB = 1073741824, U = 10000;  // U: one whole unit in fixed point
    struct Row {
        std::int64_t max, value;
        std::int64_t divisor;
        int scopeMax, scopeValue;
    };
    const Row rows[] = {
        {100 * U, 50 * U, 1, 100, 50},
        {2147483647 * U, 2147483647 * U, 1, 2147483647, 2147483647},  // the largest that fits
        {2147483648 * U, 2147483648 * U, 2, 1073741824, 1073741824},  // one past it
        {8 * GiB * U, 6 * GiB * U, 5, 1717986918, 1288490188},         // 8 GiB maximum, 6 GiB value
        {8 * GiB * U, 100 * GiB * U, 5, 1717986918, INT32_MAX},        // far past the maximum: clamped
        {8 * GiB * U, -6 * GiB * U, 5, 1717986918, -1288490188},
        {100 * U, 6 * GiB * U, 1, 100, INT32_MAX},                     // a small maximum, a huge value
        {100 * U, -6 * GiB * U, 1, 100, INT32_MIN},
        {-8 * GiB * U, 1 * U, 5, -1717986918, 0},                       // a negative maximum scales too
        {INT64_MAX, INT64_MAX, 429497, 2147482296, 2147482296},        // the ends of the fixed-point range
        {INT64_MIN, INT64_MIN, 429497, -2147482296, -2147482296},
        {-10000, 5 * U, 1, -1, 5},                                      // no maximum given
    };
    for (const Row& r : rows) {
        EXPECT_EQ(ScopeDivisor(r.max), r.divisor) << r.max;
        EXPECT_EQ(ScopeMaxValue(r.max), r.scopeMax) << r.max;
        EXPECT_EQ(ScopeValue(r.value, r.max), r.scopeValue) << r.max << " " << r.value;
    }
    // The height of a value relative to the maximum survives the scaling.
    const std::int64_t max = 8 * GiB * U, value = 6 * GiB * U;
    EXPECT_NEAR(static_cast<double>(ScopeValue(value, max)) / ScopeMaxValue(max), 0.75, 1e-8);
}

// Bars drawn into a DIB: frame in the frame colour, fill inside it, background after the
// fill's end.
class BarPixels : public ::testing::Test {
protected:
    void SetUp() override {
        bmp.SetSize(120, 16);
        bmp.Canvas().Brush().SetColor(clWhite);
        bmp.Canvas().FillRect(RECT{0, 0, 120, 16});
    }
    // A bar whose inner area is 100 columns wide, x 1..100, rows 1..10.
    void Draw(int percent, int level, const std::wstring& colours = L"") {
        DrawBarMeter(bmp.Canvas(), 0, 0, 102, 12, percent, level, kFrame, colours);
    }
    COLORREF Column(int i) const { return bmp.Pixel(1 + i, 5); }
    static constexpr TColor kFrame = 0xFF0000;
    TBitmap bmp;
};

TEST_F(BarPixels, FrameAndRestoredBrush) {
    Draw(50, 20);
    EXPECT_EQ(bmp.Pixel(0, 0), static_cast<COLORREF>(kFrame));
    EXPECT_EQ(bmp.Pixel(101, 11), static_cast<COLORREF>(kFrame));
    EXPECT_EQ(bmp.Pixel(50, 11), static_cast<COLORREF>(kFrame));
    EXPECT_EQ(bmp.Pixel(110, 5), static_cast<COLORREF>(clWhite));  // outside the bar
    EXPECT_EQ(bmp.Canvas().Brush().Color(), clWhite);
}

TEST_F(BarPixels, LevelZero) {
    for (int percent : {0, 95, 150}) {
        SetUp();
        Draw(percent, 0);
        const int last = std::min(percent, 99);
        for (int i = 0; i <= last; ++i) ASSERT_EQ(Column(i), static_cast<COLORREF>(kBarGreen)) << percent << " " << i;
        if (last < 99) {
            EXPECT_EQ(Column(last + 1), static_cast<COLORREF>(clWhite)) << percent;
        }
        EXPECT_EQ(bmp.Pixel(101, 5), static_cast<COLORREF>(kFrame));
    }
}

TEST_F(BarPixels, LevelEighty) {
    Draw(0, 80);
    EXPECT_EQ(Column(0), static_cast<COLORREF>(kBarGreen));
    EXPECT_EQ(Column(1), static_cast<COLORREF>(clWhite));

    SetUp();
    Draw(95, 80);
    EXPECT_EQ(Column(60), static_cast<COLORREF>(kBarGreen));
    EXPECT_EQ(Column(80), static_cast<COLORREF>(kBarYellow));
    EXPECT_NE(Column(95), static_cast<COLORREF>(clWhite));
    EXPECT_EQ(Column(96), static_cast<COLORREF>(clWhite));
    // Each column is one vertical line from the top row to above the bottom frame.
    EXPECT_EQ(bmp.Pixel(1 + 80, 1), static_cast<COLORREF>(kBarYellow));
    EXPECT_EQ(bmp.Pixel(1 + 80, 10), static_cast<COLORREF>(kBarYellow));

    SetUp();
    Draw(150, 80);
    EXPECT_EQ(Column(99), 0x0007B9u);
    EXPECT_EQ(bmp.Pixel(101, 5), static_cast<COLORREF>(kFrame));  // the fill stops at the frame
}

TEST_F(BarPixels, AlarmLevel) {
    Draw(95, -90);  // not reached: green to 95 %
    for (int i = 0; i <= 95; ++i) ASSERT_EQ(Column(i), static_cast<COLORREF>(kBarGreen)) << i;
    EXPECT_EQ(Column(96), static_cast<COLORREF>(clWhite));

    SetUp();
    Draw(0, -90);  // reached: red, the first column only
    EXPECT_EQ(Column(0), static_cast<COLORREF>(kBarRed));
    EXPECT_EQ(Column(1), static_cast<COLORREF>(clWhite));

    SetUp();
    Draw(150, -90);  // not reached at 150 %: green to the frame
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Column(i), static_cast<COLORREF>(kBarGreen)) << i;
    EXPECT_EQ(bmp.Pixel(101, 5), static_cast<COLORREF>(kFrame));
}

TEST_F(BarPixels, FirstColourFromText) {
    Draw(10, 0, L"#FF0000");
    EXPECT_EQ(Column(5), 0x0000FFu);
}

TEST_F(BarPixels, PlaceBarMeterNeedsRoomBeforeTheMargin) {
    // Client width 120: the bar runs from the value column + offset to 115.
    PlaceBarMeter(bmp.Canvas(), 120, 10, 0, 15, 20, 100, 20, kFrame, L"");
    EXPECT_EQ(bmp.Pixel(30, 0), static_cast<COLORREF>(kFrame));
    EXPECT_EQ(bmp.Pixel(114, 0), static_cast<COLORREF>(kFrame));
    EXPECT_EQ(bmp.Pixel(115, 0), static_cast<COLORREF>(clWhite));
    EXPECT_EQ(bmp.Pixel(30, 11), static_cast<COLORREF>(kFrame));  // bottom edge at y + LineHeight - 4

    SetUp();
    PlaceBarMeter(bmp.Canvas(), 120, 10, 0, 15, 115, 100, 20, kFrame, L"");  // text reaches the margin
    for (int x = 0; x < 120; ++x) ASSERT_EQ(bmp.Pixel(x, 0), static_cast<COLORREF>(clWhite)) << x;
}

}  // namespace
