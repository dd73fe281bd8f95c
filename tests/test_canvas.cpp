#include <windows.h>

#include <gtest/gtest.h>

#include "Canvas.h"
#include "DisplayModes.h"
#include "Errors.h"
#include "Gdi.h"

TEST(GdiObjects, OwnersCountLiveObjectsAndReleaseOnce) {
    const long base = LiveGdiObjects();
    {
        UniqueBrush brush(CreateSolidBrush(RGB(1, 2, 3)));
        UniquePen pen(CreatePen(PS_SOLID, 1, 0));
        UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
        DibSection dib = CreateDibSection(4, 4);
        EXPECT_EQ(LiveGdiObjects(), base + 4);
        UniqueBrush moved = std::move(brush);
        EXPECT_FALSE(brush.valid());
        EXPECT_EQ(LiveGdiObjects(), base + 4);
        moved.reset(CreateSolidBrush(0));  // the old one is deleted, the new one counted
        EXPECT_EQ(LiveGdiObjects(), base + 4);
    }
    EXPECT_EQ(LiveGdiObjects(), base);
}

TEST(GdiObjects, EmptyDibOwnsNothingAndNegativeSizeRaises) {
    const long base = LiveGdiObjects();
    DibSection empty = CreateDibSection(0, 5);
    EXPECT_FALSE(empty.Bitmap.valid());
    EXPECT_EQ(LiveGdiObjects(), base);
    EXPECT_THROW(CreateDibSection(-1, 5), ERangeError);
}

TEST(GdiObjects, DibFromPixelsKeepsTheBytes) {
    PixelImage image;
    image.Width = 2;
    image.Height = 1;
    image.Pixels = {1, 2, 3, 4, 5, 6, 7, 8};
    DibSection dib = DibFromPixels(image);
    EXPECT_EQ(dib.Bits[0], 0x04030201u);
    EXPECT_EQ(dib.Bits[1], 0x08070605u);
    image.Pixels.resize(4);  // one pixel short
    EXPECT_THROW(DibFromPixels(image), ERangeError);
}

TEST(Canvas, RepeatedAttributeChangesLeakNothing) {
    TBitmap bmp;
    bmp.SetSize(60, 20);
    TCanvas& c = bmp.Canvas();
    RECT r{0, 0, 60, 20};
    c.DrawText(L"warm", r, DT_SINGLELINE);  // the first objects exist
    c.Rectangle(0, 0, 5, 5);
    const long base = LiveGdiObjects();
    for (int i = 0; i < 500; ++i) {
        c.Font().SetSize(8 + i % 5);
        c.Font().SetStyle(i % 2 ? fsBold : 0u);
        c.Brush().SetColor(RGB(i % 256, 0, 0));
        c.Pen().SetColor(RGB(0, i % 256, 0));
        c.Pen().SetWidth(1 + i % 3);
        RECT t{0, 0, 60, 20};
        c.DrawText(L"Text", t, DT_SINGLELINE);
        c.Rectangle(0, 0, 10, 10);
        c.FillRect({10, 0, 20, 10});
        ASSERT_EQ(LiveGdiObjects(), base) << "after the drawing of change " << i;
        SetFontQuality(c, i % 2 == 0);
    }
    // The font replaced last stays selected until the next one is.
    RECT t{0, 0, 60, 20};
    c.DrawText(L"Text", t, DT_SINGLELINE);
    EXPECT_EQ(LiveGdiObjects(), base);  // one font, one brush, one pen, as before
}

TEST(Canvas, AFontChangeKeepsTheDcOnALiveFontUntilTheNextIsSelected) {
    TBitmap bmp;
    bmp.SetSize(60, 20);
    TCanvas& c = bmp.Canvas();
    const HGDIOBJ own = GetCurrentObject(bmp.DC(), OBJ_FONT);
    RECT r{0, 0, 60, 20};
    c.DrawText(L"one", r, DT_SINGLELINE);
    const HGDIOBJ first = GetCurrentObject(bmp.DC(), OBJ_FONT);
    ASSERT_NE(first, own);
    c.Font().SetSize(c.Font().Size() + 3);
    c.Font().SetStyle(fsBold);
    // Not the DC's own font in between: selecting that costs a lookup of its rendering.
    EXPECT_EQ(GetCurrentObject(bmp.DC(), OBJ_FONT), first);
    EXPECT_EQ(GetObjectType(first), static_cast<DWORD>(OBJ_FONT)) << "the selected font is alive";
    RECT s{0, 0, 60, 20};
    c.DrawText(L"two", s, DT_SINGLELINE);
    const HGDIOBJ second = GetCurrentObject(bmp.DC(), OBJ_FONT);
    EXPECT_EQ(second, c.Font().Handle());
    EXPECT_EQ(GetObjectType(first), 0u) << "the replaced font is deleted once it left the DC";
    c.SetHandle(nullptr);
    EXPECT_EQ(GetCurrentObject(bmp.DC(), OBJ_FONT), own) << "a detached canvas puts the DC's font back";
}

