#include "DisplayModes.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>

#include "MainFormUnit.h"
#include "Utils.h"
#include "WinApp.h"
#include "WinHandles.h"


TVistrelMainForm* CreateDesktopForms() {
    DisplayMode = dmDesktop;
    Application().SetTitle(L"");
    auto* form = Application().CreateForm<TVistrelMainForm>();
    Application().SetMainForm(form);
    SetWindowLongPtrW(Application().Handle(), GWL_EXSTYLE,
                      GetWindowLongPtrW(Application().Handle(), GWL_EXSTYLE) | WS_EX_TOOLWINDOW);
    // Every black pixel of the form shows what lies beneath.
    form->SetColor(clBlack);
    SetLayeredWindow(form->Handle(), 0, 0, LWA_COLORKEY);
    form->AddExStyle(WS_EX_TOOLWINDOW);
    form->ShowNoActivate = true;  // it lives at the bottom; activation would raise it
    if (!BackdropForm) {
        BackdropForm = Application().CreateForm<TForm>();
        BackdropForm->BorderStyle = TFormBorderStyle::None;
        BackdropForm->ShowNoActivate = true;
        // A click on a see-through pixel of the form lands here: it goes on to the form.
        BackdropForm->MouseTarget = form;
        // Fully transparent until SetBackdrop gives it an alpha.
        SetLayeredWindow(BackdropForm->Handle(), 0, 0, LWA_ALPHA);
        BackdropForm->AddExStyle(WS_EX_TOOLWINDOW);
    }
    return form;
}

TVistrelMainForm* CreateWindowForm() {
    DisplayMode = dmWindow;
    auto* form = Application().CreateForm<TVistrelMainForm>();
    Application().SetMainForm(form);
    Application().SetTitle(L"Vistrel");
    form->SetCaption(L"Vistrel");
    // An ordinary application window: a taskbar button and an Alt+Tab entry, although
    // it keeps its tool-window border.
    form->AddExStyle(WS_EX_APPWINDOW);
    return form;
}

namespace {

// The screen saver's black form while it exists.
TBlankForm* blankForm = nullptr;
// Set while the black form is raised to the top on its own, just before the main form.
bool raisingBlank = false;

// Posted to the black form: take the activation (from the main form), and raise both forms.
constexpr UINT kTakeActivation = WM_APP + 0x61;
constexpr UINT kRaiseForms = WM_APP + 0x62;

// The main form's window when it is another window than the black form's.
HWND MainFormWindowBeside(TForm& blank) {
    TWinControl* main = Application().MainForm();
    if (!main || !main->HandleAllocated() || !blank.HandleAllocated() || main->Handle() == blank.Handle()) return nullptr;
    return main->Handle();
}

// Puts a window at the top of the topmost band (above the taskbar), without activating,
// moving or sizing it.
void MakeTopmost(HWND window) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

}  // namespace

TBlankForm::~TBlankForm() {
    if (blankForm == this) blankForm = nullptr;
}

LRESULT TBlankForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    const HWND main = MainFormWindowBeside(*this);
    switch (msg) {
        case WM_WINDOWPOSCHANGING: {
            auto* pos = reinterpret_cast<WINDOWPOS*>(lp);
            if (!(pos->flags & SWP_NOZORDER) && main && !raisingBlank) pos->hwndInsertAfter = main;
            break;
        }
        case WM_ACTIVATE:
            // The main form took the activation (it is shown maximised, or was clicked):
            // it goes back to this form once that is over. This form activated: the main
            // form goes above it again, as an activation brings a window to the top and not
            // every window system lets the position handling above keep it beneath.
            if (LOWORD(wp) == WA_INACTIVE) {
                if (main && reinterpret_cast<HWND>(lp) == main) PostMessageW(Handle(), kTakeActivation, 0, 0);
            } else {
                PostMessageW(Handle(), kRaiseForms, 0, 0);
            }
            break;
        case WM_ACTIVATEAPP:
            // Another program came to the foreground, or this one came back: whatever it
            // raised, the saver goes above it again; back in the foreground, with this
            // form as the active window.
            PostMessageW(Handle(), wp ? kTakeActivation : kRaiseForms, 0, 0);
            break;
        case kTakeActivation:
            // Within this program only: SetActiveWindow makes this form the foreground
            // window while the program is in the foreground and takes nothing from
            // another program while it is not.
            if (main && GetActiveWindow() != Handle()) SetActiveWindow(Handle());
            RaiseScreenSaverForms();
            return 0;
        case kRaiseForms:
            RaiseScreenSaverForms();
            return 0;
        default:
            break;
    }
    return TForm::WndProc(msg, wp, lp);
}

void RaiseScreenSaverForms() {
    if (DisplayMode != dmScreenSaver || !blankForm || !blankForm->HandleAllocated()) return;
    const HWND main = MainFormWindowBeside(*blankForm);
    if (!main) return;
    // Each to the top in turn, the black form first: two raises to the top, which every
    // window system carries out as such (an X display under Wine restacks for those only).
    raisingBlank = true;
    MakeTopmost(blankForm->Handle());
    raisingBlank = false;
    MakeTopmost(main);
}

