#include "ItemControl.h"

#include <commctrl.h>

namespace {

// The tool record of a control's whole window; the text is copied by the tooltip.
TTTOOLINFOW ToolOf(HWND control, const std::wstring& text) {
    TTTOOLINFOW ti{};
    // The record size every comctl32 version accepts.
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.uFlags = TTF_IDISHWND;
    ti.hwnd = control;
    ti.uId = reinterpret_cast<UINT_PTR>(control);
    ti.lpszText = const_cast<wchar_t*>(text.c_str());
    return ti;
}

void RegisterTooltipClass() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)done;
}

}  // namespace

void TItemControl::SetHint(const std::wstring& hint) {
    if (hint == hint_) return;
    hint_ = hint;
    UpdateTooltip();
}

void TItemControl::SetShowHint(bool show) {
    if (show == showHint_) return;
    showHint_ = show;
    UpdateTooltip();
}

void TItemControl::HandleCreated() {
    TWinControl::HandleCreated();
    UpdateTooltip();
}

void TItemControl::UpdateTooltip() {
    if (!HandleAllocated()) return;
    HWND self = Handle();
    const bool wanted = showHint_ && !hint_.empty();
    if (!wanted) {
        if (toolAdded_) {
            TTTOOLINFOW ti = ToolOf(self, {});
            SendMessageW(tooltip_.get(), TTM_DELTOOL, 0, reinterpret_cast<LPARAM>(&ti));
            toolAdded_ = false;
        }
        return;
    }
    if (!tooltip_.valid()) {
        RegisterTooltipClass();
        // Shown whether or not the window is active: the desktop window never is.
        tooltip_.reset(CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                       WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                                       CW_USEDEFAULT, CW_USEDEFAULT, GetAncestor(self, GA_ROOT), nullptr,
                                       GetModuleHandleW(nullptr), nullptr));
        if (!tooltip_.valid()) return;  // no tooltip: the control works without one
    }
    TTTOOLINFOW ti = ToolOf(self, hint_);
    if (toolAdded_) {
        SendMessageW(tooltip_.get(), TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
    } else {
        toolAdded_ = SendMessageW(tooltip_.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)) != FALSE;
    }
}

void TItemControl::SetVisible(bool visible) {
    // A tip of a control that goes off the window goes with it.
    if (!visible && tooltip_.valid()) SendMessageW(tooltip_.get(), TTM_POP, 0, 0);
    TWinControl::SetVisible(visible);
}

LRESULT TItemControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
    if (toolAdded_ && ((msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST) || msg == WM_MOUSELEAVE)) {
        MSG relayed{};
        relayed.hwnd = Handle();
        relayed.message = msg;
        relayed.wParam = wp;
        relayed.lParam = lp;
        relayed.time = static_cast<DWORD>(GetMessageTime());
        const DWORD pos = GetMessagePos();
        relayed.pt = POINT{static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
        SendMessageW(tooltip_.get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&relayed));
    }
    return TWinControl::WndProc(msg, wp, lp);
}
