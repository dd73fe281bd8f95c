// Measures text the way the display draws it (DrawTextW), on a memory device context of
// its own, so line heights are known without a window (and without a display).
#pragma once

#include <cstdint>
#include <string>

// Height in pixels of Text drawn in the font FontFace at FontSize points (at the
// screen's vertical resolution) with Style bits 1 bold, 2 italic, 4 underline, as
// DrawTextW with DT_CALCRECT on an empty rectangle reports it ("&" is drawn as itself).
// Raises EOSError when the platform cannot give a device context or the font.
int MeasureTextHeight(const std::wstring& Text, const std::wstring& FontFace, std::int32_t FontSize,
                      std::uint8_t Style = 0);