TVistrelMainForm* CreateScreenSaverForms() {
    DisplayMode = dmScreenSaver;
    Application().CursorHidden = true;
    auto* blank = Application().CreateForm<TBlankForm>();
    blankForm = blank;
    blank->BorderStyle = TFormBorderStyle::None;
    blank->SetBounds(GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                     GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN));
    blank->SetColor(clBlack);
    blank->AddExStyle(WS_EX_TOOLWINDOW);
    // Both saver forms are topmost, the main form above the black one: the shell keeps its
    // taskbar above every window that is not, even a full-screen one.
    MakeTopmost(blank->Handle());
    blank->Show();
    auto* form = Application().CreateForm<TVistrelMainForm>();
    Application().SetMainForm(form);
    Application().SetTitle(L"Vistrel");
    form->SetCaption(L"Vistrel");
    form->AddExStyle(WS_EX_APPWINDOW);
    MakeTopmost(form->Handle());
    form->WindowState = TWindowState::Maximized;
    return form;
}

void SetLayeredWindow(HWND window, COLORREF key, BYTE alpha, DWORD flags) {
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    if (!GetVersionExA(&vi) || vi.dwPlatformId != VER_PLATFORM_WIN32_NT || vi.dwMajorVersion < 5) {
        HaltProgram(1);
        return;
    }
    SetWindowLongPtrW(window, GWL_EXSTYLE, GetWindowLongPtrW(window, GWL_EXSTYLE) | WS_EX_LAYERED);
    UniqueLibrary user32(LoadLibraryW(L"USER32.DLL"));
    using SetAttributes = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
    auto proc = user32.valid()
                    ? reinterpret_cast<SetAttributes>(
                          reinterpret_cast<void*>(GetProcAddress(user32.get(), "SetLayeredWindowAttributes")))
                    : nullptr;
    if (!proc) {
        HaltProgram(1);
        return;
    }
    proc(window, key, alpha, flags);
}

BYTE BackdropAlpha(std::int32_t percent) {
    if (percent >= 0 && percent <= 100) return static_cast<BYTE>(255 - (percent * 255) / 100);
    return static_cast<BYTE>(percent & 0xFF);
}

void SetBackdrop(TColor color, std::int32_t percent) {
    if (!BackdropForm) return;
    BackdropForm->SetColor(color);
    SetLayeredWindow(BackdropForm->Handle(), 0, BackdropAlpha(percent), LWA_ALPHA);
    BackdropForm->Repaint();
}

void BounceStep(int& pos, int& step, int extent) {
    const int farEdge = std::max(0, extent - 33);
    if (pos <= 0) step = 1;
    else if (pos >= farEdge) step = -1;
    pos = std::clamp(pos + step, 0, farEdge);
}

void RunScreenSaverPreview(HWND window, DWORD visibleWaitMs) {
    const DWORD start = GetTickCount();
    while (IsWindow(window) && !IsWindowVisible(window)) {
        if (GetTickCount() - start >= visibleWaitMs) return;
        Application().ProcessMessages();
        Sleep(10);
    }
    if (!IsWindow(window)) return;
    RECT r{};
    GetClientRect(window, &r);
    const int w = r.right - r.left + 1, h = r.bottom - r.top + 1;
    UniqueWindowDC dc(window);
    if (!dc.valid()) return;
    TBitmap background;
    background.SetSize(w, h);
    background.Canvas().FillRect({0, 0, w, h});  // the canvas's default (white) brush
    TBitmap frame;
    frame.SetSize(w, h);
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    if (!icon) icon = LoadIconW(nullptr, IDI_APPLICATION);
    int x = w / 2 - 16, y = h / 2 - 16, dx = 1, dy = 1;
    while (IsWindow(window) && IsWindowVisible(window)) {
        BitBlt(frame.DC(), 0, 0, w, h, background.DC(), 0, 0, SRCCOPY);
        DrawIcon(frame.DC(), x, y, icon);
        BitBlt(dc.get(), 0, 0, w, h, frame.DC(), 0, 0, SRCCOPY);
        Sleep(10);
        Application().ProcessMessages();
        BounceStep(x, dx, w);
        BounceStep(y, dy, h);
    }
}

void SetFontQuality(TCanvas& canvas, bool antialiased) {
    // A new GDI font only when the quality changes: the painting asks for every item.
    canvas.Font().SetQuality(antialiased ? DEFAULT_QUALITY : NONANTIALIASED_QUALITY);
}

namespace {

bool IsSwitch(const std::wstring& arg, wchar_t name) {
    return arg.size() == 2 && (arg[0] == L'/' || arg[0] == L'-') && (arg[1] | 0x20) == name;
}

}  // namespace

std::vector<std::wstring> NormalizeScreenSaverArguments(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> out;
    for (const auto& arg : args) {
        if (arg.size() > 3 && (arg[0] == L'/' || arg[0] == L'-') && ((arg[1] | 0x20) == L'c' || (arg[1] | 0x20) == L'p') &&
            arg[2] == L':') {
            out.push_back(arg.substr(0, 2));
            out.push_back(arg.substr(3));
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

bool PreviewWindowArgument(const std::vector<std::wstring>& args, std::intptr_t& handle) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!IsSwitch(args[i], L'p')) continue;
        if (i + 1 >= args.size()) return false;
        const std::wstring& text = args[i + 1];
        wchar_t* end = nullptr;
        errno = 0;
        const long long v = std::wcstoll(text.c_str(), &end, 10);
        const bool number = !text.empty() && end && *end == L'\0' && errno == 0;
        handle = number ? static_cast<std::intptr_t>(v) : -1;
        return true;
    }
    return false;
}

char ChooseModeSwitch() {
    for (const char* name : {"f", "s", "p", "c"})
        if (HasCmdLineSwitch(name)) return name[0];
    return 'd';
}
