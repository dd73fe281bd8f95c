#include "Canvas.h"

#include <algorithm>
#include <cstring>

#include "Errors.h"

COLORREF ColorToRgb(TColor color) {
    if ((static_cast<std::uint32_t>(color) & 0xFF000000u) == 0xFF000000u) return GetSysColor(color & 0xFF);
    return static_cast<COLORREF>(color) & 0x00FFFFFF;
}

int ScreenPixelsPerInch() {
    static const int ppi = [] {
        HDC screen = GetDC(nullptr);
        int v = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
        if (screen) ReleaseDC(nullptr, screen);
        return v > 0 ? v : 96;
    }();
    return ppi;
}

// ---- TFont

void TFont::Reset() {
    Changing();
    handle_.reset();
    Changed();
}

void TFont::SetName(const std::wstring& name) {
    if (name == name_) return;
    name_ = name;
    Reset();
}

void TFont::SetSize(int points) {
    if (points == size_) return;
    size_ = points;
    Reset();
}

void TFont::SetStyle(unsigned style) {
    if (style == style_) return;
    style_ = style;
    Reset();
}

void TFont::SetQuality(BYTE quality) {
    if (quality == quality_) return;
    quality_ = quality;
    Reset();
}

void TFont::SetCharset(BYTE charset) {
    if (charset == charset_) return;
    charset_ = charset;
    Reset();
}

void TFont::SetColor(TColor color) {
    if (color == color_) return;
    color_ = color;
    Changed();
}

void TFont::Assign(const TFont& other) {
    if (&other == this) return;
    const bool same = name_ == other.name_ && size_ == other.size_ && style_ == other.style_ &&
                      quality_ == other.quality_ && charset_ == other.charset_;
    color_ = other.color_;
    if (same) {
        Changed();
        return;
    }
    name_ = other.name_;
    size_ = other.size_;
    style_ = other.style_;
    quality_ = other.quality_;
    charset_ = other.charset_;
    Reset();
}

HFONT TFont::Handle() {
    if (!handle_.valid()) {
        LOGFONTW lf{};
        lf.lfHeight = -MulDiv(size_, ScreenPixelsPerInch(), 72);
        lf.lfWeight = (style_ & fsBold) ? FW_BOLD : FW_NORMAL;
        lf.lfItalic = (style_ & fsItalic) ? 1 : 0;
        lf.lfUnderline = (style_ & fsUnderline) ? 1 : 0;
        lf.lfStrikeOut = (style_ & fsStrikeOut) ? 1 : 0;
        lf.lfCharSet = charset_;
        lf.lfQuality = quality_;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        const std::size_t n = std::min<std::size_t>(name_.size(), LF_FACESIZE - 1);
        std::memcpy(lf.lfFaceName, name_.data(), n * sizeof(wchar_t));
        HFONT f = CreateFontIndirectW(&lf);
        if (!f) RaiseLastOSError(L"CreateFontIndirect");
        handle_.reset(f);
    }
    return handle_.get();
}

void TFont::SetHandle(UniqueFont font) {
    if (!font.valid()) return;
    LOGFONTW lf{};
    if (!GetObjectW(font.get(), sizeof lf, &lf)) RaiseLastOSError(L"GetObject");
    Changing();
    handle_ = std::move(font);
    name_ = lf.lfFaceName;
    size_ = lf.lfHeight < 0 ? MulDiv(-lf.lfHeight, 72, ScreenPixelsPerInch()) : size_;
    style_ = (lf.lfWeight >= FW_BOLD ? fsBold : 0u) | (lf.lfItalic ? fsItalic : 0u) |
             (lf.lfUnderline ? fsUnderline : 0u) | (lf.lfStrikeOut ? fsStrikeOut : 0u);
    quality_ = lf.lfQuality;
    charset_ = lf.lfCharSet;
    Changed();
}

// ---- TBrush

