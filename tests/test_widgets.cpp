#include <windows.h>

#include <gtest/gtest.h>

#include "ColorButton.h"
#include "StaticTextW.h"
#include "TestFiles.h"
#include "Utils.h"
#include "VrThreads.h"
#include "WindowTests.h"

// ---- timer

namespace {

class TimerTest : public WindowTest {};

}  // namespace

TEST_F(TimerTest, TicksInBothKinds) {
    for (TVrTimerType kind : {TVrTimerType::ttSystem, TVrTimerType::ttThread}) {
        TVrTimer timer;
        timer.SetTimerType(kind);
        int ticks = 0;
        DWORD thread = 0;
        timer.OnTimer = [&](TVrTimer*) {
            ++ticks;
            thread = GetCurrentThreadId();
        };
        timer.SetInterval(10);
        timer.Loaded();
        EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 5000)) << int(kind);
        EXPECT_EQ(thread, GetCurrentThreadId());  // window thread in both kinds
    }
}

TEST_F(TimerTest, WorkerThreadFiresWithoutSyncEvent) {
    TVrTimer timer;
    timer.SyncEvent = false;
    std::atomic<int> ticks{0};
    std::atomic<DWORD> thread{0};
    timer.OnTimer = [&](TVrTimer*) {
        ++ticks;
        thread = GetCurrentThreadId();
    };
    timer.SetInterval(10);
    timer.Loaded();
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 5000));
    EXPECT_NE(thread.load(), GetCurrentThreadId());
}

TEST_F(TimerTest, NothingFiresWithoutIntervalOrHandler) {
    for (TVrTimerType kind : {TVrTimerType::ttSystem, TVrTimerType::ttThread}) {
        TVrTimer noHandler;
        noHandler.SetTimerType(kind);
        noHandler.SetInterval(10);
        noHandler.Loaded();
        TVrTimer noInterval;
        noInterval.SetTimerType(kind);
        int ticks = 0;
        noInterval.OnTimer = [&](TVrTimer*) { ++ticks; };
        noInterval.SetInterval(0);
        noInterval.Loaded();
        PumpFor(150);
        EXPECT_EQ(ticks, 0);
        EXPECT_EQ(noHandler.ArrivedTicks(), 0);
        EXPECT_EQ(noInterval.ArrivedTicks(), 0);
    }
}

TEST_F(TimerTest, DisabledTimerKeepsItsResourcesAndIgnoresTicks) {
    for (TVrTimerType kind : {TVrTimerType::ttSystem, TVrTimerType::ttThread}) {
        TVrTimer timer;
        timer.SetTimerType(kind);
        int ticks = 0;
        timer.OnTimer = [&](TVrTimer*) { ++ticks; };
        timer.SetInterval(10);
        timer.Loaded();
        ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }, 5000));
        timer.SetEnabled(false);
        EXPECT_TRUE(timer.Created());
        const int before = ticks;
        const long arrived = timer.ArrivedTicks();
        EXPECT_TRUE(PumpUntil([&] { return timer.ArrivedTicks() >= arrived + 3; }, 5000));
        EXPECT_EQ(ticks, before);
    }
}

TEST_F(TimerTest, ChangingTheKindSwapsTheResources) {
    TVrTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](TVrTimer*) { ++ticks; };
    timer.SetInterval(10);
    timer.Loaded();
    EXPECT_NE(timer.Thread(), nullptr);
    EXPECT_EQ(timer.Window(), nullptr);
    timer.SetTimerType(TVrTimerType::ttSystem);
    EXPECT_EQ(timer.Thread(), nullptr);
    EXPECT_NE(timer.Window(), nullptr);
    ticks = 0;
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 5000));
    timer.SetTimerType(TVrTimerType::ttThread);
    EXPECT_NE(timer.Thread(), nullptr);
    EXPECT_EQ(timer.Window(), nullptr);
}

TEST_F(TimerTest, PausedThreadResumesWithNewInterval) {
    TVrTimer timer;
    int ticks = 0;
    timer.OnTimer = [&](TVrTimer*) { ++ticks; };
    timer.SetInterval(100000);
    timer.Loaded();
    ASSERT_NE(timer.Thread(), nullptr);
    EXPECT_TRUE(timer.Thread()->Running());
    timer.SetInterval(10);  // the waiting thread wakes and takes the new interval
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }, 5000));
    timer.SetInterval(0);
    EXPECT_FALSE(timer.Thread()->Running());
}

// ---- colour button

