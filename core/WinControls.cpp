#include "WinControls.h"

#include <cwctype>

#include "Errors.h"

namespace {

TControlHost* host = nullptr;

void RegisterWindowClass(const std::wstring& name, UINT style, WNDPROC proc) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, name.c_str(), &existing)) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = style;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, L"MAINICON");
    wc.lpszClassName = name.c_str();
    if (!RegisterClassExW(&wc)) RaiseLastOSError(L"RegisterClass " + name);
}

// Runs a function when the scope ends (EndPaint after a Paint that raised).
template <typename F>
struct ScopeExit {
    F f;
    ~ScopeExit() { f(); }
};
template <typename F>
ScopeExit(F) -> ScopeExit<F>;

}  // namespace

void SetControlHost(TControlHost* newHost) { host = newHost; }

TControlHost* ControlHost() { return host; }

unsigned ShiftStateFromMouse(WPARAM keys, bool doubleClick) {
    unsigned s = 0;
    if (keys & MK_SHIFT) s |= ssShift;
    if (keys & MK_CONTROL) s |= ssCtrl;
    if (keys & MK_LBUTTON) s |= ssLeft;
    if (keys & MK_RBUTTON) s |= ssRight;
    if (keys & MK_MBUTTON) s |= ssMiddle;
    if (GetKeyState(VK_MENU) < 0) s |= ssAlt;
    if (doubleClick) s |= ssDouble;
    return s;
}

unsigned ShiftStateFromKeyboard() {
    unsigned s = 0;
    if (GetKeyState(VK_SHIFT) < 0) s |= ssShift;
    if (GetKeyState(VK_CONTROL) < 0) s |= ssCtrl;
    if (GetKeyState(VK_MENU) < 0) s |= ssAlt;
    return s;
}

wchar_t CaptionAccelerator(const std::wstring& caption) {
    for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != L'&') continue;
        if (caption[i + 1] == L'&') {
            ++i;  // "&&" is a plain ampersand
            continue;
        }
        // A blank is never one: "Tools & Settings" would run on the space bar.
        if (iswspace(caption[i + 1])) continue;
        return static_cast<wchar_t>(towupper(caption[i + 1]));
    }
    return 0;
}

bool IsAccelerator(wchar_t ch, const std::wstring& caption) {
    const wchar_t accel = CaptionAccelerator(caption);
    return accel != 0 && accel == static_cast<wchar_t>(towupper(ch));
}

TWinControl::TWinControl(TWinControl* parent) : parent_(parent) {}

TWinControl::~TWinControl() { DestroyHandle(); }

void TWinControl::DestroyHandle() {
    if (canvas_) canvas_->SetHandle(nullptr);
    windowDC_.reset();
    if (handle_) {
        HWND h = handle_;
        DestroyWindow(h);
        // WM_NCDESTROY cleared it; a window of another thread could not be destroyed.
        if (handle_) {
            SetWindowLongPtrW(h, GWLP_USERDATA, 0);
            handle_ = nullptr;
        }
    }
}

HWND TWinControl::Handle() {
    if (!handle_) CreateHandle();
    return handle_;
}

TWinControl* TWinControl::FromHandle(HWND window) {
    if (!window) return nullptr;
    return reinterpret_cast<TWinControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

namespace {

// The object of a window that one of our classes made; none for any other window (their
// user data is not ours to read).
TWinControl* OwnControl(HWND window, WNDPROC ownProc) {
    if (!window || reinterpret_cast<WNDPROC>(GetClassLongPtrW(window, GCLP_WNDPROC)) != ownProc) return nullptr;
    return TWinControl::FromHandle(window);
}

}  // namespace

namespace {

struct TDialogCharSearch {
    wchar_t ch;
    WNDPROC proc;
    bool taken;
};

BOOL CALLBACK OfferDialogChar(HWND child, LPARAM data) {
    auto* s = reinterpret_cast<TDialogCharSearch*>(data);
    // A control that is not shown (another page's) or not enabled takes no key.
    if (!IsWindowVisible(child) || !IsWindowEnabled(child)) return TRUE;
    TWinControl* control = OwnControl(child, s->proc);
    s->taken = control && control->DialogChar(s->ch);
    return s->taken ? FALSE : TRUE;
}

}  // namespace

bool TWinControl::BroadcastDialogChar(wchar_t ch) {
    if (!handle_) return false;
    TDialogCharSearch search{ch, StaticWndProc, false};
    EnumChildWindows(handle_, OfferDialogChar, reinterpret_cast<LPARAM>(&search));
    return search.taken;
}

void TWinControl::CreateParams(TCreateParams& params) {
    params.ClassName = ClassName();
    params.Caption = caption_;
    params.X = left_;
    params.Y = top_;
    params.Width = width_;
    params.Height = height_;
    if (parent_) {
        params.Style = WS_CHILD | WS_CLIPSIBLINGS;
        params.Parent = parent_->Handle();
    }
}

void TWinControl::CreateHandle() {
    TCreateParams params;
    CreateParams(params);
    RegisterWindowClass(params.ClassName, params.ClassStyle, StaticWndProc);
    HWND h = CreateWindowExW(params.ExStyle, params.ClassName.c_str(), params.Caption.c_str(), params.Style,
                             params.X, params.Y, params.Width, params.Height, params.Parent, nullptr,
                             GetModuleHandleW(nullptr), this);
    if (!h) RaiseLastOSError(L"CreateWindowEx " + params.ClassName);
    handle_ = h;
    ReadBounds();
    if (!enabled_) EnableWindow(h, FALSE);
    HandleCreated();
    if (visible_) {
        visible_ = false;
        SetVisible(true);
    }
}

LRESULT CALLBACK TWinControl::StaticWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    TWinControl* self = nullptr;
    if (msg == WM_NCCREATE) {
        self = static_cast<TWinControl*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self) self->handle_ = hwnd;
    } else {
        self = FromHandle(hwnd);
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->handle_ = nullptr;
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    return self->Dispatch(msg, wp, lp);
}