void TBrush::SetColor(TColor color) {
    if (color == color_) return;
    Changing();
    color_ = color;
    handle_.reset();
    Changed();
}

void TBrush::SetStyle(TBrushStyle style) {
    if (style == style_) return;
    Changing();
    style_ = style;
    handle_.reset();
    Changed();
}

void TBrush::Assign(const TBrush& other) {
    if (&other == this || (other.color_ == color_ && other.style_ == style_)) return;
    Changing();
    color_ = other.color_;
    style_ = other.style_;
    handle_.reset();
    Changed();
}

HBRUSH TBrush::Handle() {
    if (style_ == TBrushStyle::Clear) return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    if (!handle_.valid()) {
        HBRUSH b = CreateSolidBrush(ColorToRgb(color_));
        if (!b) RaiseLastOSError(L"CreateSolidBrush");
        handle_.reset(b);
    }
    return handle_.get();
}

// ---- TPen

void TPen::SetColor(TColor color) {
    if (color == color_) return;
    Changing();
    color_ = color;
    handle_.reset();
    Changed();
}

void TPen::SetWidth(int width) {
    if (width == width_) return;
    Changing();
    width_ = width;
    handle_.reset();
    Changed();
}

void TPen::SetStyle(TPenStyle style) {
    if (style == style_) return;
    Changing();
    style_ = style;
    handle_.reset();
    Changed();
}

void TPen::Assign(const TPen& other) {
    if (&other == this || (other.color_ == color_ && other.width_ == width_ && other.style_ == style_)) return;
    Changing();
    color_ = other.color_;
    width_ = other.width_;
    style_ = other.style_;
    handle_.reset();
    Changed();
}

HPEN TPen::Handle() {
    if (style_ == TPenStyle::Clear) return static_cast<HPEN>(GetStockObject(NULL_PEN));
    if (!handle_.valid()) {
        HPEN p = CreatePen(PS_SOLID, width_, ColorToRgb(color_));
        if (!p) RaiseLastOSError(L"CreatePen");
        handle_.reset(p);
    }
    return handle_.get();
}

// ---- TCanvas

TCanvas::TCanvas() {
    // The font being replaced stays selected (and alive) until its successor is.
    font_.OnChanging = [this] {
        if (font_.Holds(selectedFont_)) retiredFont_ = font_.Release();
    };
    brush_.OnChanging = [this] { DeselectBrush(); };
    pen_.OnChanging = [this] { DeselectPen(); };
}

TCanvas::~TCanvas() { SetHandle(nullptr); }

void TCanvas::SetHandle(HDC dc) {
    if (dc == dc_) return;
    DeselectFont();
    DeselectBrush();
    DeselectPen();
    dc_ = dc;
}

void TCanvas::SelectFont() {
    HFONT f = font_.Handle();
    if (f != selectedFont_) {
        HGDIOBJ old = SelectObject(dc_, f);
        if (!oldFont_) oldFont_ = old;
        selectedFont_ = f;
        retiredFont_.reset();
    }
    SetTextColor(dc_, ColorToRgb(font_.Color()));
}

void TCanvas::SelectBrush() {
    HBRUSH b = brush_.Handle();
    HGDIOBJ old = SelectObject(dc_, b);
    if (!oldBrush_) oldBrush_ = old;
    if (brush_.Style() == TBrushStyle::Clear) {
        SetBkMode(dc_, TRANSPARENT);
    } else {
        SetBkMode(dc_, OPAQUE);
        SetBkColor(dc_, ColorToRgb(brush_.Color()));
    }
}

void TCanvas::SelectPen() {
    HPEN p = pen_.Handle();
    HGDIOBJ old = SelectObject(dc_, p);
    if (!oldPen_) oldPen_ = old;
    SetROP2(dc_, R2_COPYPEN);
}

