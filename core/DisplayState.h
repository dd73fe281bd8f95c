// The display mode chosen at start and the forms it made. The mode's start-up
// (DisplayModes) sets them; the main form and the units that draw on it read them.
#pragma once

#include <cstdint>

class TForm;
class TVistrelMainForm;

enum : std::uint8_t { dmDesktop = 0, dmWindow = 1, dmScreenSaver = 2 };
// Set once at start by the chosen mode.
extern std::uint8_t DisplayMode;
extern TVistrelMainForm* MainForm;
// Present only in desktop mode.
extern TForm* BackdropForm;
