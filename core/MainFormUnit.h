// The main window: a borderless form on which the items are painted, with the
// right-click menu, three page-navigation buttons, the logo and the window messages that
// matter to the main loop. Every message of interest calls a hook that the main program
// fills; a hook runs only when set and while the application is not terminating.
#pragma once

#include <windows.h>

#include <dbt.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>

#include "ImageFiles.h"
#include "PopupMenu.h"
#include "VrButtons.h"
#include "WinControls.h"

class TVistrelMainForm;

// Menu entries by index.
enum : int { kFirstPageEntry = 0, kPageEntryCount = 9, kRefreshEntry = 10, kConfigurationEntry = 11,
             kLanguageEntry = 12, kManualEntry = 13, kQuitEntry = 14 };
// Navigation button tags.
enum : int { kNavBack = 0, kNavHome = 1, kNavNext = 2 };
constexpr int kNavButtonWidth = 32, kNavButtonHeight = 24;
constexpr UINT_PTR kTimer1 = 1, kTimer2 = 2;

class TVistrelMainForm : public TForm {
public:
    TVistrelMainForm();
    ~TVistrelMainForm() override;
    std::wstring ClassName() const override { return L"TVistrelMainForm"; }

    TPopupMenu PopupMenu1;

    bool PopupAllowed = true;
    std::function<void(TVistrelMainForm* form)> OnWindowMovedProc;
    std::function<void()> OnDeviceConfigProc;
    std::function<void(TVistrelMainForm* form, PDEV_BROADCAST_HDR header, UINT event)> OnVolumeChangeProc;
    std::function<void(TVistrelMainForm* form)> OnSettingChangeProc;
    std::function<void(TVistrelMainForm* form)> OnDisplayChangeProc;
    std::wstring LogoFile;  // empty when no logo is loaded
    std::int32_t LogoWidthSetting = 0;
    std::int32_t LogoHeightSetting = 0;
    std::int32_t LogoImageHeight = 0;
    std::int32_t LogoImageWidth = 0;
    std::int32_t LogoAlign = 0;
    std::int32_t MouseMoveCount = 0;
    TVrShadowButton* BackButton = nullptr;
    TVrShadowButton* HomeButton = nullptr;
    TVrShadowButton* NextButton = nullptr;
    std::function<void()> OnPaintProc;
    std::function<void()> OnTimer1Proc;
    std::function<void()> OnTimer2Proc;  // never filled
    std::wstring IniFileName;
    std::wstring LanguageFileName;
    std::function<void(TVistrelMainForm* form, int menuIndex)> OnPageChangeProc;

    // Menu and button actions.
    void PageClick(TMenuItem& item);
    void NavButtonClick(TWinControl* button);
    // Highlights the given button, or with none the button under the mouse cursor.
    void HighlightNavButton(TWinControl* control);
    // Whether the timer looks for the button under the cursor: while a button is
    // highlighted, and after the buttons or the form moved (a resting cursor may then be
    // over a button). Otherwise the cursor can only reach a button by moving, and that
    // highlights it. Asking for the cursor costs a round trip to the display server.
    bool NavHighlightCheckDue() const { return navHighlightCheck_; }
    // The buttons were placed again.
    void NavButtonsMoved() { navHighlightCheck_ = true; }
    void NavButtonMouseMove(TWinControl* button);
    void NavButtonMouseDown(TWinControl* button, TMouseButton mb, unsigned shift, int x, int y);
    void FormMouseDown(TMouseButton mb, unsigned shift, int x, int y);
    void FormKeyDown(WORD& key, unsigned shift);
    // In screen-saver mode a mouse move at a new position counts; the sixth ends the
    // program. X and Y are client coordinates of this form.
    void FormMouseMove(unsigned shift, int x, int y);
    // The same for a move at a screen position.
    void ScreenSaverMouseMove(POINT screen);
    // Forgets the counted moves and the last position seen.
    void ResetScreenSaverMoves();
    // In screen-saver mode: applies the rules above to a key press or mouse move taken
    // from the queue for any of the program's windows; true when it was one (it is then
    // not dispatched).
    bool ScreenSaverInput(MSG& msg);
    void Refresh1Click();
    void Configuration1Click();
    void Language1Click();
    void ReadMe1Click();
    void Quit1Click();
    // The click of a CONTROL item's button or link; the tag is the item's index.
    void UserControlClick(TWinControl* control);
    // The screen point at a button's bottom-left corner.
    POINT ButtonPopupPoint(TWinControl* button);

protected:
    void CreateParams(TCreateParams& params) override;
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
    void Paint() override;
    void MouseDown(TMouseButton button, unsigned shift, int x, int y) override;
    void MouseMove(unsigned shift, int x, int y) override;
    void KeyDown(WORD& key, unsigned shift) override;

private:
    void FormCreate();
    void FormDestroy();
    TVrShadowButton* CreateNavButton(const wchar_t* caption, int tag, int fontSize);
    void PopupAt(POINT screen);
    void StartWindowDrag();
    void OpenWithEditor(const std::wstring& file, const wchar_t* tag);

