// The common base of the user controls of CONTROL items (the colour button and the link
// text): a child window of the main form, made hidden; painting shows it where its item
// is drawn and takes it off the window (hides it) when its item is not drawn. Its hint
// (the item's target) shows in a standard tooltip while the pointer rests on it.
#pragma once

#include <windows.h>

#include <string>

#include "WinControls.h"
#include "WinHandles.h"

class TItemControl : public TWinControl {
public:
    explicit TItemControl(TWinControl* parent) : TWinControl(parent) {}
    std::wstring ClassName() const override { return L"TItemControl"; }

    const std::wstring& Hint() const { return hint_; }
    // An empty hint shows no tooltip.
    void SetHint(const std::wstring& hint);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool show);
    // The tooltip window, made with the control's window once there is a hint to show.
    HWND TooltipWindow() const { return tooltip_.get(); }

    void SetVisible(bool visible) override;

protected:
    void HandleCreated() override;
    // Mouse messages also go to the tooltip, which decides when to show and hide.
    LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
    void UpdateTooltip();

    std::wstring hint_;
    bool showHint_ = false;
    bool toolAdded_ = false;
    UniqueWindow tooltip_;
};
