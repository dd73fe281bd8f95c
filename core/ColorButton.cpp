#include "ColorButton.h"

#include <algorithm>

#include "Utils.h"

namespace {

TColor Shifted(TColor color, int delta) {
    const COLORREF c = ColorToRgb(color);
    auto part = [delta](int v) { return std::clamp(v + delta, 0, 255); };
    return static_cast<TColor>(RGB(part(GetRValue(c)), part(GetGValue(c)), part(GetBValue(c))));
}

int Column(TButtonAlignment a) { return static_cast<int>(a) % 3; }
int Row(TButtonAlignment a) { return static_cast<int>(a) / 3; }

void FillWith(TCanvas& canvas, TColor color, int l, int t, int r, int b) {
    canvas.Brush().SetStyle(TBrushStyle::Solid);
    canvas.Brush().SetColor(color);
    canvas.FillRect({l, t, r, b});
}

}  // namespace

TColor LightColorOf(TColor color) { return Shifted(color, 64); }
TColor DarkColorOf(TColor color) { return Shifted(color, -64); }

TColorButton::TColorButton(TWinControl* parent) : TItemControl(parent) {
    SetBounds(0, 0, 75, 25);
    TWinControl::SetColor(clBtnFace);
    font_.OnChanged = [this] { Changed(); };
}

void TColorButton::Changed() { Repaint(); }

void TColorButton::CreateParams(TCreateParams& params) {
    TItemControl::CreateParams(params);
    params.Style |= WS_TABSTOP;
}

void TColorButton::SetAlignment(TButtonAlignment value) {
    if (value == alignment_) return;
    alignment_ = value;
    Changed();
}

void TColorButton::SetBevelStyle(TButtonBevel value) {
    if (value == bevelStyle_) return;
    bevelStyle_ = value;
    Changed();
}

void TColorButton::SetBevelSize(int value) {
    value = std::max(value, 1);
    if (value == bevelSize_) return;
    bevelSize_ = value;
    Changed();
}

void TColorButton::SetAnsiCaption(const std::string& value) {
    if (value == caption_) return;
    caption_ = value;
    Changed();
}

void TColorButton::SetCaptionW(const std::wstring& value) {
    if (value == captionW_) return;
    captionW_ = value;
    Changed();
}

void TColorButton::SetColor(TColor color) {
    TWinControl::SetColor(color);
    light_ = LightColorOf(color);
    dark_ = DarkColorOf(color);
    Changed();
}

void TColorButton::SetFontStyle(TButtonFontStyle value) {
    if (value == fontStyle_) return;
    fontStyle_ = value;
    Changed();
}

void TColorButton::SetPicture(const PixelImage& image) {
    if (image.Width <= 0 || image.Height <= 0) {
        picture_.reset();
    } else {
        picture_ = std::make_unique<TBitmap>();
        picture_->Assign(image);
    }
    Changed();
}

void TColorButton::SetSpacing(int value) {
    value = std::max(value, -2);
    if (value == spacing_) return;
    spacing_ = value;
    Changed();
}

void TColorButton::SetButtonStyle(unsigned value) {
    if (value == style_) return;
    style_ = value;
    Changed();
}

void TColorButton::SetValue(bool value) {
    if (!(style_ & bsMultiState) || value == Value()) return;
    state_ = value ? TButtonState::Down : TButtonState::Up;
    Changed();
}

void TColorButton::Loaded() {
    state_ = Enabled() ? TButtonState::Up : TButtonState::Disabled;
    light_ = LightColorOf(Color());
    dark_ = DarkColorOf(Color());
    Changed();
}

void TColorButton::SetEnabled(bool enabled) {
    TWinControl::SetEnabled(enabled);
    state_ = enabled ? TButtonState::Up : TButtonState::Disabled;
    Changed();
}

bool TColorButton::DialogChar(wchar_t ch) {
    // A caption drawn without prefix processing shows its "&" as it is: it underlines no
    // letter, so it has none to be pressed.
    if (PrefixFlags() & DT_NOPREFIX) return false;
    if (!Enabled() || !IsAccelerator(ch, captionW_.empty() ? AnsiToWide(caption_) : captionW_)) return false;
    Click();
    return true;
}

void TColorButton::Click() {
    if (OnClick) OnClick(this);
}

void TColorButton::PressDown() {
    if ((style_ & bsMultiState) && state_ == TButtonState::Down) state_ = TButtonState::Up;
    else state_ = TButtonState::Down;
    Changed();
}

void TColorButton::DrawCaption(TCanvas& canvas, int dx, int dy, TColor color) {
    const int w = Width(), h = Height(), m = bevelSize_ + spacing_;
    // An 8-bit caption is drawn through its wide form: the same glyphs in code page 1252.
    const std::wstring text = captionW_.empty() ? AnsiToWide(caption_) : captionW_;
    UINT flags = ((style_ & bsMultiLine) ? DT_WORDBREAK : DT_SINGLELINE) | PrefixFlags();
    if (Column(alignment_) == 1) flags |= DT_CENTER;
    else if (Column(alignment_) == 2) flags |= DT_RIGHT;
    canvas.Font().SetColor(color);
    const RECT box{m, m, w - m, h - m};
    RECT measured = box;
    canvas.DrawText(text, measured, flags | DT_CALCRECT);
    const int th = measured.bottom - measured.top;
    int top = box.top;
    if (Row(alignment_) == 1) top = (h - bevelSize_ - th) / 2;
    else if (Row(alignment_) == 2) top = box.bottom - th;
    RECT r{box.left + dx, top + dy, box.right + dx, top + th + dy};
    canvas.DrawText(text, r, flags);
}

