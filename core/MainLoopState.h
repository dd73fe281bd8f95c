// The flags that drive the window thread's tick: set by window messages, watchers and
// the menu, read and cleared by the tick, the reload, the relayout and painting. Window
// thread only.
#pragma once

#include <cstdint>

// A painting pass is running (set and cleared by painting).
extern std::uint8_t Updating;
// CheckIniFile is running (re-entry guard).
extern std::uint8_t Reloading;
// The next tick reloads the configuration.
extern std::uint8_t ReloadPending;
// The next tick lays the window out again; cleared at the end of each painting pass,
// unless the shown page changed while the pass ran.
extern std::uint8_t RelayoutPending;
// The next tick checks the fixed drives: set at the start, by each reload and by device
// and volume notices; cleared by the check.
extern std::uint8_t DriveCheckPending;
// CurrentPage lives with the collection thread's hooks (Collector.h).
