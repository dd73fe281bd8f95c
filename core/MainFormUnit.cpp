#include "MainFormUnit.h"

#include <shellapi.h>

#include <windowsx.h>

#include <cmath>
#include <cstdint>

#include "Checked.h"
#include "ConfigItems.h"
#include "DisplayState.h"
#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "Manual.h"
#include "NativePaths.h"
#include "Utils.h"
#include "Variant.h"
#include "WinApp.h"

namespace {

std::wstring OptionText(const TItemOptionArray& options, const std::wstring& name) {
    for (const auto& option : options)
        if (!option.Name.empty() && SameTextIgnoreCase(option.Name, name)) return option.Value.ToText();
    return {};
}

}  // namespace

TVistrelMainForm::TVistrelMainForm() {
    SetCaption(L"Vistrel");
    SetColor(clBackground);
    SetBounds(0, 0, 300, 400);
    Canvas().Font().SetName(L"MS Sans Serif");

    static const wchar_t* const kPageNames[kPageEntryCount] = {L"Page11", L"Page21", L"Page31", L"Page41", L"Page51",
                                                               L"Page61", L"Page71", L"Page81", L"Page91"};
    for (int i = 0; i < kPageEntryCount; ++i) {
        TMenuItem& page = PopupMenu1.Add(kPageNames[i], L"Page &" + std::to_wstring(i + 1),
                                         [this](TMenuItem& item) { PageClick(item); });
        page.RadioItem = true;
        page.GroupIndex = 1;
    }
    PopupMenu1.Items(0).Checked = true;
    PopupMenu1.Add(L"N1", L"-");
    PopupMenu1.Add(L"Refresh1", L"&Refresh", [this](TMenuItem&) { Refresh1Click(); });
    PopupMenu1.Add(L"Configuration1", L"&Configuration", [this](TMenuItem&) { Configuration1Click(); });
    PopupMenu1.Add(L"Language1", L"&Language", [this](TMenuItem&) { Language1Click(); });
    PopupMenu1.Add(L"ReadMe1", L"&Manual", [this](TMenuItem&) { ReadMe1Click(); });
    PopupMenu1.Add(L"Quit1", L"&Quit", [this](TMenuItem&) { Quit1Click(); });

    FormCreate();
}

TVistrelMainForm::~TVistrelMainForm() {
    FormDestroy();
    for (auto& b : navButtons_) b.reset();
}

void TVistrelMainForm::FormCreate() {
    Application().OnException = AppException;
    // The screen saver's exit rules hold for every window of the saver, whichever has the
    // pointer or the focus: the black form beneath, this form and its child windows.
    if (DisplayMode == dmScreenSaver) Application().OnMessage = [this](MSG& msg) { return ScreenSaverInput(msg); };
    PopupAllowed = true;
    OnDeviceConfigProc = nullptr;
    OnVolumeChangeProc = nullptr;
    ResetScreenSaverMoves();
    BorderStyle = DisplayMode == dmWindow ? TFormBorderStyle::SizeToolWin : TFormBorderStyle::None;
    HWND h = Handle();
    SetTimer(h, kTimer1, 1000, nullptr);
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    deviceNotify_ = RegisterDeviceNotificationA(h, &filter, 0);
    HomeButton = CreateNavButton(L"g", kNavHome, 12);
    NextButton = CreateNavButton(L"4", kNavNext, 15);
    BackButton = CreateNavButton(L"3", kNavBack, 15);
}

void TVistrelMainForm::FormDestroy() {
    if (DisplayMode == dmScreenSaver) Application().OnMessage = nullptr;  // the saver's rules go with it
    if (HandleAllocated()) KillTimer(Handle(), kTimer1);
    if (deviceNotify_) UnregisterDeviceNotification(deviceNotify_);
    deviceNotify_ = nullptr;
}

