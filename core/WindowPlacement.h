// Where the main window stands and how large it is: the display area from the monitor
// options, the position from "left", "right", "top", "bottom", "centerh" and "centerv",
// clamped into the area, and the width of the key column. The decisions are plain
// functions of values; PlaceWindow gathers the screen facts and applies the result.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ItemTypes.h"

// Written by PlaceWindow (window thread).
extern RECT DisplayArea;
extern std::int32_t WindowLeft, WindowTop;
extern std::int32_t WindowRight, WindowBottom;  // the options "right" and "bottom" (-1: not given)
extern std::int32_t KeyColumnWidth;

// Below this a screen-saver window cannot show a label and a value side by side.
constexpr int kMinScreenSaverWidth = 300;
constexpr int kDefaultWindowWidth = 400;

struct TMonitorRect {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

struct TScreenFacts {
    RECT VirtualScreen{};                // origin and extent of the virtual screen
    std::optional<RECT> WorkArea;        // the primary work area; none when the call failed
    std::vector<TMonitorRect> Monitors;  // in the order the system enumerates them
};

// Adds the next monitor the system enumerates (its whole rectangle) to Monitors: monitor
// n is the n-th one enumerated.
void AddEnumeratedMonitor(std::vector<TMonitorRect>& Monitors, const MONITORINFO& Info);

// The area for "monitor-mode" and "monitor-num": 1 the virtual screen; 0 with monitor 0
// the primary work area; 0 with monitor n the whole monitor n, where a number that is
// not a monitor (negative, or not below the count) becomes 0 in MonitorNum and monitor 0
// is used. Anything that cannot be answered keeps Previous.
RECT ChooseDisplayArea(int MonitorMode, std::int32_t& MonitorNum, const TScreenFacts& Facts, const RECT& Previous);

struct TPlacementOptions {
    int Left = -1, Right = -1, Top = -1, Bottom = -1;
    int Width = -1;
    bool CenterH = false, CenterV = false;
    bool ScreenSaver = false;
};

struct TPlacement {
    int WindowLeft = 0, WindowTop = 0;
    int WindowRight = -1, WindowBottom = -1;
    int Width = kDefaultWindowWidth;  // the client width, also written back to "width"
};

// Left and top of a window of ContentHeight in Area (see the header comment); with no
// position options at all the window stands in the top right corner. A window larger
// than the area is aligned to its right or bottom edge.
TPlacement ComputePlacement(const TPlacementOptions& Options, const RECT& Area, int ContentHeight);

// "column1width" when it is above -1; else the widest label (WidthOf(index)) of the
// active, shown items that are neither COMMENT nor FILECONTENTS2, 0 when there is none;
// Current when there are no items.
int ComputeKeyColumnWidth(int Column1Width, const TConfigArray& Items, const std::function<int(int)>& WidthOf,
                          int Current);

constexpr int kNavStripHeight = 24;

// The pixels one text line of the item takes: its LineHeight plus the line spacing.
int LinePitch(const TConfigItem& Item, int LineSpacing);
// The content height of Page over Items: LogoHeight, one pitch per line (one for a
// COMMENT), two more for a line chart, and the navigation strip when Nav > 0.
int ContentHeightOf(const TConfigArray& Items, int Page, int LogoHeight, int Nav, int LineSpacing);
// The client height the current page needs.
int GetContentHeight();

// The label width of item Index in its own font, plus 4; 0 outside ConfigItems.
int GetKeyTextWidth(int Index);

// Takes an item's user control off the main window; painting puts it back where its
// item is drawn. The default, HideItemControl, hides it.
using TDetachControlHook = void (*)(TItemControl* Control);
extern TDetachControlHook DetachItemControlHook;
void HideItemControl(TItemControl* Control);

// Places, sizes and colours the main window (MainForm) from the options.
void PlaceWindow();
