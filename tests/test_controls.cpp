// The user controls on a form as input reaches them: typed characters as mnemonics, a
// press that loses the mouse capture, the tooltip of a hint, and the window that never
// activates with the one under it that hands its clicks on.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "ColorButton.h"
#include "StaticTextW.h"
#include "VrButtons.h"
#include "WindowTests.h"

namespace {

class ControlsOnForm : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        form = Application().CreateForm<TForm>();
        form->BorderStyle = TFormBorderStyle::None;
        form->SetBounds(20, 20, 300, 120);
        form->Show();
        PumpFor(30);
    }
    void TearDown() override {
        controls.clear();
        WindowTest::TearDown();
    }
    template <typename T>
    T* Add(int left, int top, const std::wstring& caption, int& clicks) {
        auto control = std::make_unique<T>(form);
        T* raw = control.get();
        raw->SetBounds(left, top, 60, 24);
        raw->SetCaption(caption);
        if constexpr (std::is_same_v<T, TColorButton>) raw->SetCaptionW(caption);
        raw->OnClick = [&clicks](TWinControl*) { ++clicks; };
        raw->Show();
        controls.push_back(std::move(control));
        return raw;
    }
    TForm* form = nullptr;
    std::vector<std::unique_ptr<TWinControl>> controls;
};

}  // namespace

// A character typed to the form, or to one of its controls, clicks the shown, enabled
// button whose caption has it as accelerator; with Alt held (WM_SYSCHAR) too.
TEST_F(ControlsOnForm, TypedCharactersClickTheButtonOfTheirAccelerator) {
    int go = 0, back = 0, hidden = 0, off = 0;
    TColorButton* goButton = Add<TColorButton>(5, 5, L"&Go", go);
    Add<TVrShadowButton>(70, 5, L"&Back", back);
    Add<TColorButton>(140, 5, L"&Hidden", hidden)->Hide();
    Add<TVrShadowButton>(210, 5, L"&Off", off)->SetEnabled(false);
    PumpFor(30);
    struct Row {
        HWND to;
        UINT msg;
        wchar_t ch;
        int go, back;
    };
    const Row rows[] = {
        {form->Handle(), WM_CHAR, L'g', 1, 0},     {form->Handle(), WM_SYSCHAR, L'B', 1, 1},
        {goButton->Handle(), WM_CHAR, L'b', 1, 2}, {form->Handle(), WM_CHAR, L'x', 1, 2},
        {form->Handle(), WM_CHAR, L'h', 1, 2},     {form->Handle(), WM_CHAR, L'o', 1, 2},
    };
    for (const Row& r : rows) {
        SendMessageW(r.to, r.msg, r.ch, 0);
        EXPECT_EQ(go, r.go) << char(r.ch);
        EXPECT_EQ(back, r.back) << char(r.ch);
    }
    EXPECT_EQ(hidden, 0) << "a control that is not shown takes no key";
    EXPECT_EQ(off, 0) << "a disabled control takes no key";
}