LRESULT TWinControl::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
    try {
        return WndProc(msg, wp, lp);
    } catch (...) {
        if (host) host->HandleException(ClassName());
        return 0;
    }
}

LRESULT TWinControl::DefaultHandler(UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(handle_, msg, wp, lp);
}

bool TWinControl::EraseBackground(HDC dc) {
    RECT r;
    GetClientRect(handle_, &r);
    UniqueBrush brush(CreateSolidBrush(ColorToRgb(color_)));
    ::FillRect(dc, &r, brush.get());
    return true;
}

void TWinControl::MouseDown(TMouseButton button, unsigned shift, int x, int y) {
    if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TWinControl::MouseUp(TMouseButton button, unsigned shift, int x, int y) {
    if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}

void TWinControl::MouseMove(unsigned shift, int x, int y) {
    if (OnMouseMove) OnMouseMove(this, shift, x, y);
}

LRESULT TWinControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(handle_, &ps);
            TCanvas& canvas = Canvas();
            HDC previous = canvas.Handle();
            ScopeExit done{[&] {
                canvas.SetHandle(previous);
                EndPaint(handle_, &ps);
            }};
            canvas.SetHandle(dc);
            Paint();
            return 0;
        }
        case WM_ERASEBKGND:
            return EraseBackground(reinterpret_cast<HDC>(wp)) ? 1 : 0;
        case WM_SETCURSOR:
            if (LOWORD(lp) == HTCLIENT) {
                SetCursor(host ? host->CursorHandle(Cursor) : LoadCursorW(nullptr, IDC_ARROW));
                return TRUE;
            }
            break;
        case WM_WINDOWPOSCHANGED: {
            const LRESULT r = DefaultHandler(msg, wp, lp);
            ReadBounds();
            return r;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            MouseDown(TMouseButton::Left, ShiftStateFromMouse(wp, msg == WM_LBUTTONDBLCLK), x, y);
            return 0;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
            MouseDown(TMouseButton::Right, ShiftStateFromMouse(wp, msg == WM_RBUTTONDBLCLK), x, y);
            return 0;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
            MouseDown(TMouseButton::Middle, ShiftStateFromMouse(wp, msg == WM_MBUTTONDBLCLK), x, y);
            return 0;
        case WM_LBUTTONUP:
            MouseUp(TMouseButton::Left, ShiftStateFromMouse(wp), x, y);
            return 0;
        case WM_RBUTTONUP:
            MouseUp(TMouseButton::Right, ShiftStateFromMouse(wp), x, y);
            return 0;
        case WM_MBUTTONUP:
            MouseUp(TMouseButton::Middle, ShiftStateFromMouse(wp), x, y);
            return 0;
        case WM_MOUSEMOVE:
            MouseMove(ShiftStateFromMouse(wp), x, y);
            return 0;
        case WM_CHAR:
        case WM_SYSCHAR: {
            // A character that reaches a window is offered, as a mnemonic, to the controls
            // of its top-level window: an accelerator clicks its button.
            TWinControl* top = OwnControl(GetAncestor(handle_, GA_ROOT), StaticWndProc);
            if (top && top->BroadcastDialogChar(static_cast<wchar_t>(wp))) return 0;
            break;
        }
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            WORD key = static_cast<WORD>(wp);
            KeyDown(key, ShiftStateFromKeyboard() | ((msg == WM_SYSKEYDOWN && (lp & (1 << 29))) ? ssAlt : 0u));
            if (key == 0) return 0;
            break;
        }
        default:
            break;
    }
    return DefaultHandler(msg, wp, lp);
}

void TWinControl::ReadBounds() {
    if (!handle_) return;
    RECT r;
    GetWindowRect(handle_, &r);
    if (parent_ && parent_->HandleAllocated()) MapWindowPoints(HWND_DESKTOP, parent_->handle_, reinterpret_cast<POINT*>(&r), 2);
    left_ = r.left;
    top_ = r.top;
    width_ = r.right - r.left;
    height_ = r.bottom - r.top;
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    if (!handle_) {
        left_ = left;
        top_ = top;
        width_ = width;
        height_ = height;
        return;
    }
    if (left == left_ && top == top_ && width == width_ && height == height_) return;
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
    // A child moves without making its parent repaint (every repaint of the form is a
    // relayout); it repaints itself instead.
    if (parent_) flags |= SWP_NOREDRAW;
    SetWindowPos(handle_, nullptr, left, top, width, height, flags);
    ReadBounds();
    if (parent_) InvalidateRect(handle_, nullptr, TRUE);
}

