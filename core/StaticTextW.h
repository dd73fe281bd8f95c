// A small windowed label with a wide caption in its own font, hover colours while the
// mouse is over it, and a target (file, folder, program or address, environment
// variables expanded) opened through the shell when it is clicked. Window thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Canvas.h"
#include "ItemControl.h"

class TStaticTextW : public TItemControl {
public:
    explicit TStaticTextW(TWinControl* parent);
    std::wstring ClassName() const override { return L"TStaticTextW"; }

    const std::wstring& WideCaption() const { return wideCaption_; }
    // The size follows at the next paint.
    void SetCaption(const std::wstring& text) override;
    std::wstring LinkTarget;      // empty: no link, no hover
    std::wstring LinkParameters;
    bool RightToLeft() const { return rightToLeft_; }
    void SetRightToLeft(bool value);
    std::int32_t TextColor = clBlack, HoverTextColor = clBlack, BackColor = clWhite, HoverBackColor = clWhite;
    bool Hovering() const { return hovering_; }
    bool ClearType = false;  // off: text without antialiasing
    bool AutoSize = true;
    TFont& Font() { return font_; }

    // A click opens the target once: through OnClick when a handler is set (it then does
    // the opening), else through the shell here.
    void Click();
    // The target with environment variables expanded, whole however long.
    std::wstring ExpandedTarget() const;
    // The font for drawing and measuring, made for the occasion.
    UniqueFont MakeFont() const;
    // Sets the size to the caption's measured size plus one pixel each way (with a parent).
    void UpdateTextSize();
    // Draws the caption into r of a DC in the colours of the current state.
    void PaintTo(HDC dc, RECT r);

protected:
    void Paint() override;
    bool EraseBackground(HDC) override { return true; }
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    std::wstring wideCaption_;
    bool rightToLeft_ = false;
    bool hovering_ = false;
    bool pressed_ = false;
    TFont font_;
};
