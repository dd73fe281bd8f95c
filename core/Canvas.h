// Drawing on a device context with a font, a brush and a pen whose GDI objects the canvas
// owns: an object that is replaced leaves the DC before it is deleted (a brush or a pen at
// once, a font when its successor is selected), so nothing leaks however often the window
// repaints.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "Gdi.h"

// A colour as the options hold it: 0x00BBGGRR, or a system colour (high byte 0xFF, low
// byte the COLOR_ index).
using TColor = std::int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clSystemColor = static_cast<TColor>(0xFF000000u);
constexpr TColor clBackground = clSystemColor | COLOR_BACKGROUND;
constexpr TColor clBtnShadow = clSystemColor | COLOR_BTNSHADOW;
constexpr TColor clBtnFace = clSystemColor | COLOR_BTNFACE;
constexpr TColor clInactiveCaption = clSystemColor | COLOR_INACTIVECAPTION;
// The RGB value; a system colour is looked up.
COLORREF ColorToRgb(TColor color);

// Pixels per logical inch of the screen (font sizes are in points).
int ScreenPixelsPerInch();

// Base of the canvas's font, brush and pen: Changing runs before the GDI object is
// replaced (the owning canvas deselects it then), Changed after.
class TGraphicsObject {
public:
    virtual ~TGraphicsObject() = default;
    std::function<void()> OnChanging;
    std::function<void()> OnChanged;

protected:
    void Changing() {
        if (OnChanging) OnChanging();
    }
    void Changed() {
        if (OnChanged) OnChanged();
    }
};

enum : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

class TFont : public TGraphicsObject {
public:
    const std::wstring& Name() const { return name_; }
    int Size() const { return size_; }
    TColor Color() const { return color_; }
    unsigned Style() const { return style_; }
    BYTE Quality() const { return quality_; }
    BYTE Charset() const { return charset_; }
    void SetName(const std::wstring& name);
    void SetSize(int points);
    void SetStyle(unsigned style);
    void SetQuality(BYTE quality);
    void SetCharset(BYTE charset);
    // The colour is not part of the GDI font: no new object is made.
    void SetColor(TColor color);
    // Takes the attributes (and the colour) of another font.
    void Assign(const TFont& other);
    // The GDI font for the attributes, made when first needed.
    HFONT Handle();
    // Gives the font a GDI object made elsewhere; the attributes follow its LOGFONT.
    // The font it replaces is deleted.
    void SetHandle(UniqueFont font);
    // Whether the GDI object made for the attributes is this one.
    bool Holds(HFONT font) const { return font && handle_.get() == font; }
    // Hands the GDI object over to the caller; a new one is made when next needed.
    UniqueFont Release() { return std::move(handle_); }

private:
    void Reset();

    std::wstring name_ = L"MS Sans Serif";
    int size_ = 8;
    TColor color_ = clBlack;
    unsigned style_ = 0;
    BYTE quality_ = DEFAULT_QUALITY;
    BYTE charset_ = DEFAULT_CHARSET;
    UniqueFont handle_;
};

enum class TBrushStyle { Solid, Clear };

class TBrush : public TGraphicsObject {
public:
    TColor Color() const { return color_; }
    TBrushStyle Style() const { return style_; }
    void SetColor(TColor color);
    void SetStyle(TBrushStyle style);
    void Assign(const TBrush& other);
    // A solid brush of the colour, or the stock hollow brush for the clear style.
    HBRUSH Handle();

private:
    TColor color_ = clWhite;
    TBrushStyle style_ = TBrushStyle::Solid;
    UniqueBrush handle_;
};

enum class TPenStyle { Solid, Clear };

class TPen : public TGraphicsObject {
public:
    TColor Color() const { return color_; }
    int Width() const { return width_; }
    TPenStyle Style() const { return style_; }
    void SetColor(TColor color);
    void SetWidth(int width);
    void SetStyle(TPenStyle style);
    void Assign(const TPen& other);
    HPEN Handle();

private:
    TColor color_ = clBlack;
    int width_ = 1;
    TPenStyle style_ = TPenStyle::Solid;
    UniquePen handle_;
};

class TCanvas {
public:
    TCanvas();
    ~TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    // Attaches a DC (not owned); null detaches it, putting the DC's own objects back.
    void SetHandle(HDC dc);
    HDC Handle() const { return dc_; }
    bool HasHandle() const { return dc_ != nullptr; }

    TFont& Font() { return font_; }
    TBrush& Brush() { return brush_; }
    TPen& Pen() { return pen_; }

    // Fills with the brush (nothing for a clear brush).
    void FillRect(const RECT& r);
    void Rectangle(int x1, int y1, int x2, int y2);
    void RoundRect(int x1, int y1, int x2, int y2, int cx, int cy);
    void Ellipse(int x1, int y1, int x2, int y2);
    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    // DrawTextW with the canvas font and font colour; the text's background is
    // transparent for a clear brush, else the brush colour. Returns DrawTextW's result.
    int DrawText(const std::wstring& text, RECT& r, UINT flags);
    SIZE TextExtent(const std::wstring& text);
    // BitBlt of the whole of source's (width x height) picture at (x, y).
    void Draw(int x, int y, HDC source, int width, int height, DWORD rop = SRCCOPY);
    // The DC's clip box (the area drawing can reach).
    RECT ClipRect() const;

private:
    void SelectFont();
    void SelectBrush();
    void SelectPen();
    void DeselectFont();
    void DeselectBrush();
    void DeselectPen();

    HDC dc_ = nullptr;
    TFont font_;
    // The font the canvas selected into the DC, and the one it replaced while that was
    // selected: kept until the next font is selected, so a change never puts the DC's
    // own font back in between (selecting a font costs a lookup of its rendering).
    HFONT selectedFont_ = nullptr;
    UniqueFont retiredFont_;
    TBrush brush_;
    TPen pen_;
    // What the DC held before the canvas selected its own objects.
    HGDIOBJ oldFont_ = nullptr, oldBrush_ = nullptr, oldPen_ = nullptr;
};

// A 32-bit DIB section with its own memory DC and canvas.
class TBitmap {
public:
    TBitmap();
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    // A new picture of the size (black); the same size keeps the picture.
    void SetSize(int width, int height);
    int Width() const { return dib_.Width; }
    int Height() const { return dib_.Height; }
    bool Empty() const { return dib_.Width == 0 || dib_.Height == 0; }
    TCanvas& Canvas() { return canvas_; }
    HDC DC() const { return dc_.get(); }
    // The pixel at (x, y) as a COLORREF (0x00BBGGRR), for reading a picture back.
    COLORREF Pixel(int x, int y) const;
    std::uint32_t* Bits() { return dib_.Bits; }
    // Copies the pixels of an image into a bitmap of its size.
    void Assign(const PixelImage& image);

private:
    void Select(DibSection dib);

    UniqueMemoryDC dc_;
    DibSection dib_;
    HGDIOBJ oldBitmap_ = nullptr;
    TCanvas canvas_;
};
