// Base of the program's own drawn controls: an update counter and four notification
// hooks (TVrGraphicControl), and a double-buffered control that paints into an
// off-screen bitmap and copies it to the screen in one block, optionally over a captured
// copy of its parent's picture (TVrGraphicImageControl). The controls are child windows
// of the form; their own repaints never make the form repaint. Window thread only.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "Canvas.h"
#include "WinControls.h"

inline const wchar_t* const VrVersion = L"1.3";

// Non-visual components (the timer).
class TVrComponent {
public:
    virtual ~TVrComponent() = default;
    std::wstring Version = VrVersion;
};

class TVrGraphicControl : public TWinControl {
public:
    explicit TVrGraphicControl(TWinControl* parent);
    std::wstring ClassName() const override { return L"TVrGraphicControl"; }

    std::wstring Version = VrVersion;
    // There is no design state in the program; loading covers a control being set up.
    bool IsDesigning() const { return false; }
    bool IsLoading() const { return loading_; }
    void SetLoading(bool loading) { loading_ = loading; }

    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return updateCount_; }

    // Repaints at once unless loading or inside BeginUpdate/EndUpdate.
    virtual void UpdateControl();
    virtual void AdjustBounds();
    virtual void UpdateBounds();
    virtual void MouseEnter();
    virtual void MouseLeave();
    virtual void FontChanged();
    virtual void TextChanged();

    std::function<void(TVrGraphicControl*)> OnMouseEnterHook, OnMouseLeaveHook, OnFontChangedHook,
        OnTextChangedHook;

    TFont& Font() { return font_; }
    bool AutoSize = false;
    void SetCaption(const std::wstring& caption) override;
    void SetEnabled(bool enabled) override;
    // How many times the control has painted (tests read it).
    int PaintCount() const { return paintCount_; }

protected:
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
    bool EraseBackground(HDC) override { return true; }  // the paint covers everything
    int paintCount_ = 0;

private:
    int updateCount_ = 0;
    bool loading_ = false;
    bool mouseInside_ = false;
    TFont font_;
};

class TVrGraphicImageControl : public TVrGraphicControl {
public:
    explicit TVrGraphicImageControl(TWinControl* parent);
    std::wstring ClassName() const override { return L"TVrGraphicImageControl"; }

    TCanvas& BufferCanvas() { return buffer_->Canvas(); }
    TBitmap& Buffer() { return *buffer_; }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    bool NeedBackground = true;

    void UpdateControl() override;
    // A transparent control takes its background while the pixels under it are still the
    // parent's: before it is shown and before it moves. The parent clips its children, so
    // it never paints under a shown control, and reading the parent's DC there would
    // give the control's own picture.
    void SetVisible(bool visible) override;
    void SetBounds(int left, int top, int width, int height) override;

protected:
    // Draws the buffer onto the control; a derived Paint first calls PrepareBuffer, draws
    // into BufferCanvas, then calls this one.
    void Paint() override;
    // Starts the buffer: the captured parent picture when transparent, else Color.
    virtual void PrepareBuffer();
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    void CaptureBackground(int left, int top, int width, int height);

    std::unique_ptr<TBitmap> background_;
    std::unique_ptr<TBitmap> buffer_;
    bool transparent_ = false;
};

// trunc(Percent * Value * 0.01).
int PercentOf(int value, int percent);
// 0 when Total is 0, else trunc(Value * 100 / Total).
int PercentOfTotal(int value, int total);

enum class TVrShapeType { Rectangle, Square, RoundRect, RoundSquare, Ellipse, Circle };
// The box a shape is drawn in: squares and circles are centred squares of the smaller
// side; with a zero pen width the box shrinks by one.
RECT ShapeBox(int x, int y, int w, int h, TVrShapeType kind, int penWidth);
void DrawShape(TCanvas& canvas, int x, int y, int w, int h, TVrShapeType kind);
bool RectEquals(const RECT& a, const RECT& b);

// A hidden window whose messages go to the handler (timers use it). Exceptions of the
// handler go to the application's error handler.
using TVrWindowHandler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
HWND VrAllocateWindow(TVrWindowHandler handler);
void VrDeallocateWindow(HWND window);

// The application cursor number of the program's hand-point cursor.
constexpr int crVrHandPoint = 99;
// Loads the "VRCURSORHANDPOINT" cursor resource and registers it as cursor 99.
void RegisterHandPointCursor();
