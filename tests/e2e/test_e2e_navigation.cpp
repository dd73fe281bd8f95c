// The navigation strip as a user sees it: the back, home and next buttons show the
// symbol font's arrow and square glyphs (not the letters that stand for them), read back
// from the screen's pixels and compared with the glyphs drawn here in the same font.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Canvas.h"
#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;
constexpr int kButtonWidth = 32, kButtonHeight = 24;

// Pixels of the navigation colour (pure green, the same in either byte order).
bool IsInk(COLORREF c) { return GetGValue(c) >= 128 && GetRValue(c) < 100 && GetBValue(c) < 100; }

// The ink of a glyph: a mask cut to its bounding box.
struct Ink {
    int width = 0, height = 0;
    std::vector<bool> mask;  // row by row
    bool At(int x, int y) const { return mask.at(static_cast<std::size_t>(y) * width + x); }
    int Count() const { return static_cast<int>(std::count(mask.begin(), mask.end(), true)); }
};

template <typename Pixel>
Ink InkOf(int width, int height, Pixel pixel) {
    int left = width, top = height, right = -1, bottom = -1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (IsInk(pixel(x, y))) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    Ink ink;
    if (right < 0) return ink;
    ink.width = right - left + 1;
    ink.height = bottom - top + 1;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) ink.mask.push_back(IsInk(pixel(x, y)));
    return ink;
}

// The glyph drawn here the way the button draws its caption: the font at its point
// size, green on black, in a button-sized bitmap. FaceName gets the face the font
// mapper chose.
Ink ReferenceGlyph(const wchar_t* caption, int points, std::wstring& FaceName) {
    TBitmap bmp;
    bmp.SetSize(kButtonWidth, kButtonHeight);
    HDC dc = bmp.DC();
    RECT r{0, 0, kButtonWidth, kButtonHeight};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    HFONT font = CreateFontW(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Marlett");
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    FaceName = face;
    SetTextColor(dc, RGB(0, 0xFF, 0));
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, caption, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    SelectObject(dc, old);
    DeleteObject(font);
    return InkOf(kButtonWidth, kButtonHeight, [&](int x, int y) { return bmp.Pixel(x, y); });
}

// Heights of the ink in each column, left to right.
std::vector<int> ColumnHeights(const Ink& ink) {
    std::vector<int> heights;
    for (int x = 0; x < ink.width; ++x) {
        int n = 0;
        for (int y = 0; y < ink.height; ++y) n += ink.At(x, y) ? 1 : 0;
        heights.push_back(n);
    }
    return heights;
}

BOOL CALLBACK CollectButton(HWND w, LPARAM data) {
    if (WindowClass(w) == L"TVrShadowButton" && IsWindowVisible(w))
        reinterpret_cast<std::vector<HWND>*>(data)->push_back(w);
    return TRUE;
}

// The visible navigation buttons of the form, left to right.
std::vector<HWND> NavButtons(HWND form) {
    std::vector<HWND> buttons;
    EnumChildWindows(form, CollectButton, reinterpret_cast<LPARAM>(&buttons));
    std::sort(buttons.begin(), buttons.end(), [](HWND a, HWND b) { return WindowRect(a).left < WindowRect(b).left; });
    return buttons;
}

}  // namespace

TEST(EndToEndNavigation, ButtonsShowTheArrowGlyphs) {
    // The button under the pointer is highlighted with a face in the navigation colour.
    SetCursorPos(0, GetSystemMetrics(SM_CYSCREEN) - 1);
    TempFolder dir(L"vistrel-e2e-nav");
    const std::wstring ini = dir.File(L"nav.ini");
    ASSERT_TRUE(WriteFileBytes(ini, "[options]\r\nnav=1\r\nnav-color=00FF00\r\ninimonitortime=60\r\n"
                                    "[items]\r\nCOMMENT=active:1,text:Arrows,color:#FFFFFF\r\n"));
    VistrelProcess vistrel(L"/ini=" + ini);
    const HWND form = WaitForWindow(vistrel.Id(), L"TVistrelMainForm", kStart);
    ASSERT_NE(form, nullptr);
    ASSERT_TRUE(vistrel.WaitForLog(L"UpdateEntries Complete.", kStart));
    std::vector<HWND> buttons;
    const DWORD start = GetTickCount();
    while ((buttons = NavButtons(form)).size() < 3 && GetTickCount() - start < kStart) ServeMessages(50);
    ASSERT_EQ(buttons.size(), 3u);
    ServeMessages(1500);  // a pass or two more: the strip is drawn

    struct Glyph {
        const wchar_t* caption;
        int points;
        const char* what;
    };
    const Glyph glyphs[] = {{L"3", 15, "back"}, {L"g", 12, "home"}, {L"4", 15, "next"}};
    for (std::size_t i = 0; i < 3; ++i) {
        const Glyph& g = glyphs[i];
        std::wstring face;
        const Ink expected = ReferenceGlyph(g.caption, g.points, face);
        ASSERT_EQ(face, L"Marlett") << "the symbol font is missing from the Wine prefix (scripts/wine-session.sh)";
        ASSERT_GT(expected.Count(), 10) << g.what;

        const ScreenShot shot = CaptureScreen(WindowRect(buttons[i]));
        const Ink shown = InkOf(shot.Width(), shot.Height(), [&](int x, int y) { return shot.At(x, y); });
        ASSERT_GT(shown.Count(), 0) << g.what << ": no glyph on the screen";
        EXPECT_NEAR(shown.width, expected.width, 1) << g.what;
        EXPECT_NEAR(shown.height, expected.height, 1) << g.what;
        int differing = 0;
        for (int y = 0; y < std::max(shown.height, expected.height); ++y)
            for (int x = 0; x < std::max(shown.width, expected.width); ++x) {
                const bool a = x < shown.width && y < shown.height && shown.At(x, y);
                const bool b = x < expected.width && y < expected.height && expected.At(x, y);
                differing += a != b ? 1 : 0;
            }
        EXPECT_LE(differing, expected.Count() / 10) << g.what << ": the glyph on the screen differs";

        // The shapes themselves: arrows are solid triangles pointing outwards, home a solid
        // square.
        const std::vector<int> heights = ColumnHeights(shown);
        if (i == 1) {
            EXPECT_EQ(shown.Count(), shown.width * shown.height) << "home is a solid square";
        } else {
            const bool back = i == 0;
            for (std::size_t x = 1; x < heights.size(); ++x) {
                if (back) EXPECT_GE(heights[x], heights[x - 1]) << "back narrows to the left, column " << x;
                else EXPECT_LE(heights[x], heights[x - 1]) << "next narrows to the right, column " << x;
            }
            EXPECT_EQ(back ? heights.back() : heights.front(), shown.height) << g.what << ": a full base";
            EXPECT_LE(back ? heights.front() : heights.back(), shown.height / 3) << g.what << ": a tip";
        }
    }
    PostMessageW(form, WM_CLOSE, 0, 0);
    vistrel.WaitExit(10000);
}
