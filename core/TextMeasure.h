// Measures text the way the display draws it (DrawTextW), on a memory device context of
// its own, so line heights are known without a window (and without a display).
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint8_t kDefaultCharset = 1;  // DEFAULT_CHARSET

// Height in pixels of Text drawn in the font FontFace at FontSize points (at the
// screen's vertical resolution) with Style bits 1 bold, 2 italic, 4 underline, as
// DrawTextW with DT_CALCRECT on an empty rectangle reports it ("&" is drawn as itself).
// Charset is the font's character set (the default set unless given): the font mapper
// may choose another face for another set.
// Raises EOSError when the platform cannot give a device context or the font.
int MeasureTextHeight(const std::wstring& Text, const std::wstring& FontFace, std::int32_t FontSize,
                      std::uint8_t Style = 0, std::uint8_t Charset = kDefaultCharset);

// The character set the main window paints with once placement has applied
// "font-charset": that value when it is a character set (0 to 255), else the set the
// window's font has (Current).
std::uint8_t PaintingCharset(std::int32_t FontCharset, std::uint8_t Current);