int TWinControl::ClientWidth() {
    const RECT r = ClientRect();
    return r.right - r.left;
}

int TWinControl::ClientHeight() {
    const RECT r = ClientRect();
    return r.bottom - r.top;
}

RECT TWinControl::ClientRect() {
    RECT r{0, 0, width_, height_};
    if (handle_) GetClientRect(handle_, &r);
    return r;
}

void TWinControl::SetClientWidth(int w) { SetWidth(width_ - ClientWidth() + w); }

void TWinControl::SetClientHeight(int h) { SetHeight(height_ - ClientHeight() + h); }

POINT TWinControl::ScreenToClient(POINT p) {
    ::ScreenToClient(Handle(), &p);
    return p;
}

POINT TWinControl::ClientToScreen(POINT p) {
    ::ClientToScreen(Handle(), &p);
    return p;
}

int TWinControl::ShowCommand() const { return SW_SHOWNORMAL; }

void TWinControl::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    if (!handle_) {
        if (visible) Handle();  // shows it once made
        return;
    }
    if (parent_) {
        // Shown and hidden without repainting the parent; the child paints itself.
        SetWindowPos(handle_, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW |
                         (visible ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
        if (visible) InvalidateRect(handle_, nullptr, TRUE);
    } else {
        ShowWindow(handle_, visible ? ShowCommand() : SW_HIDE);
    }
}

void TWinControl::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (handle_) EnableWindow(handle_, enabled ? TRUE : FALSE);
}

void TWinControl::SetCaption(const std::wstring& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    if (handle_) SetWindowTextW(handle_, caption_.c_str());
}

void TWinControl::SetColor(TColor color) {
    if (color == color_) return;
    color_ = color;
    // The canvas brush is the window's background.
    if (canvas_) canvas_->Brush().SetColor(color);
}

void TWinControl::Invalidate() {
    if (handle_) InvalidateRect(handle_, nullptr, TRUE);
}

void TWinControl::Update() {
    if (handle_) UpdateWindow(handle_);
}

void TWinControl::Repaint() {
    Invalidate();
    Update();
}

void TWinControl::AddExStyle(DWORD bits) {
    HWND h = Handle();
    SetWindowLongPtrW(h, GWL_EXSTYLE, GetWindowLongPtrW(h, GWL_EXSTYLE) | static_cast<LONG_PTR>(bits));
}

TCanvas& TWinControl::Canvas() {
    if (!canvas_) {
        canvas_ = std::make_unique<TCanvas>();
        canvas_->Brush().SetColor(color_);
    }
    if (handle_ && !canvas_->HasHandle()) {
        windowDC_ = UniqueWindowDC(handle_);
        canvas_->SetHandle(windowDC_.get());
    }
    return *canvas_;
}

// ---- TForm

TForm::TForm() : TWinControl(nullptr) {
    SetBounds(0, 0, 320, 240);
}

void TForm::CreateParams(TCreateParams& params) {
    TWinControl::CreateParams(params);
    if (BorderStyle == TFormBorderStyle::SizeToolWin) {
        params.Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
        params.ExStyle |= WS_EX_TOOLWINDOW;
    } else {
        params.Style = WS_POPUP;
    }
    params.Style |= WS_CLIPCHILDREN;
}

LRESULT TForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_CLOSE) {
        if (host && host->IsMainForm(this)) host->Terminate();
        else Hide();
        return 0;
    }
    // A click would activate the window, and activation raises it above the others
    // whatever its position handling asks for.
    if (msg == WM_MOUSEACTIVATE && ShowNoActivate) return MA_NOACTIVATE;
    if (ForwardMouse(msg, wp, lp)) return 0;
    return TWinControl::WndProc(msg, wp, lp);
}

bool TForm::ForwardMouse(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_RBUTTONDBLCLK:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
        case WM_MBUTTONDBLCLK:
            break;
        default:
            return false;
    }
    if (!MouseTarget || !MouseTarget->HandleAllocated() || !HandleAllocated()) return false;
    POINT screen{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
    ::ClientToScreen(Handle(), &screen);
    HWND target = MouseTarget->Handle();
    POINT p = screen;
    ::ScreenToClient(target, &p);
    HWND child = ChildWindowFromPointEx(target, p, CWP_SKIPINVISIBLE | CWP_SKIPDISABLED);
    if (!child) return false;  // not over the target
    p = screen;
    ::ScreenToClient(child, &p);
    SendMessageW(child, msg, wp, MAKELPARAM(p.x, p.y));
    return true;
}

int TForm::ShowCommand() const {
    if (WindowState == TWindowState::Maximized) return SW_SHOWMAXIMIZED;
    return ShowNoActivate ? SW_SHOWNA : SW_SHOWNORMAL;
}