TEST(ColorButton, ColourDerivation) {
    struct Row { TColor color, light, dark; };
    const Row rows[] = {{0x808080, 0xC0C0C0, 0x404040}, {0xF0F0F0, 0xFFFFFF, 0xB0B0B0}, {0x102030, 0x506070, 0x000000}};
    for (const Row& r : rows) {
        EXPECT_EQ(LightColorOf(r.color), r.light) << std::hex << r.color;
        EXPECT_EQ(DarkColorOf(r.color), r.dark) << std::hex << r.color;
    }
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(static_cast<COLORREF>(LightColorOf(clBtnFace)),
              RGB(std::min(255, GetRValue(face) + 64), std::min(255, GetGValue(face) + 64),
                  std::min(255, GetBValue(face) + 64)));
}

TEST(ColorButton, DefaultsAndLimits) {
    TColorButton b(nullptr);
    EXPECT_EQ(b.Width(), 75);
    EXPECT_EQ(b.Height(), 25);
    EXPECT_EQ(b.BevelSize(), 2);
    EXPECT_EQ(b.Spacing(), 2);
    EXPECT_EQ(b.ButtonStyle(), bsCenter | bsShowFocus | bsSpeedKey | bsMultiLine);
    b.SetBevelSize(0);
    EXPECT_EQ(b.BevelSize(), 1);
    b.SetSpacing(-5);
    EXPECT_EQ(b.Spacing(), -2);
    b.SetColor(0x808080);
    EXPECT_EQ(b.LightColor(), 0xC0C0C0);
    EXPECT_EQ(b.DarkColor(), 0x404040);
    b.SetValue(true);  // without bsMultiState: not settable
    EXPECT_FALSE(b.Value());
}

TEST(ColorButton, Accelerator) {
    struct Row { std::wstring caption; wchar_t accel; };
    const Row rows[] = {{L"&Open", L'O'}, {L"Sa&ve", L'V'}, {L"A&&B", 0}, {L"None", 0}, {L"End&", 0},
                        // A blank is never one, a later letter still is.
                        {L"Tools & Settings", 0}, {L"A &\tB", 0}, {L"Q & &A", L'A'}};
    for (const Row& r : rows) EXPECT_EQ(CaptionAccelerator(r.caption), r.accel) << r.caption;
}

namespace {

constexpr TColor kFace = 0x808080;

int CountPixels(TBitmap& b, COLORREF c) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) n += b.Pixel(x, y) == c;
    return n;
}

void Render(TColorButton& button, TBitmap& bitmap) {
    bitmap.SetSize(button.Width(), button.Height());
    button.PaintTo(bitmap.Canvas());
}

}  // namespace

TEST(ColorButton, BevelRaisedAtRestAndLoweredWhenDown) {
    TColorButton b(nullptr);
    b.SetColor(kFace);
    TBitmap p;
    Render(b, p);
    EXPECT_EQ(p.Pixel(0, 10), 0xC0C0C0u);   // light left edge
    EXPECT_EQ(p.Pixel(74, 10), 0x404040u);  // dark right edge
    EXPECT_EQ(p.Pixel(30, 12), static_cast<COLORREF>(kFace));
    b.SetBevelStyle(TButtonBevel::bbLowered);
    Render(b, p);
    EXPECT_EQ(p.Pixel(0, 10), 0x404040u);
}

TEST(ColorButton, DisabledCaptionIsEmbossed) {
    TColorButton b(nullptr);
    b.SetColor(kFace);
    b.Font().SetName(L"Arial");
    b.Font().SetSize(14);
    b.Font().SetColor(RGB(255, 0, 0));
    b.SetCaptionW(L"MWM");
    TBitmap p;
    Render(b, p);
    EXPECT_GT(CountPixels(p, RGB(255, 0, 0)), 10);
    b.SetFontStyle(TButtonFontStyle::fnRaised);
    b.SetEnabled(false);
    Render(b, p);
    EXPECT_EQ(b.State(), TButtonState::Disabled);
    EXPECT_EQ(CountPixels(p, RGB(255, 0, 0)), 0);
    EXPECT_GT(CountPixels(p, 0x404040), 30);  // dark caption (plus the bevel)
}

TEST(ColorButton, WideCaptionWins) {
    TColorButton b(nullptr);
    b.SetColor(kFace);
    b.Font().SetName(L"Arial");
    b.Font().SetSize(12);
    b.Font().SetColor(RGB(0, 0, 255));
    b.SetAnsiCaption("WWWW");
    TBitmap p;
    Render(b, p);
    const int ansi = CountPixels(p, RGB(255, 0, 0)) + CountPixels(p, RGB(0, 0, 255));
    b.SetCaptionW(L"i");
    Render(b, p);
    const int wide = CountPixels(p, RGB(0, 0, 255));
    EXPECT_GT(ansi, wide * 3);
    EXPECT_GT(wide, 0);
}

