// A popup-menu model: entries with caption, visibility, enabled and checked state and
// radio groups, rebuilt into a native menu each time it pops up.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct TMenuItem {
    std::wstring Name;
    std::wstring Caption;  // "-" is a separator
    bool Visible = true;
    bool Enabled = true;
    bool Checked = false;
    bool RadioItem = false;
    int GroupIndex = 0;
    int MenuIndex = 0;  // position in the menu, from 0
    std::function<void(TMenuItem& item)> OnClick;
    bool IsSeparator() const { return Caption == L"-"; }
};

class TPopupMenu {
public:
    TMenuItem& Add(const std::wstring& name, const std::wstring& caption,
                   std::function<void(TMenuItem&)> onClick = nullptr);
    int Count() const { return static_cast<int>(items_.size()); }
    // Raises ERangeError for an index outside the menu.
    TMenuItem& Items(int index);
    TMenuItem* Find(const std::wstring& name);
    // Checking a radio item clears the other radio items of its group.
    void SetChecked(int index, bool checked);
    bool AutoPopup = true;

    // Shows the visible entries at a screen point, owned by a window, and runs the
    // chosen entry's click. Returns the chosen entry's index, or -1.
    int Popup(HWND owner, int x, int y);

    // The native menu for the current entries: command id = index + 1.
    HMENU BuildNativeMenu() const;

private:
    std::vector<TMenuItem> items_;
};
