// The window thread's one-second tick, the reload and the relayout, driven by flags
// that window messages, watchers and the menu set.
#pragma once

#include <cstdint>

// A painting pass is running (set and cleared by painting).
extern std::uint8_t Updating;
// CheckIniFile is running (re-entry guard).
extern std::uint8_t Reloading;
// The next tick reloads the configuration.
extern std::uint8_t ReloadPending;
// The next tick lays the window out again; cleared at the end of each painting pass.
extern std::uint8_t RelayoutPending;
// CurrentPage lives with the collection thread's hooks (Collector.h).

void Tick();
void DoReload();
void CheckIniFile();
void Relayout();
void EnableIniWatchers(bool Enable);
void ResetCollectTimes();
void SetupWatches();
// Re-points file watches whose file name changed; every painting pass calls it.
void SyncFileWatches();
