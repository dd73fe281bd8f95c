// What a user sees: Vistrel.exe on the desktop with an ini file, read back from the
// screen's pixels. Labels stand in the key column and values beside them in their
// colours; thresholds recolour a line; a line chart grows by one value per collection;
// "w" draws separators; right-to-left options move the text to the right edge; the
// black background is see-through, and the backdrop's transparency shows under a
// compositor.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Inspector.h"
#include "Utils.h"

namespace {

constexpr DWORD kStart = 20000;
const wchar_t kMainClass[] = L"TVistrelMainForm";
constexpr int kMargin = 5;
// A 12-point line is taller than this.
constexpr int kMinLinePitch = 15;

// A fixed font and a quiet ini watcher; no navigation strip.
const char kOptions[] = "[options]\r\nfont-face=Arial\r\nfont-size=12\r\nnav=0\r\ninimonitortime=60\r\n";

bool Near(COLORREF a, COLORREF b, int tolerance = 48) {
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance &&
           std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

int Brightness(COLORREF c) { return (GetRValue(c) + GetGValue(c) + GetBValue(c)) / 3; }

// Rows [top, bottom) of the shot that hold a pixel of the colour.
struct Band {
    int top = 0, bottom = 0;
};
std::vector<Band> BandsOf(const ScreenShot& shot, COLORREF colour, int tolerance = 48) {
    std::vector<Band> bands;
    for (int y = 0; y < shot.Height(); ++y) {
        bool hit = false;
        for (int x = 0; x < shot.Width() && !hit; ++x) hit = Near(shot.At(x, y), colour, tolerance);
        if (!hit) continue;
        if (!bands.empty() && bands.back().bottom == y) ++bands.back().bottom;
        else bands.push_back({y, y + 1});
    }
    return bands;
}

// Runs of columns [left, right) holding the colour in the rows of a band, split where
// more than Gap columns in a row hold none.
struct Span {
    int left = 0, right = 0;
};
std::vector<Span> SpansOf(const ScreenShot& shot, COLORREF colour, const Band& band, int gap = 6) {
    std::vector<Span> spans;
    for (int x = 0; x < shot.Width(); ++x) {
        bool hit = false;
        for (int y = band.top; y < band.bottom && !hit; ++y) hit = Near(shot.At(x, y), colour);
        if (!hit) continue;
        if (!spans.empty() && x - spans.back().right <= gap) spans.back().right = x + 1;
        else spans.push_back({x, x + 1});
    }
    return spans;
}

// The one band of a colour (a line drawn in a colour no other line uses).
Band OnlyBand(const ScreenShot& shot, COLORREF colour) {
    const auto bands = BandsOf(shot, colour);
    EXPECT_EQ(bands.size(), 1u) << "one line in colour " << std::hex << colour;
    return bands.empty() ? Band{} : bands.front();
}

// An ini file outside the program folder, and Vistrel running on it in desktop mode.
class Desktop {
public:
    explicit Desktop(const std::string& ini) {
        EXPECT_TRUE(WriteFileBytes(path_, ini));
        process_ = std::make_unique<VistrelProcess>(L"/ini=" + path_);
        form_ = WaitForWindow(process_->Id(), kMainClass, kStart);
    }
    ~Desktop() {
        if (form_) PostMessageW(form_, WM_CLOSE, 0, 0);
        process_->WaitExit(10000);
    }
    HWND Form() const { return form_; }
    VistrelProcess& Process() { return *process_; }
    // Waits for Passes more complete display passes than have been logged so far.
    bool WaitForPasses(std::size_t passes, DWORD ms = 15000) const {
        const std::size_t target = Count(process_->LogText(), L"UpdateEntries Complete.") + passes;
        const DWORD start = GetTickCount();
        while (Count(process_->LogText(), L"UpdateEntries Complete.") < target) {
            if (GetTickCount() - start >= ms) return false;
            ServeMessages(50);
        }
        ServeMessages(200);  // the pass has reached the screen
        return true;
    }
    // Waits until the window holds at least Lines text lines (the items have their first
    // results), then for one more pass.
    bool WaitForLines(int lines, DWORD ms = 15000) const {
        // Before the first pass the window has its initial size.
        if (!WaitForPasses(1, ms)) return false;
        const DWORD start = GetTickCount();
        while (true) {
            const RECT r = WindowRect(form_);
            if (r.bottom - r.top >= lines * kMinLinePitch) break;
            if (GetTickCount() - start >= ms) return false;
            ServeMessages(50);
        }
        return WaitForPasses(1);
    }
    ScreenShot Shot() const { return CaptureScreen(WindowRect(form_)); }

private:
    TempFolder dir_{L"vistrel-e2e-paint"};
    std::wstring path_ = dir_.File(L"paint.ini");
    std::unique_ptr<VistrelProcess> process_;
    HWND form_ = nullptr;
};

RECT WorkArea() {
    RECT r{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
    return r;
}

}  // namespace

TEST(EndToEndPainting, DefaultPlacementKeyAndValueColumnsInTheirColours) {
    Desktop d(std::string(kOptions) +
              "[items]\r\n"
              "COMMENT=active:1,text:Overview,color:#FFD040\r\n"
              "HOST=active:1,color:#FF4040\r\n"
              "USER=active:1,color:#40FF40\r\n"
              "UPTIME=active:1,color:#4080FF,text:Time since the start\r\n");
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.WaitForLines(4));

    // Without a position the window stands in the top right corner of the work area, 400
    // pixels wide.
    const RECT area = WorkArea(), r = WindowRect(d.Form());
    EXPECT_EQ(r.right, area.right);
    EXPECT_EQ(r.top, area.top);
    EXPECT_EQ(r.right - r.left, 400);

    const ScreenShot shot = d.Shot();
    // The heading runs from the margin; each item has its label at the margin and its value
    // in one value column beside the widest label, all in the item's colour.
    const auto heading = SpansOf(shot, RGB(0xFF, 0xD0, 0x40), OnlyBand(shot, RGB(0xFF, 0xD0, 0x40)));
    ASSERT_FALSE(heading.empty());
    EXPECT_NEAR(heading.front().left, kMargin, 2);

    std::vector<int> valueLefts;
    int widestLabel = 0;
    for (COLORREF colour : {RGB(0xFF, 0x40, 0x40), RGB(0x40, 0xFF, 0x40), RGB(0x40, 0x80, 0xFF)}) {
        const auto spans = SpansOf(shot, colour, OnlyBand(shot, colour));
        ASSERT_GE(spans.size(), 2u) << "label and value of colour " << std::hex << colour;
        EXPECT_NEAR(spans.front().left, kMargin, 2) << "the label starts at the margin";
        widestLabel = std::max(widestLabel, spans[spans.size() - 2].right);
        valueLefts.push_back(spans.back().left);
    }
    for (int left : valueLefts) EXPECT_NEAR(left, valueLefts.front(), 2) << "one value column";
    EXPECT_GT(valueLefts.front(), widestLabel) << "values stand right of every label";
}

TEST(EndToEndPainting, ShippedSampleShowsItsFirstPage) {
    const std::string sample = ReadFileBytes(AnsiToWide(VISTREL_TEST_SOURCE_DIR "/vistrel-sample.ini"));
    ASSERT_FALSE(sample.empty());
    Desktop d(sample);
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.WaitForLines(5));