TEST(Canvas, ObjectsAreDeselectedBeforeTheyAreDeleted) {
    TBitmap bmp;
    bmp.SetSize(10, 10);
    TCanvas& c = bmp.Canvas();
    c.Brush().SetColor(RGB(0, 255, 0));
    c.Pen().SetColor(RGB(0, 255, 0));
    c.Rectangle(0, 0, 10, 10);
    HGDIOBJ selected = GetCurrentObject(bmp.DC(), OBJ_BRUSH);
    EXPECT_EQ(selected, c.Brush().Handle());
    c.Brush().SetColor(RGB(255, 0, 0));  // the green brush leaves the DC, then goes
    EXPECT_NE(GetCurrentObject(bmp.DC(), OBJ_BRUSH), selected);
    c.Rectangle(0, 0, 10, 10);
    EXPECT_EQ(bmp.Pixel(5, 5), RGB(255, 0, 0));
}

TEST(Canvas, SetFontQualityReplacesOnlyTheQuality) {
    TBitmap bmp;
    bmp.SetSize(10, 10);
    TCanvas& c = bmp.Canvas();
    c.Font().SetName(L"Tahoma");
    c.Font().SetSize(11);
    c.Font().SetStyle(fsItalic);
    c.Font().SetColor(RGB(9, 8, 7));
    LOGFONTW before{};
    GetObjectW(c.Font().Handle(), sizeof before, &before);
    const long base = LiveGdiObjects();
    for (bool antialiased : {false, true, false}) {
        SetFontQuality(c, antialiased);
        LOGFONTW after{};
        ASSERT_TRUE(GetObjectW(c.Font().Handle(), sizeof after, &after));
        EXPECT_EQ(after.lfQuality, antialiased ? DEFAULT_QUALITY : NONANTIALIASED_QUALITY);
        EXPECT_EQ(after.lfHeight, before.lfHeight);
        EXPECT_EQ(after.lfItalic, before.lfItalic);
        EXPECT_EQ(std::wstring(after.lfFaceName), L"Tahoma");
        EXPECT_EQ(LiveGdiObjects(), base) << "the replaced font is deleted";
    }
    EXPECT_EQ(c.Font().Color(), RGB(9, 8, 7));
    EXPECT_EQ(c.Font().Size(), 11);
    EXPECT_EQ(c.Font().Style(), static_cast<unsigned>(fsItalic));
}

TEST(Canvas, DrawTextUsesFontColourAndClearBrush) {
    TBitmap bmp;
    bmp.SetSize(80, 30);
    TCanvas& c = bmp.Canvas();
    c.Brush().SetColor(clBlack);
    c.FillRect({0, 0, 80, 30});
    c.Brush().SetStyle(TBrushStyle::Clear);
    c.Font().SetName(L"Arial");
    c.Font().SetSize(14);
    c.Font().SetColor(RGB(255, 255, 0));
    RECT r{0, 0, 80, 30};
    c.DrawText(L"MMMM", r, DT_SINGLELINE | DT_NOCLIP);
    int yellow = 0, other = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 80; ++x) {
            const COLORREF p = bmp.Pixel(x, y);
            if (p == RGB(255, 255, 0)) ++yellow;
            else if (p != clBlack) ++other;
        }
    EXPECT_GT(yellow, 20);
    const SIZE s = c.TextExtent(L"MMMM");
    EXPECT_GT(s.cx, 0);
    EXPECT_GT(s.cy, 0);
}

TEST(Canvas, BitmapPixelsAndRange) {
    TBitmap bmp;
    EXPECT_TRUE(bmp.Empty());
    bmp.SetSize(3, 2);
    EXPECT_EQ(bmp.Pixel(2, 1), clBlack);
    bmp.Canvas().Brush().SetColor(RGB(10, 20, 30));
    bmp.Canvas().FillRect({2, 1, 3, 2});
    EXPECT_EQ(bmp.Pixel(2, 1), RGB(10, 20, 30));
    EXPECT_THROW(bmp.Pixel(3, 0), ERangeError);
    EXPECT_THROW(bmp.Pixel(0, -1), ERangeError);
}

TEST(Canvas, SystemColoursAreLookedUp) {
    EXPECT_EQ(ColorToRgb(clBtnShadow), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(ColorToRgb(clBackground), GetSysColor(COLOR_BACKGROUND));
    EXPECT_EQ(ColorToRgb(RGB(1, 2, 3)), RGB(1, 2, 3));
    EXPECT_EQ(ColorToRgb(0x00FFFFFF), 0x00FFFFFFu);
}
