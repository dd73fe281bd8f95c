// The display pass: every active, visible item of the current page drawn onto the main
// window, with bar meters, line charts and user controls placed.
#pragma once

#include <cstdint>

void UpdateEntries(std::uint8_t Unused = 0);
// The client height the current page needs.
int GetContentHeight();
