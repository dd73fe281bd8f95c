#include <windows.h>

#include <gtest/gtest.h>

#include "VrButtons.h"
#include "WindowTests.h"

namespace {

constexpr COLORREF kBack = RGB(0, 0, 128), kShadow = RGB(255, 0, 0), kFace = RGB(0, 255, 0),
                   kOutline = RGB(255, 255, 0);

// A 40 x 30 rectangle button with distinct colours: face (1,1)-(35,25), shadow
// (5,5)-(39,29) when up.
void Configure(TVrShadowButton& b) {
    b.SetBounds(0, 0, 40, 30);
    b.SetColor(kBack);
    b.SetShadowColor(kShadow);
    b.SetShadowOutline(kShadow);
    b.Brush().SetColor(kFace);
    b.Pen().SetColor(kOutline);
    b.SetButtonStyle(TVrShadowButtonStyle::ssRectangle);
}

}  // namespace

TEST(ShadowButton, AlignmentFlags) {
    struct Row { TVrTextAlignment align; UINT flags; };
    const Row rows[] = {
        {TVrTextAlignment::vtaLeft, 4 | 0x20},       {TVrTextAlignment::vtaCenter, 5 | 0x20},
        {TVrTextAlignment::vtaRight, 6 | 0x20},      {TVrTextAlignment::vtaTopLeft, 0 | 0x20},
        {TVrTextAlignment::vtaTop, 1 | 0x20},        {TVrTextAlignment::vtaTopRight, 2 | 0x20},
        {TVrTextAlignment::vtaBottomLeft, 8 | 0x20}, {TVrTextAlignment::vtaBottom, 9 | 0x20},
        {TVrTextAlignment::vtaBottomRight, 10 | 0x20}};
    for (const Row& r : rows) EXPECT_EQ(TextAlignmentFlags(r.align), r.flags) << static_cast<int>(r.align);
}

TEST(ShadowButton, FaceAndShadowRectanglesByDirection) {
    struct Row { TVrShadowDirection dir; RECT face, moved; };
    const RECT r{0, 0, 40, 30};
    const Row rows[] = {
        {TVrShadowDirection::sdTopLeft, {4, 4, 40, 30}, {0, 0, 36, 26}},
        {TVrShadowDirection::sdTopRight, {0, 4, 36, 30}, {4, 0, 40, 26}},
        {TVrShadowDirection::sdBottomLeft, {4, 0, 40, 26}, {0, 4, 36, 30}},
        {TVrShadowDirection::sdBottomRight, {0, 0, 36, 26}, {4, 4, 40, 30}},
    };
    for (const Row& row : rows) {
        const RECT face = ShadowFaceRect(r, 4, row.dir);
        EXPECT_TRUE(EqualRect(&face, &row.face)) << static_cast<int>(row.dir);
        const RECT moved = MoveTowards(face, 4, row.dir);
        EXPECT_TRUE(EqualRect(&moved, &row.moved)) << static_cast<int>(row.dir);
        const RECT back = MoveTowards(moved, -4, row.dir);
        EXPECT_TRUE(EqualRect(&back, &face));
    }
}

TEST(ShadowButton, DefaultsAndDepthRule) {
    TVrShadowButton b(nullptr);
    EXPECT_EQ(b.Width(), 110);
    EXPECT_EQ(b.Height(), 30);
    EXPECT_EQ(b.Brush().Color(), clBlack);
    EXPECT_EQ(b.Pen().Color(), clLime);
    EXPECT_EQ(b.Font().Color(), clWhite);
    EXPECT_EQ(b.ShadowColor(), clBtnShadow);
    EXPECT_EQ(b.ButtonStyle(), TVrShadowButtonStyle::ssRoundRect);
    EXPECT_EQ(b.Direction(), TVrShadowDirection::sdBottomRight);
    EXPECT_EQ(b.Version, L"1.3");
    EXPECT_EQ(b.Depth(), 4);
    b.SetDepth(2);
    EXPECT_EQ(b.Depth(), 4);  // ignored
    b.SetDepth(3);
    EXPECT_EQ(b.Depth(), 3);
}

TEST(ShadowButton, DrawingReadBackFromTheBuffer) {
    TVrShadowButton b(nullptr);
    Configure(b);
    b.RenderBuffer();
    TBitmap& p = b.Buffer();
    EXPECT_EQ(p.Pixel(0, 0), kBack);
    EXPECT_EQ(p.Pixel(1, 1), kOutline);  // the face's outline
    EXPECT_EQ(p.Pixel(10, 10), kFace);
    EXPECT_EQ(p.Pixel(37, 27), kShadow);  // shadow only
    EXPECT_EQ(p.Pixel(37, 2), kBack);     // beside the face, above the shadow
    const RECT caption = b.CaptionRect();
    const RECT expected{2, 2, 34, 24};  // the face inside its outline
    EXPECT_TRUE(EqualRect(&caption, &expected));
}