// A press whose capture another window takes is over: the release over the control
// that follows does not click, and the button shows up again.
TEST_F(ControlsOnForm, APressThatLosesTheCaptureDoesNotClick) {
    int buttonClicks = 0, linkClicks = 0;
    TColorButton* button = Add<TColorButton>(5, 5, L"Go", buttonClicks);
    auto* link = Add<TStaticTextW>(100, 5, L"Open", linkClicks);
    link->LinkTarget = L"C:\\";
    PumpFor(30);
    const std::function<int()> counts[] = {[&] { return buttonClicks; }, [&] { return linkClicks; }};
    HWND windows[] = {button->Handle(), link->Handle()};
    for (int i = 0; i < 2; ++i) {
        SendMessageW(windows[i], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
        ASSERT_EQ(GetCapture(), windows[i]) << i;
        SetCapture(form->Handle());  // something else takes the mouse
        ReleaseCapture();
        SendMessageW(windows[i], WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
        EXPECT_EQ(counts[i](), 0) << i;
        // A press and release of its own still clicks.
        SendMessageW(windows[i], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
        SendMessageW(windows[i], WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
        EXPECT_EQ(counts[i](), 1) << i;
    }
    SendMessageW(button->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(button->State(), TButtonState::Down);
    SetCapture(form->Handle());
    EXPECT_EQ(button->State(), TButtonState::Up);
    ReleaseCapture();
}

namespace {

std::wstring WindowClass(HWND w) {
    wchar_t name[64] = {};
    GetClassNameW(w, name, 64);
    return name;
}

int ToolCount(HWND tooltip) { return static_cast<int>(SendMessageW(tooltip, TTM_GETTOOLCOUNT, 0, 0)); }

std::wstring ToolText(HWND tooltip, HWND tool) {
    wchar_t text[128] = {};
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.hwnd = tool;
    ti.uId = reinterpret_cast<UINT_PTR>(tool);
    ti.lpszText = text;
    SendMessageW(tooltip, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&ti));
    return text;
}

}  // namespace

// The hint of a button or link is the text of a standard tooltip over the control; an
// empty hint, or hints switched off, show none.
TEST_F(ControlsOnForm, TheHintIsTheTooltipOfTheControl) {
    int clicks = 0;
    TColorButton* button = Add<TColorButton>(5, 5, L"Go", clicks);
    TStaticTextW* link = Add<TStaticTextW>(100, 5, L"Open", clicks);
    for (TItemControl* c : {static_cast<TItemControl*>(button), static_cast<TItemControl*>(link)}) {
        c->SetShowHint(true);
        c->SetHint(L"C:\\first target");
        HWND tip = c->TooltipWindow();
        ASSERT_NE(tip, nullptr);
        EXPECT_EQ(WindowClass(tip), L"tooltips_class32");
        EXPECT_EQ(ToolCount(tip), 1);
        EXPECT_EQ(ToolText(tip, c->Handle()), L"C:\\first target");
        c->SetHint(L"https://example.org/");
        EXPECT_EQ(ToolText(tip, c->Handle()), L"https://example.org/");
        c->SetHint(L"");
        EXPECT_EQ(ToolCount(tip), 0);
        c->SetHint(L"again");
        EXPECT_EQ(ToolCount(tip), 1);
        c->SetShowHint(false);
        EXPECT_EQ(ToolCount(tip), 0);
    }
}

// A window that lives at the bottom is not activated by a click, nor through one of its
// controls; other windows are.
TEST_F(ControlsOnForm, AClickDoesNotActivateAWindowThatLivesAtTheBottom) {
    int clicks = 0;
    TColorButton* button = Add<TColorButton>(5, 5, L"Go", clicks);
    const LPARAM click = MAKELPARAM(HTCLIENT, WM_LBUTTONDOWN);
    const WPARAM top = reinterpret_cast<WPARAM>(form->Handle());
    EXPECT_EQ(SendMessageW(form->Handle(), WM_MOUSEACTIVATE, top, click), MA_ACTIVATE);
    form->ShowNoActivate = true;
    EXPECT_EQ(SendMessageW(form->Handle(), WM_MOUSEACTIVATE, top, click), MA_NOACTIVATE);
    EXPECT_EQ(SendMessageW(button->Handle(), WM_MOUSEACTIVATE, top, click), MA_NOACTIVATE);
}

// The window under the form hands a click at a point of the form on to the form's
// control there (in that control's coordinates); a point outside the form goes nowhere.
TEST_F(ControlsOnForm, TheWindowBeneathHandsClicksOnToTheForm) {
    int clicks = 0;
    Add<TColorButton>(40, 30, L"Go", clicks);
    auto* beneath = Application().CreateForm<TForm>();
    beneath->BorderStyle = TFormBorderStyle::None;
    beneath->SetBounds(0, 0, 400, 300);  // larger than the form at (20, 20)
    beneath->Show();
    PumpFor(30);
    auto press = [&](int x, int y) {
        SendMessageW(beneath->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        SendMessageW(beneath->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(x, y));
    };
    press(20 + 40 + 5, 20 + 30 + 5);
    EXPECT_EQ(clicks, 0) << "nothing is handed on without a target";
    beneath->MouseTarget = form;
    press(20 + 40 + 5, 20 + 30 + 5);
    EXPECT_EQ(clicks, 1);
    press(20 + 40 + 70, 20 + 30 + 5);  // on the form beside the button
    press(380, 280);                   // outside the form
    EXPECT_EQ(clicks, 1);
}