void TCanvas::DeselectFont() {
    if (dc_ && oldFont_) SelectObject(dc_, oldFont_);
    oldFont_ = nullptr;
    selectedFont_ = nullptr;
    retiredFont_.reset();
}

void TCanvas::DeselectBrush() {
    if (dc_ && oldBrush_) SelectObject(dc_, oldBrush_);
    oldBrush_ = nullptr;
}

void TCanvas::DeselectPen() {
    if (dc_ && oldPen_) SelectObject(dc_, oldPen_);
    oldPen_ = nullptr;
}

void TCanvas::FillRect(const RECT& r) {
    if (!dc_ || brush_.Style() == TBrushStyle::Clear) return;
    ::FillRect(dc_, &r, brush_.Handle());
}

void TCanvas::Rectangle(int x1, int y1, int x2, int y2) {
    if (!dc_) return;
    SelectPen();
    SelectBrush();
    ::Rectangle(dc_, x1, y1, x2, y2);
}

void TCanvas::RoundRect(int x1, int y1, int x2, int y2, int cx, int cy) {
    if (!dc_) return;
    SelectPen();
    SelectBrush();
    ::RoundRect(dc_, x1, y1, x2, y2, cx, cy);
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
    if (!dc_) return;
    SelectPen();
    SelectBrush();
    ::Ellipse(dc_, x1, y1, x2, y2);
}

void TCanvas::MoveTo(int x, int y) {
    if (dc_) MoveToEx(dc_, x, y, nullptr);
}

void TCanvas::LineTo(int x, int y) {
    if (!dc_) return;
    SelectPen();
    ::LineTo(dc_, x, y);
}

int TCanvas::DrawText(const std::wstring& text, RECT& r, UINT flags) {
    if (!dc_) return 0;
    SelectFont();
    SelectBrush();
    return ::DrawTextW(dc_, text.c_str(), static_cast<int>(text.size()), &r, flags);
}

SIZE TCanvas::TextExtent(const std::wstring& text) {
    SIZE s{};
    if (!dc_) return s;
    SelectFont();
    GetTextExtentPoint32W(dc_, text.c_str(), static_cast<int>(text.size()), &s);
    return s;
}

void TCanvas::Draw(int x, int y, HDC source, int width, int height, DWORD rop) {
    if (dc_ && source) BitBlt(dc_, x, y, width, height, source, 0, 0, rop);
}

RECT TCanvas::ClipRect() const {
    RECT r{};
    if (dc_) GetClipBox(dc_, &r);
    return r;
}

// ---- TBitmap

TBitmap::TBitmap() : dc_(CreateCompatibleDC(nullptr)) {
    if (!dc_.valid()) RaiseLastOSError(L"CreateCompatibleDC");
    canvas_.SetHandle(dc_.get());
}

TBitmap::~TBitmap() {
    canvas_.SetHandle(nullptr);
    if (oldBitmap_) SelectObject(dc_.get(), oldBitmap_);
}

void TBitmap::Select(DibSection dib) {
    // The old bitmap leaves the DC before it is deleted.
    if (oldBitmap_) {
        SelectObject(dc_.get(), oldBitmap_);
        oldBitmap_ = nullptr;
    }
    dib_ = std::move(dib);
    if (dib_.Bitmap.valid()) oldBitmap_ = SelectObject(dc_.get(), dib_.Bitmap.get());
}

void TBitmap::SetSize(int width, int height) {
    if (width == dib_.Width && height == dib_.Height) return;
    Select(CreateDibSection(width, height));
}

COLORREF TBitmap::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= dib_.Width || y >= dib_.Height) throw ERangeError(L"TBitmap.Pixel");
    GdiFlush();
    const std::uint32_t v = dib_.Bits[static_cast<std::size_t>(y) * static_cast<std::size_t>(dib_.Width) +
                                      static_cast<std::size_t>(x)];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

void TBitmap::Assign(const PixelImage& image) { Select(DibFromPixels(image)); }
