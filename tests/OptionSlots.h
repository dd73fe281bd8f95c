// Reading an item's option slots back in tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ItemTypes.h"
#include "Templates.h"

// The option's text, or "<absent>".
inline std::wstring Opt(const TItemOptionArray& options, const std::wstring& name) {
    return GetItemOption(options, name, Variant(L"<absent>")).ToText();
}

// The used slots as (name, value) pairs, in slot order.
inline std::vector<std::pair<std::wstring, std::wstring>> Slots(const TItemOptionArray& options) {
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const auto& slot : options)
        if (!slot.Name.empty() || !slot.Value.IsEmpty()) out.emplace_back(slot.Name, slot.Value.ToText());
    return out;
}
