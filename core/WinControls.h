// The window base: an object per window handle, creation parameters, bounds, client
// size, visibility, mouse and key handlers, and the hook rule (a hook runs only when it
// is set and the application is not terminating). Every window procedure catches every
// exception and hands it to the application's error handler: an exception must never
// cross user32. The application reaches this layer through TControlHost, so the windows
// never name the application object.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "Canvas.h"

class TWinControl;

// Cursor numbers as controls name them: crDefault the arrow, crNone no cursor,
// crHandPoint the system hand; other numbers are registered with the application.
enum : int { crDefault = 0, crNone = -1, crHandPoint = -21 };

// What the windows need from the application that runs them. The application installs
// itself as the host when it is made (WinApp).
class TControlHost {
public:
    // The application is ending: hooks no longer run.
    virtual bool Terminated() const = 0;
    virtual void Terminate() = 0;
    // The form whose closing ends the program.
    virtual bool IsMainForm(const TWinControl* form) const = 0;
    // The cursor for a control's cursor number.
    virtual HCURSOR CursorHandle(int cursor) const = 0;
    // Call only inside a catch block: reports the exception being handled. Never raises.
    virtual void HandleException(const std::wstring& senderClass) noexcept = 0;

protected:
    ~TControlHost() = default;
};
void SetControlHost(TControlHost* host);
// The installed host; none only before the application object exists.
TControlHost* ControlHost();

// Calls a hook when it is set and the application is not terminating.
template <typename F, typename... A>
void CallHook(const F& hook, A&&... args) {
    const TControlHost* host = ControlHost();
    if (hook && !(host && host->Terminated())) hook(std::forward<A>(args)...);
}

enum class TMouseButton { Left, Right, Middle };
enum : unsigned { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64 };
// The shift state of a mouse message's key flags, with the Alt key's current state.
unsigned ShiftStateFromMouse(WPARAM keys, bool doubleClick = false);
unsigned ShiftStateFromKeyboard();
// The accelerator of a caption: the character after a single "&", upper-cased; 0 when none.
wchar_t CaptionAccelerator(const std::wstring& caption);
// The character is the caption's accelerator (letter case ignored).
bool IsAccelerator(wchar_t ch, const std::wstring& caption);

struct TCreateParams {
    std::wstring ClassName;
    std::wstring Caption;
    DWORD Style = 0;
    DWORD ExStyle = 0;
    int X = 0, Y = 0, Width = 0, Height = 0;
    HWND Parent = nullptr;
    UINT ClassStyle = CS_DBLCLKS | CS_OWNDC;
};

class TWinControl {
public:
    explicit TWinControl(TWinControl* parent = nullptr);
    virtual ~TWinControl();
    TWinControl(const TWinControl&) = delete;
    TWinControl& operator=(const TWinControl&) = delete;

    // The class name that error reports and the window class carry.
    virtual std::wstring ClassName() const { return L"TWinControl"; }

    // The window handle, made on first use.
    HWND Handle();
    bool HandleAllocated() const { return handle_ != nullptr; }
    static TWinControl* FromHandle(HWND window);
    TWinControl* Parent() const { return parent_; }

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    virtual void SetBounds(int left, int top, int width, int height);
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    RECT BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }
    int ClientWidth();
    int ClientHeight();
    RECT ClientRect();
    void SetClientWidth(int w);
    void SetClientHeight(int h);
    POINT ScreenToClient(POINT p);
    POINT ClientToScreen(POINT p);

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    const std::wstring& Caption() const { return caption_; }
    virtual void SetCaption(const std::wstring& caption);
    TColor Color() const { return color_; }
    virtual void SetColor(TColor color);
    int Tag = 0;
    int Cursor = crDefault;

    // A typed character offered to the control as a mnemonic: true when the control took
    // it (an accelerator click). The default takes nothing.
    virtual bool DialogChar(wchar_t ch) { return false; }
    // Offers a mnemonic to every shown, enabled child control, in window order, until one
    // takes it.
    bool BroadcastDialogChar(wchar_t ch);

    void Invalidate();
    void Update();
    // Invalidate, then paint at once.
    void Repaint();
    // Adds and removes extended style bits of the window.
    void AddExStyle(DWORD bits);
    DWORD ExStyle() { return static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_EXSTYLE)); }
    DWORD Style() { return static_cast<DWORD>(GetWindowLongPtrW(Handle(), GWL_STYLE)); }

    // The canvas on the window's own DC (the window class keeps one DC per window).
    TCanvas& Canvas();

    std::function<void(TWinControl* sender, TMouseButton button, unsigned shift, int x, int y)> OnMouseDown;
    std::function<void(TWinControl* sender, TMouseButton button, unsigned shift, int x, int y)> OnMouseUp;
    std::function<void(TWinControl* sender, unsigned shift, int x, int y)> OnMouseMove;
    std::function<void(TWinControl* sender)> OnClick;

protected:
    virtual void CreateParams(TCreateParams& params);
    // The window's messages; the default handling runs DefWindowProc.
    virtual LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp);
    LRESULT DefaultHandler(UINT msg, WPARAM wp, LPARAM lp);
    // Runs once the handle exists.
    virtual void HandleCreated() {}
    // Draws the window in answer to WM_PAINT; the canvas is on the paint DC.
    virtual void Paint() {}
    // Fills the background; the default fills the client area with Color.
    virtual bool EraseBackground(HDC dc);
    virtual void MouseDown(TMouseButton button, unsigned shift, int x, int y);
    virtual void MouseUp(TMouseButton button, unsigned shift, int x, int y);
    virtual void MouseMove(unsigned shift, int x, int y);
    // A key; setting key to 0 swallows it.
    virtual void KeyDown(WORD& key, unsigned shift) {}
    // How the window is shown when it becomes visible.
    virtual int ShowCommand() const;
    void DestroyHandle();

private:
    static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Dispatch(UINT msg, WPARAM wp, LPARAM lp);
    void CreateHandle();
    void ReadBounds();

    HWND handle_ = nullptr;
    TWinControl* parent_;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = false;
    bool enabled_ = true;
    std::wstring caption_;
    TColor color_ = clBtnFace;
    std::unique_ptr<TCanvas> canvas_;
    UniqueWindowDC windowDC_;
};

enum class TFormBorderStyle { None, SizeToolWin };
enum class TWindowState { Normal, Maximized };

// A top-level window. Closing the application's main form ends the program.
class TForm : public TWinControl {
public:
    TForm();
    std::wstring ClassName() const override { return L"TForm"; }
    TFormBorderStyle BorderStyle = TFormBorderStyle::SizeToolWin;
    TWindowState WindowState = TWindowState::Normal;
    // Shown without activation, and a click does not activate it either (a window that
    // lives at the bottom: activation would raise it).
    bool ShowNoActivate = false;
    // A window that lies under another one (the backdrop under the desktop window) hands
    // the mouse on: a button, move or release at a point of MouseTarget goes to the
    // control of MouseTarget there, as if the pointer were over it.
    TWinControl* MouseTarget = nullptr;

protected:
    void CreateParams(TCreateParams& params) override;
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
    int ShowCommand() const override;

private:
    bool ForwardMouse(UINT msg, WPARAM wp, LPARAM lp);
};
