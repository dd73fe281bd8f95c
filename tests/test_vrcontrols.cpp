#include <windows.h>

#include <gtest/gtest.h>

#include "Canvas.h"
#include "Errors.h"
#include "VrControls.h"
#include "WindowTests.h"

namespace {

// A form that counts its own paints (every form repaint is a relayout in the program).
class CountingForm : public TForm {
public:
    int paints = 0;
    std::wstring ClassName() const override { return L"TCountingForm"; }

protected:
    void Paint() override { ++paints; }
};

// A double-buffered control that fills its buffer with one colour over the background.
class SolidControl : public TVrGraphicImageControl {
public:
    using TVrGraphicImageControl::TVrGraphicImageControl;
    std::wstring ClassName() const override { return L"TSolidControl"; }
    bool drawSquare = false;

protected:
    void Paint() override {
        PrepareBuffer();
        if (drawSquare) {
            BufferCanvas().Brush().SetColor(RGB(0, 0, 255));
            BufferCanvas().FillRect({0, 0, 4, 4});
        }
        TVrGraphicImageControl::Paint();
    }
};

CountingForm* ShownForm() {
    auto* form = Application().CreateForm<CountingForm>();
    form->BorderStyle = TFormBorderStyle::None;
    form->SetBounds(50, 50, 200, 120);
    form->SetColor(RGB(10, 20, 30));
    form->Show();
    PumpFor(200);
    return form;
}

}  // namespace

TEST(VrHelpers, Percentages) {
    struct Row { int value, percent, expected; };
    for (const Row& r : {Row{33, 137, 45}, Row{100, 50, 50}, Row{0, 80, 0}, Row{-10, 50, -5}, Row{7, 0, 0}})
        EXPECT_EQ(PercentOf(r.value, r.percent), r.expected) << r.value << " " << r.percent;
    struct TotalRow { int value, total, expected; };
    for (const TotalRow& r : {TotalRow{5, 0, 0}, TotalRow{1, 3, 33}, TotalRow{2, 3, 66}, TotalRow{3, 3, 100},
                              TotalRow{-1, 3, -33}, TotalRow{10, 4, 250}})
        EXPECT_EQ(PercentOfTotal(r.value, r.total), r.expected) << r.value << " " << r.total;
}

TEST(VrHelpers, ShapeBoxes) {
    struct Row { TVrShapeType kind; int x, y, w, h, pen; RECT expected; };
    const Row rows[] = {
        {TVrShapeType::Circle, 0, 0, 40, 20, 1, {10, 0, 30, 20}},      // centred horizontally
        {TVrShapeType::Square, 5, 5, 10, 30, 1, {5, 15, 15, 25}},      // centred vertically
        {TVrShapeType::RoundSquare, 0, 0, 20, 20, 1, {0, 0, 20, 20}},
        {TVrShapeType::Rectangle, 1, 2, 40, 20, 1, {1, 2, 41, 22}},    // not squared
        {TVrShapeType::Ellipse, 0, 0, 40, 20, 1, {0, 0, 40, 20}},
        {TVrShapeType::Rectangle, 0, 0, 40, 20, 0, {0, 0, 39, 19}},    // a zero pen shrinks the box
        {TVrShapeType::Circle, 0, 0, 41, 21, 0, {10, 0, 30, 20}},
    };
    for (const Row& r : rows) {
        const RECT got = ShapeBox(r.x, r.y, r.w, r.h, r.kind, r.pen);
        EXPECT_TRUE(RectEquals(got, r.expected)) << static_cast<int>(r.kind) << ": " << got.left << "," << got.top
                                                 << "," << got.right << "," << got.bottom;
    }
}

TEST(VrHelpers, RectEqualsComparesAllFourSides) {
    EXPECT_TRUE(RectEquals({1, 2, 3, 4}, {1, 2, 3, 4}));
    EXPECT_FALSE(RectEquals({1, 2, 3, 4}, {0, 2, 3, 4}));
    EXPECT_FALSE(RectEquals({1, 2, 3, 4}, {1, 2, 3, 5}));
}

TEST(VrHelpers, CircleIsDrawnAsCentredSquareBox) {
    TBitmap bmp;
    bmp.SetSize(40, 20);
    bmp.Canvas().Brush().SetColor(clWhite);
    bmp.Canvas().FillRect({0, 0, 40, 20});
    bmp.Canvas().Brush().SetColor(RGB(255, 0, 0));
    bmp.Canvas().Pen().SetColor(RGB(255, 0, 0));
    DrawShape(bmp.Canvas(), 0, 0, 40, 20, TVrShapeType::Circle);
    EXPECT_EQ(bmp.Pixel(20, 10), RGB(255, 0, 0));  // centre
    EXPECT_EQ(bmp.Pixel(5, 10), clWhite);          // left of the circle's box
    EXPECT_EQ(bmp.Pixel(35, 10), clWhite);         // right of it
    EXPECT_EQ(bmp.Pixel(10, 0), clWhite);          // the box's corner lies outside the circle
}