    // The sample places the window 20 pixels from the top right corner, 320 wide.
    const RECT area = WorkArea(), r = WindowRect(d.Form());
    EXPECT_EQ(r.right, area.right - 20);
    EXPECT_EQ(r.top, area.top + 20);
    EXPECT_EQ(r.right - r.left, 320);

    const ScreenShot shot = d.Shot();
    EXPECT_FALSE(BandsOf(shot, RGB(0xFF, 0xD0, 0x40)).empty()) << "the heading";
    // Host and user share the host's colour (the user line has none of its own): two lines,
    // each a label and a value in one value column.
    const auto bands = BandsOf(shot, RGB(0x80, 0xC0, 0xFF));
    ASSERT_EQ(bands.size(), 2u);
    std::vector<int> valueLefts;
    for (const Band& band : bands) {
        const auto spans = SpansOf(shot, RGB(0x80, 0xC0, 0xFF), band);
        ASSERT_GE(spans.size(), 2u);
        EXPECT_NEAR(spans.front().left, kMargin, 2);
        valueLefts.push_back(spans.back().left);
    }
    EXPECT_NEAR(valueLefts[0], valueLefts[1], 2);
    // Date and time, and the up time, in their light grey (the processor line is white).
    EXPECT_EQ(BandsOf(shot, RGB(0xE0, 0xE0, 0xE0), 8).size(), 2u);
    // The processor line ends in its bar.
    EXPECT_FALSE(BandsOf(shot, RGB(0xFF, 0xFF, 0xFF), 8).empty());
}

