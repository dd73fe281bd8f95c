// The CONTROL items' buttons and links as a user meets them, with real pointer input
// through the X server: a page change by a click on the next-page button leaves only the
// new page's controls on the screen, in window and in desktop mode (where the click must
// neither raise the backdrop over the window nor get lost on a see-through pixel); a
// link shows its target in a tooltip while the pointer rests on it, and a click on a
// link whose target is missing is logged.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Inspector.h"

namespace {

constexpr DWORD kStart = 20000;
const wchar_t kMainClass[] = L"TVistrelMainForm";
// The button's face: the default of "button-color" (hexadecimal 228822, blue green red).
const COLORREF kFace = RGB(0x22, 0x88, 0x22);
const COLORREF kPageTwo = RGB(0x00, 0xFF, 0xFF);

const char kPages[] =
    "[options]\r\nfont-face=Arial\r\nfont-size=12\r\nnav=1\r\nleft=100\r\ntop=100\r\nwidth=300\r\n"
    "formcolor=303030\r\ninimonitortime=60\r\n"
    "[pages]\r\n1=One\r\n2=Two\r\n"
    "[items]\r\n"
    "TEXT=active:1,text:One,display:first page,color:#FFFF00\r\n"
    "CONTROL=active:1,type:0,text:Button,display:Press me,uri:vistrel-missing.exe,color:#FFFFFF\r\n"
    "TEXT=active:2,text:Two,display:second page,color:#00FFFF\r\n"
    "TEXT=active:2,text:Two,display:and more,color:#00FFFF\r\n";

bool Near(COLORREF a, COLORREF b, int tolerance = 24) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

int CountNear(const ScreenShot& shot, COLORREF colour) {
    return static_cast<int>(std::count_if(shot.Pixels.begin(), shot.Pixels.end(),
                                          [&](COLORREF p) { return Near(p, colour); }));
}

// The visible child windows of a class, in the order the system lists them.
struct ChildSearch {
    std::wstring cls;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectShownChild(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<ChildSearch*>(lp);
    if (IsWindowVisible(w) && WindowClass(w) == s->cls) s->found.push_back(w);
    return TRUE;
}

std::vector<HWND> ShownChildren(HWND parent, const std::wstring& className) {
    ChildSearch search{className, {}};
    EnumChildWindows(parent, CollectShownChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename F>
bool WaitUntil(F condition, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= ms) return condition();
        ServeMessages(50);
    }
    return true;
}

std::string Coordinates(int x, int y) { return std::to_string(x) + " " + std::to_string(y); }

// Vistrel on an ini file, in the mode its switches give; the pointer goes back where it
// was when the test ends.
class Running {
public:
    Running(const std::string& ini, const std::wstring& switches) {
        GetCursorPos(&pointer_);
        ini_.Write(ini);
        process_ = std::make_unique<VistrelProcess>(switches + L" " + ini_.Switch());
        form_ = WaitForWindow(process_->Id(), kMainClass, kStart);
    }
    ~Running() {
        XdoTool("mousemove " + Coordinates(pointer_.x, pointer_.y));
        if (form_) PostMessageW(form_, WM_CLOSE, 0, 0);
        process_->WaitExit(10000);
    }
    HWND Form() const { return form_; }
    VistrelProcess& Process() { return *process_; }
    ScreenShot Shot() const { return CaptureScreen(WindowRect(form_)); }

private:
    POINT pointer_{};
    IniFile ini_;
    std::unique_ptr<VistrelProcess> process_;
    HWND form_ = nullptr;
};

// Page 1 shows its button; a real click on the next-page button (at a point of its face
// that, in desktop mode, is see-through until the pointer rests on it) shows page 2,
// with nothing of the button left on the screen.
void NextPageTakesTheButtonAway(const std::wstring& switches) {
    Running v(kPages, switches);
    ASSERT_NE(v.Form(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ShownChildren(v.Form(), L"TColorButton").size() == 1; }, 15000))
        << "the page-1 button is shown";
    ServeMessages(500);
    ASSERT_GT(CountNear(v.Shot(), kFace), 50) << "the button is on the screen";
    const std::vector<HWND> nav = ShownChildren(v.Form(), L"TVrShadowButton");
    ASSERT_EQ(nav.size(), 3u);
    const HWND next = *std::max_element(nav.begin(), nav.end(), [](HWND a, HWND b) {
        return WindowRect(a).left < WindowRect(b).left;
    });
    const RECT r = WindowRect(next);
    ASSERT_EQ(XdoTool("mousemove " + Coordinates(r.left + 6, r.top + 6) + " click 1"), 0);