TEST(ShadowButton, DisabledCaptionUsesItsColour) {
    TVrShadowButton b(nullptr);
    Configure(b);
    b.Font().SetName(L"Arial");
    b.Font().SetSize(14);
    b.SetCaption(L"MW");
    const COLORREF kDisabled = RGB(255, 0, 255);
    b.SetDisabledTextColor(kDisabled);
    auto count = [&b](COLORREF c) {
        int n = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x)
                if (b.Buffer().Pixel(x, y) == c) ++n;
        return n;
    };
    b.RenderBuffer();
    EXPECT_GT(count(clWhite), 5);
    EXPECT_EQ(count(kDisabled), 0);
    b.SetEnabled(false);
    b.RenderBuffer();
    EXPECT_GT(count(kDisabled), 5);
}

namespace {

class ButtonOnForm : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        form = Application().CreateForm<TForm>();
        form->BorderStyle = TFormBorderStyle::None;
        form->SetBounds(20, 20, 100, 80);
        form->Show();
        button = std::make_unique<TVrShadowButton>(form);
        Configure(*button);
        button->SetLeft(10);
        button->SetTop(10);
        button->OnClick = [this](TWinControl*) { ++clicks; };
        button->Show();
        PumpFor(100);
        button->RenderBuffer();
    }
    void TearDown() override {
        button.reset();
        WindowTest::TearDown();
    }
    LRESULT Send(UINT msg, int x, int y) {
        return SendMessageW(button->Handle(), msg, msg == WM_LBUTTONUP ? 0 : MK_LBUTTON, MAKELPARAM(x, y));
    }
    TForm* form = nullptr;
    std::unique_ptr<TVrShadowButton> button;
    int clicks = 0;
};

}  // namespace

TEST_F(ButtonOnForm, PressInsideAndReleaseClicks) {
    Send(WM_LBUTTONDOWN, 10, 10);
    EXPECT_TRUE(button->Down());
    EXPECT_TRUE(button->Tracking());
    EXPECT_EQ(GetCapture(), button->Handle());
    // Pressed: the face sinks onto the shadow, which no longer shows beside it.
    EXPECT_EQ(button->Buffer().Pixel(36, 26), kOutline);  // face now (3,3)-(37,27)
    EXPECT_EQ(button->Buffer().Pixel(37, 27), kBack);
    EXPECT_EQ(button->Buffer().Pixel(2, 2), kBack);
    EXPECT_EQ(button->Buffer().Pixel(10, 10), kFace);
    Send(WM_LBUTTONUP, 10, 10);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(button->Down());
    EXPECT_NE(GetCapture(), button->Handle());
    EXPECT_EQ(button->Buffer().Pixel(37, 27), kShadow);  // up again
}

TEST_F(ButtonOnForm, PressOnTheShadowDoesNothing) {
    Send(WM_LBUTTONDOWN, 37, 27);
    EXPECT_FALSE(button->Tracking());
    EXPECT_FALSE(button->Down());
    Send(WM_LBUTTONUP, 37, 27);
    EXPECT_EQ(clicks, 0);
}

TEST_F(ButtonOnForm, DragOutAndReleaseGivesNoClick) {
    Send(WM_LBUTTONDOWN, 10, 10);
    Send(WM_MOUSEMOVE, 60, 60);
    EXPECT_FALSE(button->Down());
    EXPECT_TRUE(button->Tracking());
    Send(WM_LBUTTONUP, 60, 60);
    EXPECT_EQ(clicks, 0);
}

TEST_F(ButtonOnForm, DragBackInBeforeReleaseClicks) {
    Send(WM_LBUTTONDOWN, 10, 10);
    Send(WM_MOUSEMOVE, 60, 60);
    Send(WM_MOUSEMOVE, 12, 12);
    EXPECT_TRUE(button->Down());
    Send(WM_LBUTTONUP, 12, 12);
    EXPECT_EQ(clicks, 1);
}

TEST_F(ButtonOnForm, DisabledButtonIgnoresPresses) {
    button->SetEnabled(false);
    Send(WM_LBUTTONDOWN, 10, 10);
    Send(WM_LBUTTONUP, 10, 10);
    EXPECT_EQ(clicks, 0);
}