TVrShadowButton* TVistrelMainForm::CreateNavButton(const wchar_t* caption, int tag, int fontSize) {
    auto button = std::make_unique<TVrShadowButton>(this);
    button->SetBounds(0, 0, kNavButtonWidth, kNavButtonHeight);
    button->SetTransparent(true);
    button->SetEnabled(true);
    button->Font().SetName(L"Marlett");
    button->Font().SetSize(fontSize);
    button->Tag = tag;
    button->SetCaption(caption);
    button->OnMouseMove = [this](TWinControl* sender, unsigned, int, int) { NavButtonMouseMove(sender); };
    button->OnClick = [this](TWinControl* sender) { NavButtonClick(sender); };
    button->OnMouseDown = [this](TWinControl* sender, TMouseButton mb, unsigned shift, int x, int y) {
        NavButtonMouseDown(sender, mb, shift, x, y);
    };
    button->Handle();  // a hidden child window from the start
    TVrShadowButton* raw = button.get();
    navButtons_.at(static_cast<std::size_t>(tag)) = std::move(button);
    return raw;
}

void TVistrelMainForm::CreateParams(TCreateParams& params) {
    TForm::CreateParams(params);
    params.Style |= WS_POPUP;
}

void TVistrelMainForm::Paint() { CallHook(OnPaintProc); }

LRESULT TVistrelMainForm::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    const bool terminating = Application().Terminated();
    switch (msg) {
        case WM_TIMER:
            if (!terminating) {
                if (wp == kTimer1) CallHook(OnTimer1Proc);
                else if (wp == kTimer2) CallHook(OnTimer2Proc);
                if (navHighlightCheck_) HighlightNavButton(nullptr);
            }
            return 0;
        case WM_EXITSIZEMOVE:
            CallHook(OnWindowMovedProc, this);
            break;
        case WM_SETTINGCHANGE:
            // The user changed the regional format: numbers follow it, as dates do.
            if (IsRegionalSettingsChange(reinterpret_cast<const wchar_t*>(lp))) RefreshLocaleNumberFormat();
            CallHook(OnSettingChangeProc, this);
            break;
        case WM_DISPLAYCHANGE:
            CallHook(OnDisplayChangeProc, this);
            break;
        case WM_DEVICECHANGE:
            if (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE) {
                // The header comes from the sender: it is read only when it is readable
                // and as long as its own size says.
                const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
                if (IsVolumeHeader(header, ReadableBytes))
                    CallHook(OnVolumeChangeProc, this, const_cast<PDEV_BROADCAST_HDR>(header), static_cast<UINT>(wp));
            } else if (wp == DBT_CONFIGCHANGED) {
                CallHook(OnDeviceConfigProc);
            }
            break;
        case WM_WINDOWPOSCHANGING:
            // The form always goes to the bottom of the window order on the desktop. The
            // default handling follows: it keeps a sizeable window (window mode) at least
            // at the system's minimum tracking size.
            if (!terminating && DisplayMode == dmDesktop) reinterpret_cast<WINDOWPOS*>(lp)->hwndInsertAfter = HWND_BOTTOM;
            break;
        case WM_WINDOWPOSCHANGED: {
            if (terminating) return 0;
            const auto* pos = reinterpret_cast<const WINDOWPOS*>(lp);
            if (pos->hwnd == Handle() && (pos->flags & (SWP_NOMOVE | SWP_NOSIZE)) != (SWP_NOMOVE | SWP_NOSIZE))
                navHighlightCheck_ = true;
            if (DisplayMode == dmDesktop && pos->hwnd == Handle() && BackdropForm) {
                // The backdrop lies just beneath the form with the same rectangle.
                RECT r;
                GetWindowRect(Handle(), &r);
                SetWindowPos(BackdropForm->Handle(), Handle(), r.left, r.top, r.right - r.left, r.bottom - r.top,
                             SWP_SHOWWINDOW | SWP_NOACTIVATE);
            }
            break;
        }
        default:
            break;
    }
    return TForm::WndProc(msg, wp, lp);
}