namespace {

class ColorButtonOnForm : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        form = Application().CreateForm<TForm>();
        form->BorderStyle = TFormBorderStyle::None;
        form->SetBounds(20, 20, 200, 100);
        form->Show();
        button = std::make_unique<TColorButton>(form);
        button->SetBounds(10, 10, 75, 25);
        button->OnClick = [this](TWinControl*) { ++clicks; };
        button->Show();
        PumpFor(50);
    }
    void TearDown() override {
        button.reset();
        WindowTest::TearDown();
    }
    void Send(UINT msg, int x, int y) {
        SendMessageW(button->Handle(), msg, msg == WM_LBUTTONUP ? 0 : MK_LBUTTON, MAKELPARAM(x, y));
    }
    TForm* form = nullptr;
    std::unique_ptr<TColorButton> button;
    int clicks = 0;
};

}  // namespace

TEST_F(ColorButtonOnForm, ClickOnReleaseInside) {
    Send(WM_LBUTTONDOWN, 5, 5);
    EXPECT_EQ(button->State(), TButtonState::Down);
    EXPECT_EQ(clicks, 0);
    Send(WM_LBUTTONUP, 5, 5);
    EXPECT_EQ(button->State(), TButtonState::Up);
    EXPECT_EQ(clicks, 1);
    Send(WM_LBUTTONDOWN, 5, 5);
    Send(WM_LBUTTONUP, 150, 5);  // released outside
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->State(), TButtonState::Up);
}

TEST_F(ColorButtonOnForm, MultiStateToggles) {
    button->SetButtonStyle(button->ButtonStyle() | bsMultiState);
    Send(WM_LBUTTONDOWN, 5, 5);
    Send(WM_LBUTTONUP, 5, 5);
    EXPECT_TRUE(button->Value());
    Send(WM_LBUTTONDOWN, 5, 5);
    Send(WM_LBUTTONUP, 5, 5);
    EXPECT_FALSE(button->Value());
    EXPECT_EQ(clicks, 2);
    button->SetValue(true);
    EXPECT_TRUE(button->Value());
}

TEST_F(ColorButtonOnForm, KeyboardAndAccelerator) {
    SendMessageW(button->Handle(), WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(button->State(), TButtonState::Down);
    SendMessageW(button->Handle(), WM_KEYUP, VK_SPACE, 0);
    EXPECT_EQ(button->State(), TButtonState::Up);
    EXPECT_EQ(clicks, 1);
    SendMessageW(button->Handle(), WM_KEYUP, VK_RETURN, 0);
    EXPECT_EQ(clicks, 2);
    button->SetCaptionW(L"&Go");
    EXPECT_TRUE(button->DialogChar(L'g'));
    EXPECT_FALSE(button->DialogChar(L'x'));
    EXPECT_EQ(clicks, 3);
    // Drawn without prefix processing, "Q&A" shows its "&": no letter is underlined and
    // none runs the button.
    button->SetButtonStyle(button->ButtonStyle() & ~bsSpeedKey);
    button->SetCaptionW(L"Q&A");
    EXPECT_FALSE(button->DialogChar(L'a'));
    EXPECT_EQ(clicks, 3);
    button->SetButtonStyle(button->ButtonStyle() | bsSpeedKey);
    button->SetCaptionW(L"&Go");
    button->SetEnabled(false);
    EXPECT_FALSE(button->DialogChar(L'g'));
    Send(WM_LBUTTONDOWN, 5, 5);
    Send(WM_LBUTTONUP, 5, 5);
    EXPECT_EQ(clicks, 3);
}

TEST_F(ColorButtonOnForm, FocusIsTracked) {
    SetFocus(button->Handle());
    EXPECT_TRUE(button->Focused());
    SetFocus(form->Handle());
    EXPECT_FALSE(button->Focused());
}

// ---- link text

namespace {

constexpr TColor kText = RGB(255, 0, 0), kBackColor = RGB(0, 0, 255), kHoverText = RGB(0, 255, 0),
                 kHoverBack = RGB(255, 255, 0);

class LinkOnForm : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        form = Application().CreateForm<TForm>();
        form->BorderStyle = TFormBorderStyle::None;
        form->SetBounds(20, 20, 300, 100);
        form->Show();
        link = std::make_unique<TStaticTextW>(form);
        link->TextColor = kText;
        link->BackColor = kBackColor;
        link->HoverTextColor = kHoverText;
        link->HoverBackColor = kHoverBack;
        link->SetBounds(5, 5, 10, 10);
        link->SetCaption(L"Open the folder");
        link->Show();
        PumpFor(50);
    }
    void TearDown() override {
        link.reset();
        WindowTest::TearDown();
    }
    // The label's picture drawn into a bitmap in its current state.
    COLORREF BackPixel() {
        TBitmap b;
        b.SetSize(link->Width(), link->Height());
        link->PaintTo(b.DC(), {0, 0, link->Width(), link->Height()});
        return b.Pixel(link->Width() - 1, link->Height() - 1);
    }
    void Send(UINT msg, int x, int y, WPARAM keys = 0) {
        SendMessageW(link->Handle(), msg, keys, MAKELPARAM(x, y));
    }
    TForm* form = nullptr;
    std::unique_ptr<TStaticTextW> link;
};

}  // namespace