void TColorButton::PaintTo(TCanvas& canvas) {
    if (!Enabled()) state_ = TButtonState::Disabled;
    else if (state_ == TButtonState::Disabled) state_ = TButtonState::Up;
    const int b = bevelSize_, s = spacing_;
    if ((style_ & bsAutoSize) && picture_)
        SetBounds(Left(), Top(), picture_->Width() + 2 * b, picture_->Height() + 2 * b);
    const int w = Width(), h = Height();

    canvas.Font().Assign(font_);
    FillWith(canvas, Color(), 0, 0, w, h);
    RECT r{0, 0, w, h};
    if (bevelStyle_ != TButtonBevel::bbNone) {
        const bool lowered = (state_ == TButtonState::Down) != (bevelStyle_ == TButtonBevel::bbLowered);
        const TColor topLeft = lowered ? dark_ : light_, bottomRight = lowered ? light_ : dark_;
        for (int i = 0; i < b && r.right > r.left && r.bottom > r.top; ++i) {
            FillWith(canvas, topLeft, r.left, r.top, r.right - 1, r.top + 1);
            FillWith(canvas, topLeft, r.left, r.top, r.left + 1, r.bottom - 1);
            FillWith(canvas, bottomRight, r.right - 1, r.top, r.right, r.bottom);
            FillWith(canvas, bottomRight, r.left, r.bottom - 1, r.right, r.bottom);
            InflateRect(&r, -1, -1);
        }
    }
    if (focused_ && (style_ & bsShowFocus) && Enabled()) {
        RECT f = r;
        InflateRect(&f, -s, -s);
        InflateRect(&f, 1, 1);
        DrawFocusRect(canvas.Handle(), &f);
    }
    const int m = b + s;
    if (picture_) {
        const int pw = picture_->Width(), ph = picture_->Height();
        if (style_ & bsStretch) {
            StretchBlt(canvas.Handle(), m, m, w - 2 * m, h - 2 * m, picture_->DC(), 0, 0, pw, ph, SRCCOPY);
        } else {
            int x = m, y = m;
            if ((style_ & bsCenter) || Column(alignment_) == 1) x = (w - pw) / 2;
            else if (Column(alignment_) == 2) x = w - m - pw;
            if ((style_ & bsCenter) || Row(alignment_) == 1) y = (h - ph) / 2;
            else if (Row(alignment_) == 2) y = h - m - ph;
            BitBlt(canvas.Handle(), x, y, pw, ph, picture_->DC(), 0, 0, SRCCOPY);
        }
    } else {
        FillWith(canvas, Color(), b, b, w - b, h - b);
    }
    if (!captionW_.empty() || !caption_.empty()) {
        canvas.Brush().SetStyle(TBrushStyle::Clear);
        if (state_ != TButtonState::Disabled) {
            if (fontStyle_ == TButtonFontStyle::fnRaised) {
                DrawCaption(canvas, -1, -1, light_);
                DrawCaption(canvas, 1, 1, dark_);
            } else if (fontStyle_ == TButtonFontStyle::fnLowered) {
                DrawCaption(canvas, 1, 1, light_);
                DrawCaption(canvas, -1, -1, dark_);
            }
            DrawCaption(canvas, 0, 0, font_.Color());
        } else {
            DrawCaption(canvas, 1, 1, light_);
            DrawCaption(canvas, 0, 0, dark_);
        }
    }
}

void TColorButton::Paint() {
    TBitmap buffer;
    buffer.SetSize(std::max(1, Width()), std::max(1, Height()));
    PaintTo(buffer.Canvas());
    Canvas().Draw(0, 0, buffer.DC(), buffer.Width(), buffer.Height());
}

LRESULT TColorButton::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_KEYDOWN:
            if (wp == VK_SPACE && Enabled()) PressDown();
            break;
        case WM_KEYUP:
            if (wp == VK_SPACE && Enabled()) {
                if (!(style_ & bsMultiState)) {
                    state_ = TButtonState::Up;
                    Changed();
                }
                Click();
            } else if (wp == VK_RETURN && Enabled()) {
                if (style_ & bsMultiState) {
                    state_ = TButtonState::Down;
                    Changed();
                }
                Click();
            }
            break;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            if (Enabled()) {
                PressDown();
                clicked_ = true;
                SetCapture(Handle());
            }
            break;
        case WM_LBUTTONUP: {
            const POINT p{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
            const bool wasClicked = clicked_;
            clicked_ = false;
            if (GetCapture() == Handle()) ReleaseCapture();
            if (Enabled() && !(style_ & bsMultiState)) {
                state_ = TButtonState::Up;
                Changed();
            }
            const LRESULT r = TItemControl::WndProc(msg, wp, lp);
            const RECT client = ClientRect();
            // The click of a press that is released over the button.
            if (wasClicked && Enabled() && PtInRect(&client, p)) Click();
            return r;
        }
        case WM_CAPTURECHANGED:
            // A press whose capture went elsewhere is over: a later release over the
            // button must not click.
            if (clicked_ && reinterpret_cast<HWND>(lp) != Handle()) {
                clicked_ = false;
                if (Enabled() && !(style_ & bsMultiState)) {
                    state_ = TButtonState::Up;
                    Changed();
                }
            }
            break;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            focused_ = msg == WM_SETFOCUS;
            Changed();
            break;
        case WM_SIZE:
            Changed();
            break;
        default:
            break;
    }
    return TItemControl::WndProc(msg, wp, lp);
}