void TVistrelMainForm::MouseDown(TMouseButton button, unsigned shift, int x, int y) {
    FormMouseDown(button, shift, x, y);
    TForm::MouseDown(button, shift, x, y);
}

void TVistrelMainForm::MouseMove(unsigned shift, int x, int y) {
    FormMouseMove(shift, x, y);
    TForm::MouseMove(shift, x, y);
}

void TVistrelMainForm::KeyDown(WORD& key, unsigned shift) { FormKeyDown(key, shift); }

void TVistrelMainForm::FormKeyDown(WORD& key, unsigned shift) {
    if (DisplayMode == dmScreenSaver) {
        HaltProgram(0);
        return;
    }
    if (key == VK_F4 && (shift & ssAlt)) key = 0;  // the window cannot be closed that way
}

void TVistrelMainForm::FormMouseMove(unsigned, int x, int y) {
    if (DisplayMode != dmScreenSaver) return;
    POINT screen{x, y};
    if (HandleAllocated()) screen = ClientToScreen(screen);
    ScreenSaverMouseMove(screen);
}

void TVistrelMainForm::ScreenSaverMouseMove(POINT screen) {
    if (!PointerMoved(lastPointer_, screen)) return;
    ++MouseMoveCount;
    if (MouseMoveCount > 5) HaltProgram(0);
}

void TVistrelMainForm::ResetScreenSaverMoves() {
    MouseMoveCount = 0;
    lastPointer_.reset();
}

bool PointerMoved(std::optional<POINT>& Last, POINT Screen) {
    const bool moved = Last && (Last->x != Screen.x || Last->y != Screen.y);
    Last = Screen;
    return moved;
}

bool TVistrelMainForm::ScreenSaverInput(MSG& msg) {
    if (DisplayMode != dmScreenSaver) return false;
    switch (msg.message) {
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN: {
            WORD key = static_cast<WORD>(msg.wParam);
            FormKeyDown(key, ShiftStateFromKeyboard());
            return true;
        }
        case WM_MOUSEMOVE:
        case WM_NCMOUSEMOVE: {
            // Counted here alone: the message does not reach the form's own handler as
            // well. A move is compared by its screen position: the client one of
            // WM_MOUSEMOVE is relative to the window it went to.
            POINT screen{GET_X_LPARAM(msg.lParam), GET_Y_LPARAM(msg.lParam)};
            if (msg.message == WM_MOUSEMOVE && msg.hwnd) ::ClientToScreen(msg.hwnd, &screen);
            ScreenSaverMouseMove(screen);
            return true;
        }
        default:
            return false;
    }
}

void TVistrelMainForm::PopupAt(POINT screen) { PopupMenu1.Popup(Handle(), screen.x, screen.y); }

void TVistrelMainForm::StartWindowDrag() {
    ReleaseCapture();
    SendMessageW(Handle(), WM_SYSCOMMAND, 0xF012, 0);  // SC_MOVE + HTCAPTION
}

void TVistrelMainForm::FormMouseDown(TMouseButton mb, unsigned, int x, int y) {
    if (mb == TMouseButton::Right) {
        if (PopupMenu1.AutoPopup && PopupAllowed) PopupAt(ClientToScreen({x, y}));
    } else if (mb == TMouseButton::Left) {
        if (AllowDrag || DisplayMode == dmWindow) StartWindowDrag();
    }
}

POINT TVistrelMainForm::ButtonPopupPoint(TWinControl* button) { return button->ClientToScreen({0, button->Height()}); }

void TVistrelMainForm::NavButtonMouseDown(TWinControl* button, TMouseButton mb, unsigned shift, int, int) {
    if (mb == TMouseButton::Right) {
        if (PopupMenu1.AutoPopup && PopupAllowed) PopupAt(ButtonPopupPoint(button));
    } else if (mb == TMouseButton::Left && (shift & ssShift)) {
        if (AllowDrag || DisplayMode == dmWindow) StartWindowDrag();
    }
}