TEST(EndToEndPainting, ThresholdColoursTheValueOfALineThatReachesIt) {
    // Up time's first value (days) is 0 here: "at most 5" is reached, "at least 999999" is not.
    Desktop d(std::string(kOptions) +
              "column1width=120\r\n[items]\r\n"
              "UPTIME=active:1,text:Reached,color:#40FF40,threshold:-5,tcolor:#FF4040\r\n"
              "UPTIME=active:1,text:Calm,color:#4080FF,threshold:999999,tcolor:#FF40FF\r\n");
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.WaitForLines(2));
    const ScreenShot shot = d.Shot();
    const int valueX = kMargin + 120 + kMargin;

    // The reached line: label in the item's colour, value in the threshold colour.
    const auto label = SpansOf(shot, RGB(0x40, 0xFF, 0x40), OnlyBand(shot, RGB(0x40, 0xFF, 0x40)));
    ASSERT_FALSE(label.empty());
    EXPECT_LT(label.back().right, valueX);
    const auto value = SpansOf(shot, RGB(0xFF, 0x40, 0x40), OnlyBand(shot, RGB(0xFF, 0x40, 0x40)));
    ASSERT_FALSE(value.empty());
    EXPECT_NEAR(value.front().left, valueX, 2);

    // The calm line keeps its colour for label and value; its threshold colour is nowhere.
    const auto calm = SpansOf(shot, RGB(0x40, 0x80, 0xFF), OnlyBand(shot, RGB(0x40, 0x80, 0xFF)));
    ASSERT_GE(calm.size(), 2u);
    EXPECT_NEAR(calm.back().left, valueX, 2);
    EXPECT_TRUE(BandsOf(shot, RGB(0xFF, 0x40, 0xFF)).empty());
}

TEST(EndToEndPainting, StyleWDrawsASeparatorUnderEachLine) {
    Desktop d(std::string(kOptions) +
              "[items]\r\n"
              "HOST=active:1,color:#40FFFF,style:w\r\n"
              "USER=active:1,color:#FFFF40\r\n");
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.WaitForLines(2));
    const ScreenShot shot = d.Shot();
    const int width = shot.Width();

    // A row that is the item's colour from the margin to the right margin.
    auto separatorRows = [&](COLORREF colour) {
        int rows = 0;
        for (int y = 0; y < shot.Height(); ++y) {
            int run = 0;
            for (int x = kMargin; x < width - kMargin; ++x) run += Near(shot.At(x, y), colour, 8) ? 1 : 0;
            if (run == width - 2 * kMargin && !Near(shot.At(kMargin - 1, y), colour, 8) &&
                !Near(shot.At(width - kMargin, y), colour, 8))
                ++rows;
        }
        return rows;
    };
    EXPECT_EQ(separatorRows(RGB(0x40, 0xFF, 0xFF)), 1) << "one separator, from x 5 to the width less 5";
    EXPECT_EQ(separatorRows(RGB(0xFF, 0xFF, 0x40)), 0) << "none without the style";
}