    EXPECT_TRUE(WaitUntil([&] { return CountNear(v.Shot(), kPageTwo) > 20; }, 10000)) << "page 2 shows";
    ServeMessages(1500);  // a pass or two more
    const ScreenShot shot = v.Shot();
    EXPECT_EQ(CountNear(shot, kFace), 0) << "nothing of the page-1 button stays";
    EXPECT_GT(CountNear(shot, kPageTwo), 20);
    EXPECT_TRUE(ShownChildren(v.Form(), L"TColorButton").empty());
    const auto backdrops = WindowsOf(v.Process().Id(), L"TForm", true);
    if (!backdrops.empty()) {
        EXPECT_LT(ZOrderIndex(v.Form()), ZOrderIndex(backdrops.front())) << "the form above its backdrop";
    }
}

}  // namespace

TEST(EndToEndControls, NextPageTakesThePageOneButtonAwayInWindowMode) { NextPageTakesTheButtonAway(L"/f"); }

TEST(EndToEndControls, NextPageTakesThePageOneButtonAwayInDesktopMode) { NextPageTakesTheButtonAway(L""); }

// The pointer resting on a link shows its target in a tooltip beside it; a click on the
// link, whose target is missing, is logged with the shell's error.
TEST(EndToEndControls, AHoveredLinkShowsItsTargetAndAFailedClickIsLogged) {
    Running v("[options]\r\nfont-face=Arial\r\nfont-size=12\r\nnav=0\r\nleft=100\r\ntop=100\r\nwidth=300\r\n"
              "formcolor=303030\r\ninimonitortime=60\r\n[items]\r\n"
              "CONTROL=active:1,type:1,text:Docs,display:Open the docs,uri:C:\\vistrel-missing-docs.txt,"
              "color:#FFFFFF\r\n",
              L"");
    ASSERT_NE(v.Form(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ShownChildren(v.Form(), L"TStaticTextW").size() == 1; }, 15000));
    const RECT link = WindowRect(ShownChildren(v.Form(), L"TStaticTextW").front());
    const int x = (link.left + link.right) / 2, y = (link.top + link.bottom) / 2;
    ASSERT_EQ(XdoTool("mousemove " + Coordinates(x - 3, y)), 0);
    ASSERT_EQ(XdoTool("mousemove " + Coordinates(x, y)), 0);

    HWND tip = nullptr;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const auto tips = WindowsOf(v.Process().Id(), L"tooltips_class32", true);
            tip = tips.empty() ? nullptr : tips.front();
            return tip != nullptr;
        },
        5000))
        << "a tooltip appears";
    if (tip) {
        const RECT t = WindowRect(tip);
        EXPECT_GE(t.top, link.top) << "beside the pointer";
        EXPECT_LT(t.top, link.bottom + 60);
        EXPECT_LT(std::abs(t.left - x), 100);
        // It holds a line of text: dark ink on its light face (the text itself is checked
        // where the tooltip is made).
        const ScreenShot shot = CaptureScreen(t);
        const auto ink = std::count_if(shot.Pixels.begin(), shot.Pixels.end(), [](COLORREF p) {
            return GetRValue(p) + GetGValue(p) + GetBValue(p) < 3 * 96;
        });
        EXPECT_GT(ink, 20);
        EXPECT_GT(t.right - t.left, 60);
    }

    ASSERT_EQ(XdoTool("click 1"), 0);
    EXPECT_TRUE(v.Process().WaitForLog(L"ERROR Control Error: uri: C:\\vistrel-missing-docs.txt Args:  Error: 2", 10000));
    EXPECT_EQ(v.Process().LogText().find(L"TStaticTextW.Click"), std::wstring::npos);
}