TEST_F(LinkOnForm, HoverColoursOnlyWithATarget) {
    Send(WM_MOUSEMOVE, 2, 2);
    EXPECT_FALSE(link->Hovering());
    EXPECT_EQ(BackPixel(), static_cast<COLORREF>(kBackColor));
    link->LinkTarget = L"C:\\";
    Send(WM_MOUSEMOVE, 2, 2);
    EXPECT_TRUE(link->Hovering());
    EXPECT_EQ(BackPixel(), static_cast<COLORREF>(kHoverBack));
    Send(WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(link->Hovering());
    EXPECT_EQ(BackPixel(), static_cast<COLORREF>(kBackColor));
}

TEST_F(LinkOnForm, SizeFollowsTheCaption) {
    link->Repaint();
    UniqueFont font = link->MakeFont();
    UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
    SelectedObject selected(dc.get(), font.get());
    RECT r{0, 0, 0, 0};
    DrawTextW(dc.get(), L"Open the folder", -1, &r, DT_CALCRECT);
    EXPECT_EQ(link->Width(), r.right + 1);
    EXPECT_EQ(link->Height(), r.bottom + 1);
    EXPECT_GT(link->Width(), 30);
}

TEST_F(LinkOnForm, FontRules) {
    link->Font().SetSize(20);
    link->Font().SetStyle(fsBold | fsUnderline);
    UniqueFont font = link->MakeFont();
    LOGFONTW lf{};
    GetObjectW(font.get(), sizeof lf, &lf);
    EXPECT_EQ(lf.lfHeight, -MulDiv(20, ScreenPixelsPerInch(), 72));
    EXPECT_EQ(lf.lfWeight, 700);
    EXPECT_TRUE(lf.lfUnderline);
    EXPECT_FALSE(lf.lfItalic);
    EXPECT_EQ(lf.lfQuality, NONANTIALIASED_QUALITY);
    link->ClearType = true;
    UniqueFont smooth = link->MakeFont();
    GetObjectW(smooth.get(), sizeof lf, &lf);
    EXPECT_EQ(lf.lfQuality, DEFAULT_QUALITY);
}

TEST_F(LinkOnForm, LongTargetsExpandWhole) {
    const std::wstring longValue(400, L'x');
    SetEnvironmentVariableW(L"VISTREL_LONG_LINK", longValue.c_str());
    link->LinkTarget = L"%VISTREL_LONG_LINK%\\end";
    EXPECT_EQ(link->ExpandedTarget(), longValue + L"\\end");
    SetEnvironmentVariableW(L"VISTREL_LONG_LINK", nullptr);
}

TEST_F(LinkOnForm, ClickStartsTheTargetWithItsArguments) {
    TempFolder dir;
    const std::wstring marker = dir.File(L"marker.txt");
    link->LinkTarget = L"%ComSpec%";
    link->LinkParameters = L"/c echo clicked one two>\"" + marker + L"\"";
    Send(WM_LBUTTONDOWN, 2, 2, MK_LBUTTON);
    Send(WM_LBUTTONUP, 2, 2);
    ASSERT_TRUE(PumpUntil([&] { return FileExists(marker) && !ReadFileBytes(marker).empty(); }, 15000));
    PumpFor(200);
    EXPECT_EQ(ReadFileBytes(marker).substr(0, 15), "clicked one two");
}

TEST_F(LinkOnForm, AHandlerTakesTheClickInstead) {
    int handled = 0;
    link->LinkTarget = L"%ComSpec%";
    link->OnClick = [&](TWinControl* sender) {
        ++handled;
        EXPECT_EQ(sender, link.get());
    };
    Send(WM_LBUTTONDOWN, 2, 2, MK_LBUTTON);
    Send(WM_LBUTTONUP, 2, 2);
    EXPECT_EQ(handled, 1);
    Send(WM_LBUTTONUP, 2, 2);  // a release without a press
    EXPECT_EQ(handled, 1);
}