void TVistrelMainForm::NavButtonMouseMove(TWinControl* button) { HighlightNavButton(button); }

void TVistrelMainForm::HighlightNavButton(TWinControl* control) {
    if (!control) {
        POINT cursor{};
        if (GetCursorPos(&cursor)) {
            for (auto& b : navButtons_) {
                if (!b || !b->HandleAllocated()) continue;
                POINT p = cursor;
                if (!::ScreenToClient(b->Handle(), &p)) continue;
                RECT r = b->ClientRect();
                if (PtInRect(&r, p)) {
                    control = b.get();
                    break;
                }
            }
        }
    }
    navHighlightCheck_ = control != nullptr;
    for (auto& b : navButtons_) {
        if (!b) continue;
        if (b.get() == control) {
            b->Brush().SetColor(NavColor);
            b->Brush().SetStyle(TBrushStyle::Solid);
        } else {
            b->Brush().SetStyle(TBrushStyle::Clear);
        }
    }
}

int NavigationTarget(const std::array<bool, 9>& checked, const std::array<bool, 9>& visible, int tag) {
    int n = -1;
    for (int i = 0; i < 9; ++i)
        if (checked[static_cast<std::size_t>(i)]) {
            n = i;
            break;
        }
    if (n < 0) return -1;
    if (tag == kNavHome) return 0;
    const int step = tag == kNavBack ? -1 : tag == kNavNext ? 1 : 0;
    if (step == 0) return n;
    // At most one round: with no other visible entry the page stays.
    for (int k = 0; k < 9; ++k) {
        n = (n + step + 9) % 9;
        if (visible[static_cast<std::size_t>(n)]) break;
    }
    return n;
}

void TVistrelMainForm::NavButtonClick(TWinControl* button) {
    std::array<bool, 9> checked{}, visible{};
    for (int i = 0; i < kPageEntryCount; ++i) {
        checked[static_cast<std::size_t>(i)] = PopupMenu1.Items(i).Checked;
        visible[static_cast<std::size_t>(i)] = PopupMenu1.Items(i).Visible;
    }
    const int n = NavigationTarget(checked, visible, button->Tag);
    if (n < 0) return;
    PopupMenu1.SetChecked(n, true);
    CallHook(OnPageChangeProc, this, n);
}

void TVistrelMainForm::PageClick(TMenuItem& item) {
    if (!OnPageChangeProc) return;
    PopupMenu1.SetChecked(item.MenuIndex, true);
    CallHook(OnPageChangeProc, this, item.MenuIndex);
}

void TVistrelMainForm::Refresh1Click() { Invalidate(); }

void TVistrelMainForm::OpenWithEditor(const std::wstring& file, const wchar_t* tag) {
    const std::wstring program = TextEditor.empty() ? file : TextEditor;
    // Quoted, so that a path with blanks reaches the editor as one argument.
    if (ShellOpen(program, QuotedArgument(file), ProgramDirectory()) <= 32)
        WriteLog(std::wstring(tag) + program + L" " + GetLastErrorText(), llError);
}

void TVistrelMainForm::Configuration1Click() { OpenWithEditor(IniFileName, L"Configuration1Click: "); }

void TVistrelMainForm::Language1Click() { OpenWithEditor(LanguageFileName, L"Language1Click: "); }

void TVistrelMainForm::ReadMe1Click() { OpenManual(Handle(), ProgramDirectory(), L"ReadMe1Click: "); }

void TVistrelMainForm::Quit1Click() {
    WriteLog(L"Termination Requested", llDebug);
    Application().Terminate();
}

