// A windowed, focusable push button whose face has a freely chosen colour: the light and
// dark bevel colours follow the face colour, an optional picture sits on the face, and
// the caption (8-bit, or a wide one that wins when set) is drawn raised, lowered or flat.
// Window thread only.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Canvas.h"
#include "ImageFiles.h"
#include "ItemControl.h"

enum class TButtonAlignment {
    alTopLeft, alTopCenter, alTopRight, alMiddleLeft, alMiddleCenter, alMiddleRight, alBottomLeft, alBottomCenter,
    alBottomRight
};
enum class TButtonBevel { bbLowered, bbNone, bbRaised };
enum class TButtonFontStyle { fnNormal, fnRaised, fnLowered };
enum class TButtonState { Up, Down, Disabled };
enum : unsigned {
    bsAutoSize = 1, bsCenter = 2, bsStretch = 4, bsShowFocus = 8, bsSpeedKey = 16, bsMultiState = 32, bsMultiLine = 64
};

// Each of red, green and blue + 64 (at most 255) and - 64 (at least 0), from the colour's
// RGB value.
TColor LightColorOf(TColor color);
TColor DarkColorOf(TColor color);

class TColorButton : public TItemControl {
public:
    explicit TColorButton(TWinControl* parent);
    std::wstring ClassName() const override { return L"TColorButton"; }

    TButtonAlignment Alignment() const { return alignment_; }
    void SetAlignment(TButtonAlignment value);
    TButtonBevel BevelStyle() const { return bevelStyle_; }
    void SetBevelStyle(TButtonBevel value);
    int BevelSize() const { return bevelSize_; }
    // Values of 0 and below become 1.
    void SetBevelSize(int value);
    const std::string& AnsiCaption() const { return caption_; }
    void SetAnsiCaption(const std::string& value);
    const std::wstring& CaptionW() const { return captionW_; }
    void SetCaptionW(const std::wstring& value);
    // The face colour; sets the light and dark colours too.
    void SetColor(TColor color) override;
    TColor LightColor() const { return light_; }
    TColor DarkColor() const { return dark_; }
    TButtonFontStyle FontStyle() const { return fontStyle_; }
    void SetFontStyle(TButtonFontStyle value);
    // The picture drawn on the face; an empty image removes it.
    void SetPicture(const PixelImage& image);
    bool HasPicture() const { return picture_ != nullptr; }
    int Spacing() const { return spacing_; }
    // Values below -2 become -2.
    void SetSpacing(int value);
    unsigned ButtonStyle() const { return style_; }
    void SetButtonStyle(unsigned value);
    bool Value() const { return state_ == TButtonState::Down; }
    // Only with bsMultiState: down when true, up when false.
    void SetValue(bool value);
    TButtonState State() const { return state_; }
    bool Focused() const { return focused_; }
    TFont& Font() { return font_; }

    // State from Enabled, colours from Color; repaint.
    void Loaded();
    // The caption's accelerator clicks an enabled button; true when handled. Only a caption
    // drawn with prefix processing (bsSpeedKey) has one.
    bool DialogChar(wchar_t ch) override;
    // DT_NOPREFIX unless bsSpeedKey: how the caption is drawn, so also how it is measured.
    UINT PrefixFlags() const { return (style_ & bsSpeedKey) ? 0u : static_cast<UINT>(DT_NOPREFIX); }
    void SetEnabled(bool enabled) override;
    // Draws the button onto a canvas of its size (what a paint shows).
    void PaintTo(TCanvas& canvas);

protected:
    void CreateParams(TCreateParams& params) override;
    void Paint() override;
    bool EraseBackground(HDC) override { return true; }
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    void Changed();
    void Click();
    void PressDown();
    void DrawCaption(TCanvas& canvas, int dx, int dy, TColor color);

    TButtonAlignment alignment_ = TButtonAlignment::alMiddleCenter;
    TButtonBevel bevelStyle_ = TButtonBevel::bbRaised;
    int bevelSize_ = 2;
    std::string caption_;
    std::wstring captionW_;
    TButtonFontStyle fontStyle_ = TButtonFontStyle::fnNormal;
    std::unique_ptr<TBitmap> picture_;
    int spacing_ = 2;
    unsigned style_ = bsCenter | bsShowFocus | bsSpeedKey | bsMultiLine;
    TColor light_ = clSystemColor | COLOR_BTNHIGHLIGHT;
    TColor dark_ = clBtnShadow;
    bool focused_ = false;
    TButtonState state_ = TButtonState::Up;
    bool clicked_ = false;  // a mouse press began on the button
    TFont font_;
};
