#include "VrButtons.h"

#include <algorithm>

UINT TextAlignmentFlags(TVrTextAlignment align) {
    static constexpr UINT kFlags[] = {
        DT_VCENTER | DT_LEFT, DT_VCENTER | DT_CENTER, DT_VCENTER | DT_RIGHT,
        DT_LEFT,              DT_CENTER,              DT_RIGHT,
        DT_BOTTOM | DT_LEFT,  DT_BOTTOM | DT_CENTER,  DT_BOTTOM | DT_RIGHT};
    return kFlags[static_cast<int>(align)] | DT_SINGLELINE;
}

RECT ShadowFaceRect(RECT r, int d, TVrShadowDirection direction) {
    switch (direction) {
        case TVrShadowDirection::sdTopLeft:
            r.left += d;
            r.top += d;
            break;
        case TVrShadowDirection::sdTopRight:
            r.top += d;
            r.right -= d;
            break;
        case TVrShadowDirection::sdBottomLeft:
            r.left += d;
            r.bottom -= d;
            break;
        case TVrShadowDirection::sdBottomRight:
            r.right -= d;
            r.bottom -= d;
            break;
    }
    return r;
}

RECT MoveTowards(RECT r, int d, TVrShadowDirection direction) {
    const int dx = (direction == TVrShadowDirection::sdTopLeft || direction == TVrShadowDirection::sdBottomLeft) ? -d : d;
    const int dy = (direction == TVrShadowDirection::sdTopLeft || direction == TVrShadowDirection::sdTopRight) ? -d : d;
    OffsetRect(&r, dx, dy);
    return r;
}

TVrShadowButton::TVrShadowButton(TWinControl* parent) : TVrGraphicImageControl(parent) {
    SetBounds(0, 0, 110, 30);
    if (parent) TWinControl::SetColor(parent->Color());  // the parent's colour
    Font().SetColor(clWhite);
    brush_.OnChanged = [this] { UpdateControl(); };
    pen_.OnChanged = [this] { UpdateControl(); };
}

void TVrShadowButton::SetDepth(int depth) {
    if (depth == depth_ || depth <= 2) return;
    depth_ = depth;
    UpdateControl();
}

void TVrShadowButton::SetDepthAdjust(int value) {
    if (value == depthAdjust_) return;
    depthAdjust_ = value;
    UpdateControl();
}

void TVrShadowButton::SetShadowColor(TColor c) {
    if (c == shadowColor_) return;
    shadowColor_ = c;
    UpdateControl();
}

void TVrShadowButton::SetShadowOutline(TColor c) {
    if (c == shadowOutline_) return;
    shadowOutline_ = c;
    UpdateControl();
}

void TVrShadowButton::SetButtonStyle(TVrShadowButtonStyle s) {
    if (s == style_) return;
    style_ = s;
    UpdateControl();
}

void TVrShadowButton::SetDirection(TVrShadowDirection d) {
    if (d == direction_) return;
    direction_ = d;
    UpdateControl();
}

void TVrShadowButton::SetDisabledTextColor(TColor c) {
    if (c == disabledTextColor_) return;
    disabledTextColor_ = c;
    UpdateControl();
}

void TVrShadowButton::SetTextAlign(TVrTextAlignment a) {
    if (a == textAlign_) return;
    textAlign_ = a;
    UpdateControl();
}

void TVrShadowButton::SetColor(TColor color) {
    if (color == Color()) return;
    TVrGraphicImageControl::SetColor(color);
    UpdateControl();
}

void TVrShadowButton::FontChanged() {
    BufferCanvas().Font().Assign(Font());
    TVrGraphicImageControl::FontChanged();
    UpdateControl();
}

void TVrShadowButton::TextChanged() {
    TVrGraphicImageControl::TextChanged();
    UpdateControl();
}

void TVrShadowButton::DrawButton() {
    TCanvas& canvas = BufferCanvas();
    const int d = depth_;
    const int pw = pen_.Width();
    RECT r{0, 0, Width(), Height()};
    InflateRect(&r, -pw, -pw);
    RECT face = ShadowFaceRect(r, d, direction_);
    const auto shape = style_ == TVrShadowButtonStyle::ssRectangle ? TVrShapeType::Rectangle : TVrShapeType::RoundRect;

    // The shadow.
    canvas.Pen().SetWidth(1);
    canvas.Pen().SetColor(shadowOutline_);
    canvas.Pen().SetStyle(TPenStyle::Solid);
    canvas.Brush().SetStyle(TBrushStyle::Solid);
    canvas.Brush().SetColor(shadowColor_);
    RECT shadow = MoveTowards(face, d, direction_);
    if (down_) shadow = MoveTowards(shadow, -depthAdjust_, direction_);
    DrawShape(canvas, shadow.left, shadow.top, shadow.right - shadow.left, shadow.bottom - shadow.top, shape);

    // The face.
    if (down_) face = MoveTowards(face, depthAdjust_, direction_);
    canvas.Brush().Assign(brush_);
    canvas.Pen().Assign(pen_);
    canvas.Font().Assign(Font());
    if (!Enabled()) canvas.Font().SetColor(disabledTextColor_);
    DrawShape(canvas, face.left, face.top, face.right - face.left, face.bottom - face.top, shape);

    // The caption.
    RECT caption = face;
    InflateRect(&caption, -pw, -pw);
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    RECT textBox = caption;
    canvas.DrawText(Caption(), textBox, TextAlignmentFlags(textAlign_));
    captionRect_ = caption;
}

void TVrShadowButton::RenderBuffer() {
    Buffer().SetSize(std::max(0, Width()), std::max(0, Height()));
    PrepareBuffer();
    DrawButton();
}

void TVrShadowButton::Paint() {
    PrepareBuffer();
    DrawButton();
    TVrGraphicImageControl::Paint();
}

void TVrShadowButton::Click() {
    if (OnClick) OnClick(this);
}

bool TVrShadowButton::DialogChar(wchar_t ch) {
    if (!Enabled() || !IsAccelerator(ch, Caption())) return false;
    Click();
    return true;
}

LRESULT TVrShadowButton::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    const POINT p{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
    switch (msg) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            if (Enabled() && PtInRect(&captionRect_, p)) {
                tracking_ = true;
                down_ = true;
                SetCapture(Handle());
                Repaint();
            }
            break;
        case WM_MOUSEMOVE:
            if (tracking_) {
                const bool inside = PtInRect(&captionRect_, p) != FALSE;
                if (inside != down_) {
                    down_ = inside;
                    Repaint();
                }
            }
            break;
        case WM_LBUTTONUP: {
            // Decided before the capture goes: losing it ends a press.
            const bool click = tracking_ && down_;
            tracking_ = false;
            down_ = false;
            if (GetCapture() == Handle()) ReleaseCapture();
            Repaint();
            const LRESULT r = TVrGraphicImageControl::WndProc(msg, wp, lp);
            if (click) Click();
            return r;
        }
        case WM_CAPTURECHANGED:
            if (tracking_ && reinterpret_cast<HWND>(lp) != Handle()) {
                tracking_ = false;
                down_ = false;
                Repaint();
            }
            break;
        case WM_ENABLE:
            UpdateControl();
            break;
        default:
            break;
    }
    return TVrGraphicImageControl::WndProc(msg, wp, lp);
}
