// The window thread's one-second tick, the reload and the relayout, driven by flags
// that window messages, watchers and the menu set.
#pragma once

#include <windows.h>

#include <dbt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ItemTypes.h"

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

class TChangeNotify2;
class TVistrelMainForm;

// Watchers of the main ini file and of the language file (none until the first reload).
extern TChangeNotify2* IniFileNotify;
extern TChangeNotify2* LanguageFileNotify;
// The language file of the last reload, resolved once (as given, else in the program
// folder; empty when neither exists): the loader, the menu and the watcher all use it.
extern std::wstring LanguageFilePath;
std::wstring ResolveLanguageFile(const std::wstring& Language, const std::wstring& ProgramDir);

// The steps that the tick, the reload and the relayout run, replaceable by tests.
struct TMainLoopSteps {
    std::function<bool(bool IncludeAll)> RefreshDriveList;  // true when the fixed drives changed
    std::function<void()> CheckIniFile;
    std::function<void()> PlaceWindow;
    std::function<void()> DrawLogo;
    std::function<void()> PlaceNavButtons;
    std::function<void()> HideNavButtons;
    std::function<void()> ResetCollectTimes;
    std::function<void()> UpdateEntries;
    std::function<void(bool Enable)> EnableIniWatchers;
};
// The real steps.
TMainLoopSteps DefaultMainLoopSteps();
extern TMainLoopSteps MainLoopSteps;

// Seams for units that come later; each is called only when set.
// The drive list of the fixed-disk items; true when it changed.
extern bool (*RefreshDriveListHook)(bool IncludeAll);
// Before a reload: the shared-area client empties its monitor slots, tells the
// statistics program to end and closes the areas (it is started again on demand).
extern void (*StopStatisticsProgramHook)();

// One file watch or registry watch that SetupWatches asks for.
struct TFileWatchEntry {
    std::wstring Name;
    std::wstring FileName;  // the option file, variables not expanded
    std::uint32_t ItemId = 0;  // the item's LineCrc
    std::int32_t Interval = 0;
    std::wstring WatchType;
};
struct TRegWatchEntry {
    std::wstring Name;
    std::wstring Key;
    bool SubTree = false;
};
std::vector<TFileWatchEntry> FileWatchEntries(const TConfigArray& Items);
std::vector<TRegWatchEntry> RegWatchEntries(const TConfigArray& Items);
// The watch lists: rebuilt whole by SetupWatches. Until the watch units exist these
// hooks are empty and the lists stay empty.
extern void (*RebuildFileWatchesHook)(const std::vector<TFileWatchEntry>& Entries);
extern void (*RebuildRegWatchesHook)(const std::vector<TRegWatchEntry>& Entries);

// A file watch as SyncFileWatches sees it.
struct TFileWatchName {
    std::uint32_t ItemId = 0;
    std::wstring FileName;
};
struct TFileWatchRename {
    std::size_t Index = 0;  // into the watch list
    std::wstring FileName;
};
// The renames that bring the watches' file names in line with their items' expanded
// option file: items from the last to the first, watches from the last to the first.
std::vector<TFileWatchRename> FileWatchRenames(const TConfigArray& Items, const std::vector<TFileWatchName>& Watches,
                                               const std::function<std::wstring(const std::wstring&)>& Expand);
// The file watch list's seam for SyncFileWatches (empty until the file watches exist);
// a rename also clears the watch's changed flag.
extern std::vector<TFileWatchName> (*ListFileWatchesHook)();
extern void (*RenameFileWatchHook)(std::size_t Index, const std::wstring& FileName);

// The hooks the main program installs on the main form.
void TimerHook();
void PaintHook();
void SettingsChangedHook(TVistrelMainForm* Form);
void DevicesChangedHook();
void VolumeChangedHook(TVistrelMainForm* Form, PDEV_BROADCAST_HDR Header, UINT Event);
void PageHook(TVistrelMainForm* Form, int MenuIndex);
void WindowMovedHook(TVistrelMainForm* Form);
// The configuration watchers' change procedure.
void IniChangedHook(TChangeNotify2* Sender);
// Fills the form's hook fields with the procedures above (the timer-2 hook stays empty).
void InstallMainLoopHooks(TVistrelMainForm* Form);
// Frees the main-ini watcher, then the language watcher, each waiting for its thread.
void FreeIniWatchers();
// The page a load shows first: initial-page when it is 1..9, else page 1.
std::int32_t InitialPageToShow(std::int32_t InitialPage);