void TVistrelMainForm::UserControlClick(TWinControl* control) {
    const TConfigItem item = CheckedAt(ConfigItems, control->Tag);
    const std::wstring uri = ExpandEnvironmentText(OptionText(item.Options, L"uri"));
    const std::wstring args = OptionText(item.Options, L"args");
    const std::intptr_t result = ShellOpen(NativeShellTarget(uri), args);
    if (result <= 32)
        WriteLog(L"Control Error: uri: " + uri + L" Args: " + args + L" Error: " + std::to_wstring(result), llError);
}

bool IsRegionalSettingsChange(const wchar_t* Area) { return Area && lstrcmpiW(Area, L"intl") == 0; }

std::size_t ReadableBytes(const void* address) {
    MEMORY_BASIC_INFORMATION info{};
    if (!address || VirtualQuery(address, &info, sizeof info) != sizeof info) return 0;
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (info.State != MEM_COMMIT || !(info.Protect & kReadable) || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
        return 0;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    const auto end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    return end > start ? static_cast<std::size_t>(end - start) : 0;
}

bool IsVolumeHeader(const DEV_BROADCAST_HDR* header, const std::function<std::size_t(const void*)>& readable) {
    if (!header || readable(header) < sizeof(DEV_BROADCAST_HDR)) return false;
    // A volume's record is read by the hook beyond the header: its size must cover it.
    const DWORD size = header->dbch_size;
    return header->dbch_devicetype == DBT_DEVTYP_VOLUME && size >= sizeof(DEV_BROADCAST_VOLUME) &&
           readable(header) >= size;
}

void AppException(const std::wstring& senderClass, const std::exception& e) {
    WriteLog(L"Application Exception: Class=" + senderClass + L" " + ExceptionClassName(e) + L", Msg=" +
                 ExceptionMessage(e),
             llError);
    HaltProgram(1);
}

// ---- logo

int LogoDimension(int setting, int imageSize, int formSize, bool loaded) {
    if (!loaded) return 0;
    if (setting == 0) return imageSize;
    if (setting == -1) return formSize;
    if (setting > 0) return setting;
    return 0;
}

int LogoLeft(int formWidth, int logoWidth, int align, int x) {
    if (align == 0) return formWidth / 2 - logoWidth / 2;
    if (align == 1) return formWidth - logoWidth;
    return x;
}

void LoadLogo(TVistrelMainForm* form, const std::wstring& path) {
    form->LogoFile.clear();
    form->LogoImageHeight = 0;
    form->LogoImageWidth = 0;
    if (path.empty()) return;
    std::wstring file = path;
    if (!FileExists(file)) file = ProgramDirectory() + path;
    if (!FileExists(file)) {
        WriteLog(L"LoadLogo: File not found: " + file, llError);
        return;
    }
    try {
        const PixelImage image = LoadPngFile(file);
        form->LogoImageWidth = image.Width;
        form->LogoImageHeight = image.Height;
        form->LogoFile = file;
    } catch (const std::exception& e) {
        WriteLog(L"LoadLogo: " + ExceptionText(e), llError);
    }
}

void SetLogoWidth(TVistrelMainForm* form, int value) { form->LogoWidthSetting = value; }
void SetLogoHeight(TVistrelMainForm* form, int value) { form->LogoHeightSetting = value; }
void SetLogoAlign(TVistrelMainForm* form, int value) { form->LogoAlign = value; }

int GetLogoWidth(TVistrelMainForm* form) {
    return LogoDimension(form->LogoWidthSetting, form->LogoImageWidth, form->Width(), !form->LogoFile.empty());
}

int GetLogoHeight(TVistrelMainForm* form) {
    return LogoDimension(form->LogoHeightSetting, form->LogoImageHeight, form->Height(), !form->LogoFile.empty());
}

int GetLogoAlign(TVistrelMainForm* form) { return form->LogoAlign == 0 || form->LogoAlign == 1 ? form->LogoAlign : -1; }

void DrawLogoImage(TCanvas& canvas, int formWidth, const PixelImage& image, int x, int y, int w, int h, int align) {
    // The image over black, alpha applied; its top-left colour becomes transparent.
    PixelImage over = image;
    for (std::size_t i = 0; i + 3 < over.Pixels.size(); i += 4) {
        const unsigned a = over.HasAlpha ? over.Pixels[i + 3] : 255u;
        for (std::size_t c = 0; c < 3; ++c)
            over.Pixels[i + c] = static_cast<std::uint8_t>(over.Pixels[i + c] * a / 255u);
        over.Pixels[i + 3] = 0;
    }
    TBitmap first;
    first.Assign(over);
    TBitmap second;
    second.SetSize(w, h);
    if (!first.Empty() && !second.Empty())
        TransparentBlt(second.DC(), 0, 0, w, h, first.DC(), 0, 0, first.Width(), first.Height(), first.Pixel(0, 0));
    canvas.FillRect({0, 0, formWidth, y + h});
    const int left = LogoLeft(formWidth, w, align, x);
    if (!second.Empty())
        TransparentBlt(canvas.Handle(), left, y, w, h, second.DC(), 0, 0, w, h, second.Pixel(0, 0));
}

void DrawLogo(TVistrelMainForm* form, int x, int y) {
    try {
        if (form->LogoFile.empty() || !FileExists(form->LogoFile)) return;
        const PixelImage image = LoadPngFile(form->LogoFile);
        DrawLogoImage(form->Canvas(), form->Width(), image, x, y, GetLogoWidth(form), GetLogoHeight(form),
                      form->LogoAlign);
    } catch (const std::exception& e) {
        WriteLog(L"DrawLogo: " + ExceptionText(e), llError);
    }
}

// ---- navigation strip

TNavLayout NavButtonsLayout(int clientWidth, int clientHeight, int nav, int navAlign, int logoHeight,
                            int buttonWidth, int buttonHeight) {
    TNavLayout layout;
    layout.Top = clientHeight - buttonHeight;
    layout.Bottom = clientHeight;
    if (nav == 2) {
        layout.Top = logoHeight;
        layout.Bottom = layout.Top + 24;
    }
    if (navAlign == 0)
        layout.BackLeft = clientWidth / 2 - static_cast<int>(std::nearbyint(1.5 * buttonWidth));
    else if (navAlign == 1)
        layout.BackLeft = clientWidth - 3 * buttonWidth;
    else
        layout.BackLeft = 0;
    return layout;
}

void PlaceNavButtons(TVistrelMainForm* form) {
    if (DisplayMode == dmScreenSaver) Nav = 0;
    TVrShadowButton* buttons[3] = {form->BackButton, form->HomeButton, form->NextButton};
    for (auto* b : buttons) b->Hide();
    if (Nav <= 0) return;
    const TNavLayout layout = NavButtonsLayout(form->ClientWidth(), form->ClientHeight(), Nav, NavAlign,
                                               GetLogoHeight(form), form->BackButton->Width(),
                                               form->BackButton->Height());
    form->BackButton->SetLeft(layout.BackLeft);
    form->HomeButton->SetLeft(form->BackButton->Left() + form->BackButton->Width());
    form->NextButton->SetLeft(form->HomeButton->Left() + form->HomeButton->Width());
    form->Canvas().FillRect({0, layout.Top, form->ClientWidth() + 1, layout.Bottom + 1});
    const TColor colour = DisplayMode == dmWindow ? FormColor : clBlack;
    for (auto* b : buttons) {
        b->SetColor(colour);
        b->SetShadowColor(colour);
        b->SetShadowOutline(colour);
        b->Pen().SetColor(colour);
        b->Font().SetColor(NavColor);
        b->Brush().SetStyle(TBrushStyle::Clear);
        b->SetTop(layout.Top);
        b->Show();
        b->Cursor = crHandPoint;
        b->Repaint();
    }
    form->NavButtonsMoved();
}
