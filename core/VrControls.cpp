#include "VrControls.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "Errors.h"
#include "WinApp.h"

// ---- TVrGraphicControl

TVrGraphicControl::TVrGraphicControl(TWinControl* parent) : TWinControl(parent) {
    font_.OnChanged = [this] { FontChanged(); };
}

void TVrGraphicControl::BeginUpdate() { ++updateCount_; }

void TVrGraphicControl::EndUpdate() {
    if (updateCount_ > 0) --updateCount_;
    UpdateControl();
}

void TVrGraphicControl::UpdateControl() {
    if (IsLoading() || updateCount_ > 0) return;
    Repaint();
}

void TVrGraphicControl::UpdateBounds() {
    if (IsLoading()) return;
    const RECT before = BoundsRect();
    SetBounds(Left(), Top(), Width(), Height());
    if (RectEquals(before, BoundsRect())) UpdateControl();
}

void TVrGraphicControl::AdjustBounds() {
    if (AutoSize) UpdateBounds();
    else UpdateControl();
}

void TVrGraphicControl::MouseEnter() {
    if (OnMouseEnterHook) OnMouseEnterHook(this);
}

void TVrGraphicControl::MouseLeave() {
    if (OnMouseLeaveHook) OnMouseLeaveHook(this);
}

void TVrGraphicControl::FontChanged() {
    if (OnFontChangedHook) OnFontChangedHook(this);
}

void TVrGraphicControl::TextChanged() {
    if (OnTextChangedHook) OnTextChangedHook(this);
}

void TVrGraphicControl::SetCaption(const std::wstring& caption) {
    if (caption == Caption()) return;
    TWinControl::SetCaption(caption);
    TextChanged();
}

void TVrGraphicControl::SetEnabled(bool enabled) {
    if (enabled == Enabled()) return;
    TWinControl::SetEnabled(enabled);
    UpdateControl();
}

LRESULT TVrGraphicControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_MOUSEMOVE:
            if (!mouseInside_) {
                mouseInside_ = true;
                TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, Handle(), 0};
                TrackMouseEvent(&tme);
                MouseEnter();
            }
            break;
        case WM_MOUSELEAVE:
            mouseInside_ = false;
            MouseLeave();
            return 0;
        case WM_PAINT:
            ++paintCount_;
            break;
        default:
            break;
    }
    return TWinControl::WndProc(msg, wp, lp);
}

// ---- TVrGraphicImageControl

TVrGraphicImageControl::TVrGraphicImageControl(TWinControl* parent)
    : TVrGraphicControl(parent), background_(std::make_unique<TBitmap>()), buffer_(std::make_unique<TBitmap>()) {}

void TVrGraphicImageControl::SetTransparent(bool value) {
    if (value == transparent_) return;
    transparent_ = value;
    if (IsDesigning()) Invalidate();
    else UpdateControl();
}

void TVrGraphicImageControl::UpdateControl() {
    // A repaint of the control's own making reuses the captured background.
    if (!IsDesigning() && transparent_ && !background_->Empty()) NeedBackground = false;
    TVrGraphicControl::UpdateControl();
}

LRESULT TVrGraphicImageControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PAINT) buffer_->SetSize(std::max(0, Width()), std::max(0, Height()));
    return TVrGraphicControl::WndProc(msg, wp, lp);
}

void TVrGraphicImageControl::CaptureBackground(int left, int top, int width, int height) {
    background_->SetSize(std::max(0, width), std::max(0, height));
    TWinControl* parent = Parent();
    if (background_->Empty() || !parent) return;
    // What the parent has painted under the control, from the parent's own DC.
    BitBlt(background_->DC(), 0, 0, width, height, parent->Canvas().Handle(), left, top, SRCCOPY);
}

void TVrGraphicImageControl::SetVisible(bool visible) {
    if (visible && !Visible() && transparent_ && HandleAllocated()) {
        CaptureBackground(Left(), Top(), Width(), Height());
        NeedBackground = false;
    }
    TVrGraphicControl::SetVisible(visible);
}

void TVrGraphicImageControl::SetBounds(int left, int top, int width, int height) {
    if (transparent_ && Visible() && HandleAllocated() &&
        (left != Left() || top != Top() || width != Width() || height != Height())) {
        CaptureBackground(left, top, width, height);
        NeedBackground = false;
    }
    TVrGraphicControl::SetBounds(left, top, width, height);
}