TEST_F(WindowTest, NestedUpdatesRepaintOnceAtTheLastEnd) {
    CountingForm* form = ShownForm();
    auto control = std::make_unique<SolidControl>(form);
    control->SetBounds(10, 10, 30, 20);
    control->Show();
    PumpFor(100);
    const int before = control->PaintCount();
    control->BeginUpdate();
    control->BeginUpdate();
    control->EndUpdate();
    EXPECT_EQ(control->PaintCount(), before);  // still inside the outer pair
    control->EndUpdate();
    EXPECT_EQ(control->PaintCount(), before + 1);
    control->UpdateControl();
    EXPECT_EQ(control->PaintCount(), before + 2);
}

TEST_F(WindowTest, ControlRepaintsNeverRepaintTheForm) {
    CountingForm* form = ShownForm();
    auto control = std::make_unique<SolidControl>(form);
    control->SetBounds(10, 10, 30, 20);
    PumpFor(100);
    const int before = form->paints;
    control->Show();
    PumpFor(50);
    control->Repaint();
    control->SetBounds(60, 40, 30, 20);
    PumpFor(50);
    control->Hide();
    PumpFor(50);
    control->Show();
    control->SetTransparent(true);
    PumpFor(100);
    EXPECT_EQ(form->paints, before);
    EXPECT_GT(control->PaintCount(), 0);
}

TEST_F(WindowTest, OpaqueControlFillsWithItsColour) {
    CountingForm* form = ShownForm();
    auto control = std::make_unique<SolidControl>(form);
    control->SetBounds(10, 10, 30, 20);
    control->SetColor(RGB(0, 200, 0));
    control->Show();
    PumpFor(100);
    EXPECT_EQ(control->Buffer().Pixel(15, 10), RGB(0, 200, 0));
}

TEST_F(WindowTest, TransparentControlShowsWhatTheParentPaintedUnderIt) {
    CountingForm* form = ShownForm();
    auto control = std::make_unique<SolidControl>(form);
    control->SetBounds(10, 10, 30, 20);
    control->SetTransparent(true);
    control->drawSquare = true;
    form->Canvas().Brush().SetColor(RGB(200, 0, 0));
    form->Canvas().FillRect({0, 0, 200, 120});
    control->Show();
    PumpFor(100);
    EXPECT_EQ(control->Buffer().Pixel(20, 15), RGB(200, 0, 0));
    EXPECT_EQ(control->Buffer().Pixel(1, 1), RGB(0, 0, 255));
    // A repaint of the control's own making reuses the background; the control's own
    // square must not become part of it.
    control->drawSquare = false;
    control->UpdateControl();
    EXPECT_EQ(control->Buffer().Pixel(1, 1), RGB(200, 0, 0));
    // A repaint from outside while the control is shown captures what lies under it.
    control->drawSquare = true;
    control->UpdateControl();
    control->drawSquare = false;
    control->Invalidate();
    control->Update();
    EXPECT_EQ(control->Buffer().Pixel(1, 1), RGB(200, 0, 0));
    // A repaint from outside captures the parent again.
    form->Canvas().Brush().SetColor(RGB(0, 0, 200));
    control->Hide();
    form->Canvas().FillRect({0, 0, 200, 120});
    control->Show();
    PumpFor(100);
    EXPECT_EQ(control->Buffer().Pixel(20, 15), RGB(0, 0, 200));
}

TEST_F(WindowTest, MouseEnterAndLeaveHooks) {
    CountingForm* form = ShownForm();
    auto control = std::make_unique<SolidControl>(form);
    control->SetBounds(10, 10, 30, 20);
    control->Show();
    int entered = 0, left = 0;
    control->OnMouseEnterHook = [&](TVrGraphicControl*) { ++entered; };
    control->OnMouseLeaveHook = [&](TVrGraphicControl*) { ++left; };
    SendMessageW(control->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    SendMessageW(control->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(6, 5));
    EXPECT_EQ(entered, 1);
    SendMessageW(control->Handle(), WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(left, 1);
}

TEST_F(WindowTest, UtilityWindowServesItsHandlerAndReportsErrors) {
    std::wstring sender, text;
    Application().OnException = [&](const std::wstring& s, const std::exception& e) {
        sender = s;
        text = ExceptionText(e);
    };
    int seen = 0;
    HWND w = VrAllocateWindow([&](HWND h, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
        if (msg == WM_USER + 1) return ++seen;
        if (msg == WM_USER + 2) throw EConvertError(L"bad value");
        return DefWindowProcW(h, msg, wp, lp);
    });
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(SendMessageW(w, WM_USER + 1, 0, 0), 1);
    SendMessageW(w, WM_USER + 2, 0, 0);
    EXPECT_EQ(sender, L"TVrUtilWindow");
    EXPECT_EQ(text, L"EConvertError bad value");
    VrDeallocateWindow(w);
    EXPECT_FALSE(IsWindow(w));
}

TEST_F(WindowTest, HandPointCursorIsRegisteredFromTheResource) {
    RegisterHandPointCursor();
    HCURSOR own = Application().CursorHandle(crVrHandPoint);
    EXPECT_NE(own, nullptr);
    EXPECT_NE(own, LoadCursorW(nullptr, IDC_ARROW));
    Application().CursorHidden = true;
    EXPECT_EQ(Application().CursorHandle(crVrHandPoint), nullptr);
}
