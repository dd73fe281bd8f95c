// The display pass: every active, visible item of the current page drawn onto the main
// window, with bar meters, line charts and user controls placed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "ItemTypes.h"
#include "WindowPlacement.h"

class TVistrelMainForm;

void UpdateEntries(std::uint8_t Unused = 0);

// x of the value column of the item being drawn: 5 + KeyColumnWidth + 5.
extern std::int32_t ValueColumnX;

constexpr int kPaintMargin = 5;  // left and right margin; the key column starts here

// Measures Text with the main window's canvas font (DrawTextW, DT_CALCRECT, "&" shown
// as itself); Width is the right edge, the result the height.
int GetTextWidth(const std::wstring& Text, int& Width);

// The three rectangles one text line is drawn into: the gap before the text, the text
// box and the gap after it, each from Y to Y + Pitch. Column 0 is the whole width, 1 the
// key column (moved by XOffset), 2 the value column starting at ValueX.
struct TColumnRects {
    RECT GapBefore{}, TextBox{}, GapAfter{};
};
TColumnRects ColumnRects(int Column, bool RightToLeft, int TextWidth, int ClientWidth, int ValueX, int XOffset,
                         int Y, int Pitch);

// The pass draws the item on the page: it is active, not hidden and on that page.
bool ItemDrawnOnPage(const TConfigItem& Item, int Page);

// A FILE2TEXT line: the key before the first "=", the value after it; a line without
// "=" is all value.
void SplitKeyValue(const std::wstring& Line, std::wstring& Key, std::wstring& Value);

// Places the user control of a CONTROL item on the line at Top between Left and Right.
// The small-items providers fill it at start (SetupUserControl); unset, a CONTROL line
// shows its label and an empty value column only.
using TSetupUserControlHook = void (*)(TConfigItem& Item, TVistrelMainForm* Form, int Top, int Left, int Right,
                                       bool RightToLeft);
extern TSetupUserControlHook SetupUserControlHook;