void TVrGraphicImageControl::PrepareBuffer() {
    TCanvas& canvas = BufferCanvas();
    canvas.Brush().SetStyle(TBrushStyle::Solid);
    if (transparent_) {
        // Taken now only where the parent's pixels are still there to be read: a control
        // that is not shown, or one that has no background of its size yet.
        const bool hidden = !HandleAllocated() || !IsWindowVisible(Handle());
        if ((NeedBackground && hidden) || background_->Width() != Width() || background_->Height() != Height())
            CaptureBackground(Left(), Top(), Width(), Height());
        BitBlt(buffer_->DC(), 0, 0, buffer_->Width(), buffer_->Height(), background_->DC(), 0, 0, SRCCOPY);
    } else {
        canvas.Brush().SetColor(Color());
        canvas.FillRect({0, 0, buffer_->Width(), buffer_->Height()});
    }
}

void TVrGraphicImageControl::Paint() {
    Canvas().Draw(0, 0, buffer_->DC(), Width(), Height());
    // The background is due again; a repaint of the control's own making (UpdateControl)
    // keeps the one it has.
    if (transparent_) NeedBackground = true;
}

// ---- helpers

int PercentOf(int value, int percent) {
    return static_cast<int>(std::trunc(static_cast<double>(percent) * static_cast<double>(value) * 0.01));
}

int PercentOfTotal(int value, int total) {
    if (total == 0) return 0;
    return static_cast<int>(std::trunc(static_cast<double>(value) * 100.0 / static_cast<double>(total)));
}

RECT ShapeBox(int x, int y, int w, int h, TVrShapeType kind, int penWidth) {
    if (penWidth == 0) {
        --w;
        --h;
    }
    const int s = std::min(w, h);
    if (kind == TVrShapeType::Square || kind == TVrShapeType::RoundSquare || kind == TVrShapeType::Circle) {
        x += (w - s) / 2;
        y += (h - s) / 2;
        w = h = s;
    }
    return {x, y, x + w, y + h};
}

void DrawShape(TCanvas& canvas, int x, int y, int w, int h, TVrShapeType kind) {
    const RECT r = ShapeBox(x, y, w, h, kind, canvas.Pen().Width());
    const int s = std::min(r.right - r.left, r.bottom - r.top);
    switch (kind) {
        case TVrShapeType::Rectangle:
        case TVrShapeType::Square:
            canvas.Rectangle(r.left, r.top, r.right, r.bottom);
            break;
        case TVrShapeType::RoundRect:
        case TVrShapeType::RoundSquare:
            canvas.RoundRect(r.left, r.top, r.right, r.bottom, s / 4, s / 4);
            break;
        case TVrShapeType::Ellipse:
        case TVrShapeType::Circle:
            canvas.Ellipse(r.left, r.top, r.right, r.bottom);
            break;
    }
}

bool RectEquals(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// ---- utility windows

namespace {

const wchar_t kUtilClass[] = L"TVrUtilWindow";

std::map<HWND, TVrWindowHandler>& UtilHandlers() {
    static std::map<HWND, TVrWindowHandler> handlers;
    return handlers;
}

LRESULT CALLBACK UtilWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    try {
        auto& handlers = UtilHandlers();
        auto it = handlers.find(hwnd);
        if (it != handlers.end() && it->second) {
            TVrWindowHandler handler = it->second;  // the handler may deallocate the window
            return handler(hwnd, msg, wp, lp);
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    } catch (...) {
        Application().HandleException(L"TVrUtilWindow");
        return 0;
    }
}

}  // namespace

HWND VrAllocateWindow(TVrWindowHandler handler) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW existing{};
    if (!GetClassInfoW(instance, kUtilClass, &existing)) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = UtilWindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kUtilClass;
        if (!RegisterClassW(&wc)) RaiseLastOSError(L"VrAllocateWindow");
    }
    HWND h = CreateWindowExW(0, kUtilClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (!h) RaiseLastOSError(L"VrAllocateWindow");
    UtilHandlers()[h] = std::move(handler);
    return h;
}

void VrDeallocateWindow(HWND window) {
    if (!window) return;
    UtilHandlers().erase(window);
    DestroyWindow(window);
}

void RegisterHandPointCursor() {
    HCURSOR cursor = LoadCursorW(GetModuleHandleW(nullptr), L"VRCURSORHANDPOINT");
    if (cursor) Application().RegisterCursor(crVrHandPoint, cursor);
}
