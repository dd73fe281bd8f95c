#include "PopupMenu.h"

#include "Errors.h"
#include "WinHandles.h"

namespace {
inline void DestroyMenuHandle(HMENU m) { DestroyMenu(m); }
using UniqueMenu = UniqueResource<HMENU, DestroyMenuHandle>;
}  // namespace

TMenuItem& TPopupMenu::Add(const std::wstring& name, const std::wstring& caption,
                           std::function<void(TMenuItem&)> onClick) {
    TMenuItem item;
    item.Name = name;
    item.Caption = caption;
    item.MenuIndex = Count();
    item.OnClick = std::move(onClick);
    items_.push_back(std::move(item));
    return items_.back();
}

TMenuItem& TPopupMenu::Items(int index) {
    if (index < 0 || index >= Count()) throw ERangeError(L"Menu index out of bounds (" + std::to_wstring(index) + L")");
    return items_[static_cast<std::size_t>(index)];
}

TMenuItem* TPopupMenu::Find(const std::wstring& name) {
    for (auto& item : items_)
        if (item.Name == name) return &item;
    return nullptr;
}

void TPopupMenu::SetChecked(int index, bool checked) {
    TMenuItem& item = Items(index);
    item.Checked = checked;
    if (!checked || !item.RadioItem) return;
    for (auto& other : items_)
        if (&other != &item && other.RadioItem && other.GroupIndex == item.GroupIndex) other.Checked = false;
}

HMENU TPopupMenu::BuildNativeMenu() const {
    UniqueMenu menu(CreatePopupMenu());
    if (!menu.valid()) RaiseLastOSError(L"CreatePopupMenu");
    UINT position = 0;
    for (const auto& item : items_) {
        if (!item.Visible) continue;
        MENUITEMINFOW mi{};
        mi.cbSize = sizeof mi;
        mi.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
        mi.wID = static_cast<UINT>(item.MenuIndex + 1);
        std::wstring caption = item.Caption;
        if (item.IsSeparator()) {
            mi.fMask = MIIM_FTYPE | MIIM_ID;
            mi.fType = MFT_SEPARATOR;
        } else {
            mi.fType = MFT_STRING | (item.RadioItem ? MFT_RADIOCHECK : 0u);
            mi.fState = (item.Checked ? MFS_CHECKED : 0u) | (item.Enabled ? 0u : MFS_DISABLED);
            mi.dwTypeData = caption.data();
            mi.cch = static_cast<UINT>(caption.size());
        }
        if (!InsertMenuItemW(menu.get(), position++, TRUE, &mi)) RaiseLastOSError(L"InsertMenuItem");
    }
    return menu.release();
}

int TPopupMenu::Popup(HWND owner, int x, int y) {
    UniqueMenu menu(BuildNativeMenu());
    // The owner must be the foreground window, or the menu does not close when the user
    // clicks elsewhere.
    SetForegroundWindow(owner);
    const UINT id = static_cast<UINT>(TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_LEFTALIGN | TPM_RIGHTBUTTON,
                                                     x, y, 0, owner, nullptr));
    PostMessageW(owner, WM_NULL, 0, 0);
    menu.reset();
    if (id == 0 || id > static_cast<UINT>(Count())) return -1;
    const int index = static_cast<int>(id) - 1;
    TMenuItem& item = Items(index);
    if (item.OnClick && item.Enabled && item.Visible) item.OnClick(item);
    return index;
}