TEST(EndToEndPainting, RightToLeftOptionsMoveTextToTheRightEdge) {
    struct Case {
        const char* option;
        bool headingRight, labelRight, valueRight;
    };
    // font-rtl right-aligns the heading and the key column, the global text-align only the
    // key column; the values of ordinary items stay left-aligned in both.
    const Case cases[] = {{"font-rtl=1\r\n", true, true, false}, {"text-align=1\r\n", false, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        Desktop d(std::string(kOptions) + c.option + "column1width=150\r\n[items]\r\n"
                  "COMMENT=active:1,text:Overview,color:#FFD040\r\n"
                  "HOST=active:1,color:#FF4040,text:Name\r\n");
        ASSERT_NE(d.Form(), nullptr);
        ASSERT_TRUE(d.WaitForLines(2));
        const ScreenShot shot = d.Shot();
        const int width = shot.Width(), valueX = kMargin + 150 + kMargin;

        const auto heading = SpansOf(shot, RGB(0xFF, 0xD0, 0x40), OnlyBand(shot, RGB(0xFF, 0xD0, 0x40)));
        ASSERT_FALSE(heading.empty());
        if (c.headingRight) EXPECT_NEAR(heading.back().right, width - kMargin, 3);
        else EXPECT_NEAR(heading.front().left, kMargin, 2);

        // A right-aligned label ends 5 pixels before the value: a narrow gap splits them.
        const auto host = SpansOf(shot, RGB(0xFF, 0x40, 0x40), OnlyBand(shot, RGB(0xFF, 0x40, 0x40)), 2);
        ASSERT_GE(host.size(), 2u);
        // The label ends at the value column less the margin, or starts at the margin.
        if (c.labelRight) EXPECT_NEAR(host.front().right, valueX - kMargin, 3);
        else EXPECT_NEAR(host.front().left, kMargin, 2);
        if (c.valueRight) EXPECT_NEAR(host.back().right, width - kMargin, 3);
        else EXPECT_NEAR(host.back().left, valueX, 2);
    }
}

TEST(EndToEndPainting, LineChartGrowsByOneValuePerCollection) {
    // The year (value 4 of the date) is far above the maximum 100: every value is drawn
    // at the top of the chart, so the run of chart colour along the top grows one pixel
    // per value.
    Desktop d(std::string(kOptions) +
              "[items]\r\n"
              "DATETIME=active:1,interval:1,color:#FFFFFF,text:Clock,chart:line linear 100 4 00FF00\r\n");
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.Process().WaitForLog(L"UpdateEntries: Scope Done", kStart));

    // Where the scope stands: "UpdateEntries: Scope <left> <top> <width> <height>".
    const std::wstring log = d.Process().LogText();
    const std::size_t at = log.find(L"UpdateEntries: Scope ");
    ASSERT_NE(at, std::wstring::npos);
    int left = 0, top = 0, width = 0, height = 0;
    ASSERT_EQ(swscanf(log.c_str() + at, L"UpdateEntries: Scope %d %d %d %d", &left, &top, &width, &height), 4);
    ASSERT_GT(width, 50);

    // The run's length and the number of values drawn so far, taken between two drawings.
    const COLORREF green = RGB(0, 0xFF, 0);
    auto measure = [&](std::size_t& values) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const std::size_t before = Count(d.Process().LogText(), L"UpdateEntries: Scope Done");
            const DWORD start = GetTickCount();
            while (Count(d.Process().LogText(), L"UpdateEntries: Scope Done") == before &&
                   GetTickCount() - start < 5000)
                ServeMessages(20);
            ServeMessages(300);
            const RECT r = WindowRect(d.Form());
            const ScreenShot shot = CaptureScreen({r.left + left, r.top + top, r.left + left + width, r.top + top + 3});
            values = Count(d.Process().LogText(), L"UpdateEntries: Scope Done");
            if (values != before + 1) continue;  // a drawing came during the capture
            int run = 0;
            for (int x = 0; x < shot.Width(); ++x) {
                bool hit = false;
                for (int y = 0; y < shot.Height() && !hit; ++y) hit = shot.At(x, y) == green;
                run += hit ? 1 : 0;
            }
            return run;
        }
        ADD_FAILURE() << "no quiet moment between drawings";
        return -1;
    };
    std::size_t values1 = 0, values2 = 0;
    const int run1 = measure(values1);
    ServeMessages(2500);
    const int run2 = measure(values2);
    ASSERT_GT(values2, values1);
    EXPECT_GT(run1, 0);
    EXPECT_EQ(run2 - run1, static_cast<int>(values2 - values1)) << "one pixel per collection";
}

