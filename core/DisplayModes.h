// The three display modes and the small window routines they rest on: layered windows,
// the desktop backdrop, the screen-saver preview and the text quality switch.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Canvas.h"
#include "DisplayState.h"
#include "WinControls.h"

class TVistrelMainForm;

// The black form over the whole virtual desktop behind the screen saver. It is the saver's
// active (foreground) window: the shell sees a full-screen program in the foreground and
// keeps its taskbar and notifications beneath it, which a strip of a form would not get.
class TBlankForm : public TForm {
public:
    ~TBlankForm() override;
    std::wstring ClassName() const override { return L"TBlankForm"; }

protected:
    // Stays just beneath the application's main form, also when a click activates it;
    // takes the activation back from the main form; raises both forms again when the
    // application is activated or deactivated.
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
};

// The screen saver's two forms at the top of the topmost band, the main form just above
// the black one, neither activated. Nothing in the other modes.
void RaiseScreenSaverForms();

TVistrelMainForm* CreateDesktopForms();
TVistrelMainForm* CreateWindowForm();
TVistrelMainForm* CreateScreenSaverForms();

// Adds WS_EX_LAYERED and sets the key colour or alpha. A platform without layered
// windows ends the program.
void SetLayeredWindow(HWND window, COLORREF key, BYTE alpha, DWORD flags);
// The backdrop's colour and opacity from the transparency percentage.
void SetBackdrop(TColor color, std::int32_t percent);
// 255 - percent * 255 div 100 for 0..100, else the low byte of percent.
BYTE BackdropAlpha(std::int32_t percent);

// One move of the preview icon inside a w x h window: the step reverses at 0 and at
// the far edge (w - 33, h - 33) or beyond, so it stays inside windows of any size.
void BounceStep(int& pos, int& step, int extent);
// Bounces the program icon in the given window until it is no longer a window or
// visible. The wait for it to become visible is bounded.
void RunScreenSaverPreview(HWND window, DWORD visibleWaitMs = 10000);

// Antialiased (default quality) or plain text for the canvas font; the font it replaces
// is deleted.
void SetFontQuality(TCanvas& canvas, bool antialiased);

// The screen-saver settings dialog passes "/c:NNNN" and the preview "/p:NNNN" as well as
// "/p NNNN": the colon forms are split into the switch and its argument.
std::vector<std::wstring> NormalizeScreenSaverArguments(const std::vector<std::wstring>& args);
// The window handle that follows the p switch: -1 when it is missing or not a number.
// Returns false when no argument follows the switch.
bool PreviewWindowArgument(const std::vector<std::wstring>& args, std::intptr_t& handle);

// The display mode the switches choose: f, s, p, c in that order (the first present
// wins); 'd' for none (desktop).
char ChooseModeSwitch();
