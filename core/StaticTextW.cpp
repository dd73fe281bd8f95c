#include "StaticTextW.h"

#include <shellapi.h>

#include "Log.h"
#include "Utils.h"

TStaticTextW::TStaticTextW(TWinControl* parent) : TItemControl(parent) {
    font_.SetName(L"Arial");
    font_.SetSize(10);
    font_.SetStyle(0);
    SetShowHint(true);
    font_.OnChanged = [this] { Repaint(); };
}

void TStaticTextW::SetCaption(const std::wstring& text) {
    wideCaption_ = text;
    Repaint();
}

void TStaticTextW::SetRightToLeft(bool value) {
    rightToLeft_ = value;
    Repaint();
}

std::wstring TStaticTextW::ExpandedTarget() const { return ExpandEnvironmentText(LinkTarget); }

void TStaticTextW::Click() {
    if (OnClick) {
        OnClick(this);
        return;
    }
    const std::wstring target = ExpandedTarget();
    if (ShellOpen(target, LinkParameters) <= 32) WriteLog(L"TStaticTextW.Click: " + target + L" " + GetLastErrorText(), llError);
}

UniqueFont TStaticTextW::MakeFont() const {
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(font_.Size(), ScreenPixelsPerInch(), 72);
    lf.lfWeight = (font_.Style() & fsBold) ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = (font_.Style() & fsItalic) ? TRUE : FALSE;
    lf.lfUnderline = (font_.Style() & fsUnderline) ? TRUE : FALSE;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality = ClearType ? DEFAULT_QUALITY : NONANTIALIASED_QUALITY;
    const std::wstring face = font_.Name().substr(0, LF_FACESIZE - 1);
    face.copy(lf.lfFaceName, face.size());
    return UniqueFont(CreateFontIndirectW(&lf));
}

void TStaticTextW::UpdateTextSize() {
    if (!Parent()) return;
    UniqueFont font = MakeFont();
    UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
    SelectedObject selected(dc.get(), font.get());
    RECT r{0, 0, Width(), Height()};
    if (DrawTextW(dc.get(), wideCaption_.c_str(), static_cast<int>(wideCaption_.size()), &r, DT_CALCRECT) != 0)
        SetBounds(Left(), Top(), r.right - r.left + 1, r.bottom - r.top + 1);
}

void TStaticTextW::PaintTo(HDC dc, RECT r) {
    UniqueFont font = MakeFont();
    SelectedObject selected(dc, font.get());
    const COLORREF back = ColorToRgb(hovering_ ? HoverBackColor : BackColor);
    const COLORREF text = ColorToRgb(hovering_ ? HoverTextColor : TextColor);
    UniqueBrush brush(CreateSolidBrush(back));
    ::FillRect(dc, &r, brush.get());
    SetBkColor(dc, back);
    SetTextColor(dc, text);
    SetBkMode(dc, OPAQUE);
    UINT flags = DT_SINGLELINE;
    if (rightToLeft_) flags |= DT_RIGHT | DT_RTLREADING;
    DrawTextW(dc, wideCaption_.c_str(), static_cast<int>(wideCaption_.size()), &r, flags);
}

void TStaticTextW::Paint() {
    if (AutoSize) UpdateTextSize();
    PaintTo(Canvas().Handle(), ClientRect());
}

LRESULT TStaticTextW::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_MOUSEMOVE:
            if (!LinkTarget.empty()) {
                if (!hovering_) {
                    hovering_ = true;
                    Invalidate();
                }
                TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, Handle(), 0};
                TrackMouseEvent(&tme);
            }
            break;
        case WM_MOUSELEAVE:
            if (!LinkTarget.empty()) {
                hovering_ = false;
                Invalidate();
            }
            return 0;
        case WM_LBUTTONDOWN:
            pressed_ = true;
            SetCapture(Handle());
            break;
        case WM_CAPTURECHANGED:
            // A press whose capture went elsewhere is over: a later release over the
            // label must not click.
            if (reinterpret_cast<HWND>(lp) != Handle()) pressed_ = false;
            break;
        case WM_LBUTTONUP: {
            const POINT p{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
            const bool click = pressed_;
            pressed_ = false;
            if (GetCapture() == Handle()) ReleaseCapture();
            const RECT client = ClientRect();
            if (click && PtInRect(&client, p)) Click();
            return 0;
        }
        default:
            break;
    }
    return TItemControl::WndProc(msg, wp, lp);
}
