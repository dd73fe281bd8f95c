// The common base of the user controls of CONTROL items (the colour button and the link
// text): a child window of the main form, made hidden; painting shows it where its item
// is drawn and hides it when the item's page is not shown.
#pragma once

#include <string>

#include "WinControls.h"

class TItemControl : public TWinControl {
public:
    explicit TItemControl(TWinControl* parent) : TWinControl(parent) {}
    std::wstring ClassName() const override { return L"TItemControl"; }
    std::wstring Hint;      // the item's target
    bool ShowHint = false;
};