    std::array<std::unique_ptr<TVrShadowButton>, 3> navButtons_;
    HDEVNOTIFY deviceNotify_ = nullptr;
    bool navHighlightCheck_ = true;
    std::optional<POINT> lastPointer_;  // the last pointer position a saver move had
};

// Whether a mouse move at Screen is a movement: only when Last holds a position and
// Screen differs from it. Windows sends move messages without any movement whenever a
// window appears, moves or changes size under the resting pointer; the first move seen
// only sets Last. Last becomes Screen.
bool PointerMoved(std::optional<POINT>& Last, POINT Screen);

// Whether a WM_SETTINGCHANGE names the regional settings: its area "intl" (the system
// sends it when the user changes the regional format), in any letter case.
bool IsRegionalSettingsChange(const wchar_t* Area);

// The application's error handler: logs "Application Exception: Class=" with the
// sender's and the exception's class names and the message, then ends the program with
// exit code 1 (the program's ordered end still runs).
void AppException(const std::wstring& senderClass, const std::exception& e);

// How many bytes from Address on can be read (the rest of its committed, readable
// region); 0 for null or memory that cannot be read.
std::size_t ReadableBytes(const void* Address);
// Whether a device-change header names a volume and is whole: readable for its own
// size, which covers a volume's record. Readable answers ReadableBytes (tests give a
// fixture's).
bool IsVolumeHeader(const DEV_BROADCAST_HDR* Header, const std::function<std::size_t(const void*)>& Readable);

// Where Back, Home and Next go from the checked page entry, over the nine page entries'
// visibility. Returns the new entry index, or -1 when no entry is checked.
int NavigationTarget(const std::array<bool, 9>& checked, const std::array<bool, 9>& visible, int tag);

// The logo.
void LoadLogo(TVistrelMainForm* form, const std::wstring& path);
void SetLogoWidth(TVistrelMainForm* form, int value);
void SetLogoHeight(TVistrelMainForm* form, int value);
void SetLogoAlign(TVistrelMainForm* form, int value);
int GetLogoWidth(TVistrelMainForm* form);
int GetLogoHeight(TVistrelMainForm* form);
int GetLogoAlign(TVistrelMainForm* form);
void DrawLogo(TVistrelMainForm* form, int x, int y);
// A logo dimension: setting 0 the image's own, -1 the form's, > 0 itself, other
// negatives 0; always 0 when no logo is loaded.
int LogoDimension(int setting, int imageSize, int formSize, bool loaded);
// The logo's left edge: centred (0), right (1), else at x.
int LogoLeft(int formWidth, int logoWidth, int align, int x);
// Draws an image as the logo onto a canvas: composited over black, its top-left colour
// transparent, stretched to w x h at (left, y) after filling (0, 0)-(formWidth, y + h)
// with the canvas brush.
void DrawLogoImage(TCanvas& canvas, int formWidth, const PixelImage& image, int x, int y, int w, int h, int align);

// The navigation strip.
struct TNavLayout {
    int Top = 0;
    int Bottom = 0;  // lower edge of the strip
    int BackLeft = 0;
};
TNavLayout NavButtonsLayout(int clientWidth, int clientHeight, int nav, int navAlign, int logoHeight,
                            int buttonWidth, int buttonHeight);
void PlaceNavButtons(TVistrelMainForm* form);