// The next two run again from a wrapper that lights the desktop (and, for the second,
// starts a compositing manager); skipped otherwise.
namespace {
// Names the top-level window at a point of the screen and its program, for a failure's text.
std::string WindowAtText(POINT at) {
    HWND w = WindowFromPoint(at);
    if (!w) return "none";
    wchar_t cls[128] = L"";
    GetClassNameW(GetAncestor(w, GA_ROOT), cls, 128);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    std::wstring image = L"?";
    if (HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
        wchar_t path[MAX_PATH] = L"";
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(p, 0, path, &size)) image = path;
        CloseHandle(p);
    }
    return WideToUtf8(std::wstring(L"class ") + cls + L", process " + std::to_wstring(pid) + L" " + image);
}
bool LitDesktop(const char* kind) {
    const char* value = std::getenv("VISTREL_LIT_DESKTOP");
    return value && std::string(value) == kind;
}
}  // namespace

TEST(EndToEndLitDesktop, WithoutCompositorTheBackdropStaysSolid) {
    if (!LitDesktop("plain")) GTEST_SKIP() << "needs a lit desktop without a compositor";
    // Window opacity needs a compositor: without one the backdrop is solid black whatever
    // the transparency, and the text is drawn on it.
    Desktop d(std::string(kOptions) + "transparency=100\r\n[items]\r\nHOST=active:1,color:#FF4040\r\n");
    ASSERT_NE(d.Form(), nullptr);
    ASSERT_TRUE(d.WaitForLines(1));
    const RECT r = WindowRect(d.Form());
    int besideLit = 0;
    for (COLORREF c : CaptureScreen({r.left - 100, r.top, r.left, r.bottom}).Pixels) besideLit += Brightness(c) > 64;
    ASSERT_GT(besideLit, 0) << "the desktop beside the window is lit; the window there: "
                            << WindowAtText(POINT{r.left - 50, (r.top + r.bottom) / 2});
    const ScreenShot shot = CaptureScreen(r);
    int text = 0, lit = 0;
    for (COLORREF c : shot.Pixels) {
        if (Near(c, RGB(0xFF, 0x40, 0x40))) ++text;
        else if (Brightness(c) > 64) ++lit;
    }
    EXPECT_GT(text, 20) << "the text is drawn";
    EXPECT_EQ(lit, 0) << "the backdrop covers the desktop";
}

TEST(EndToEndLitDesktop, TransparencyLetsTheDesktopThroughTheBackdrop) {
    if (!LitDesktop("composited")) GTEST_SKIP() << "needs a compositing manager on the display";
    struct Case {
        const char* transparency;
        double low, high;  // share of the desktop's brightness seen through the backdrop
    };
    // At 100 the backdrop is invisible, so the desktop seen between the letters also shows
    // that the window's black background is keyed out.
    const Case cases[] = {{"0", 0.0, 0.1}, {"50", 0.35, 0.65}, {"100", 0.9, 1.1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transparency);
        Desktop d(std::string(kOptions) + "transparency=" + c.transparency +
                  "\r\n[items]\r\nHOST=active:1,color:#FF4040\r\nUSER=active:1,color:#40FF40\r\n");
        ASSERT_NE(d.Form(), nullptr);
        ASSERT_TRUE(d.WaitForLines(2));
        ServeMessages(500);
        const RECT r = WindowRect(d.Form());
        // Mean brightness beside the window and in the empty right half of the window.
        auto mean = [](const ScreenShot& s) {
            long sum = 0;
            for (COLORREF p : s.Pixels) sum += Brightness(p);
            return s.Pixels.empty() ? 0.0 : static_cast<double>(sum) / s.Pixels.size();
        };
        const double desktop = mean(CaptureScreen({r.left - 100, r.top, r.left - 10, r.bottom}));
        const double inside = mean(CaptureScreen({r.right - 150, r.top, r.right - 10, r.bottom}));
        ASSERT_GT(desktop, 40.0) << "the compositor paints a lit desktop";
        EXPECT_GE(inside / desktop, c.low);
        EXPECT_LE(inside / desktop, c.high);
    }
}
