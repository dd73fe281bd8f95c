// The shadow button: a double-buffered push button drawn as a face shape over a drop
// shadow in one of four diagonal directions; while pressed the face sinks toward the
// shadow. The page-navigation buttons of the main form are of this class.
#pragma once

#include <windows.h>

#include "Canvas.h"
#include "VrControls.h"

enum class TVrShadowButtonStyle { ssRectangle, ssRoundRect };
enum class TVrShadowDirection { sdTopLeft, sdTopRight, sdBottomLeft, sdBottomRight };
enum class TVrTextAlignment {
    vtaLeft, vtaCenter, vtaRight, vtaTopLeft, vtaTop, vtaTopRight, vtaBottomLeft, vtaBottom, vtaBottomRight
};
// DrawText flags of a caption alignment, DT_SINGLELINE included.
UINT TextAlignmentFlags(TVrTextAlignment align);

// The face rectangle inside r for a shadow of depth d in a direction.
RECT ShadowFaceRect(RECT r, int d, TVrShadowDirection direction);
// r moved by d toward the direction (a negative d moves it away).
RECT MoveTowards(RECT r, int d, TVrShadowDirection direction);

class TVrShadowBrush : public TBrush {
public:
    TVrShadowBrush() { SetColor(clBlack); }
};

class TVrShadowPen : public TPen {
public:
    TVrShadowPen() { SetColor(clLime); }
};

class TVrShadowButton : public TVrGraphicImageControl {
public:
    explicit TVrShadowButton(TWinControl* parent);
    std::wstring ClassName() const override { return L"TVrShadowButton"; }

    // Changes of the face brush and pen repaint the button.
    TBrush& Brush() { return brush_; }
    TPen& Pen() { return pen_; }
    int Depth() const { return depth_; }
    // Values of 2 and below are ignored.
    void SetDepth(int depth);
    int DepthAdjust() const { return depthAdjust_; }
    void SetDepthAdjust(int value);
    TColor ShadowColor() const { return shadowColor_; }
    void SetShadowColor(TColor c);
    TColor ShadowOutline() const { return shadowOutline_; }
    void SetShadowOutline(TColor c);
    TVrShadowButtonStyle ButtonStyle() const { return style_; }
    void SetButtonStyle(TVrShadowButtonStyle s);
    TVrShadowDirection Direction() const { return direction_; }
    void SetDirection(TVrShadowDirection d);
    TColor DisabledTextColor() const { return disabledTextColor_; }
    void SetDisabledTextColor(TColor c);
    TVrTextAlignment TextAlign() const { return textAlign_; }
    void SetTextAlign(TVrTextAlignment a);
    void SetColor(TColor color) override;

    bool Down() const { return down_; }
    bool Tracking() const { return tracking_; }
    // The caption rectangle of the last drawing: presses must start inside it.
    RECT CaptionRect() const { return captionRect_; }

    // Draws the button into its buffer at its current size (what a paint shows).
    void RenderBuffer();
    void FontChanged() override;
    void TextChanged() override;
    // The caption's accelerator clicks an enabled button; true when handled.
    bool DialogChar(wchar_t ch) override;

protected:
    void Paint() override;
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    void DrawButton();
    void Click();

    TVrShadowBrush brush_;
    TVrShadowPen pen_;
    int depth_ = 4;
    int depthAdjust_ = 2;
    TColor shadowColor_ = clBtnShadow;
    TColor shadowOutline_ = clBtnShadow;
    TVrShadowButtonStyle style_ = TVrShadowButtonStyle::ssRoundRect;
    TVrShadowDirection direction_ = TVrShadowDirection::sdBottomRight;
    TColor disabledTextColor_ = clInactiveCaption;
    TVrTextAlignment textAlign_ = TVrTextAlignment::vtaCenter;
    bool tracking_ = false;
    bool down_ = false;
    RECT captionRect_{};
};
