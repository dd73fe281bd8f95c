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
#include "ItemWatches.h"
#include "MainLoopState.h"

void Tick();
void DoReload();
void CheckIniFile();
void Relayout();
// Resumes (true) or pauses (false) the configuration watchers; the main-ini watcher is
// made at the first resume and lives for the whole run.
void EnableIniWatchers(bool Enable);
// Once per reload, after the load: the language watcher follows the language file the
// load chose (none when there is no such file); it starts paused.
void RenewLanguageWatcher();
void ResetCollectTimes();

class TChangeNotify2;
class TVistrelMainForm;

// Watchers of the main ini file and of the language file (none until the first reload).
extern TChangeNotify2* IniFileNotify;
extern TChangeNotify2* LanguageFileNotify;

// The steps that the tick, the reload and the relayout run, replaceable by tests.
struct TMainLoopSteps {
    std::function<bool(bool IncludeAll)> CheckDriveList;  // true when the fixed drives changed
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

// Hooks the providers fill at start-up; each is called only when set.
// The drive list of the fixed-disk items; true when it changed.
extern bool (*RefreshDriveListHook)(bool IncludeAll);
// Before a reload: the shared-area client empties its monitor slots, tells the
// statistics program to end and closes the areas (it is started again on demand).
extern void (*StopStatisticsProgramHook)();
// At an end that cannot wait for a gathering routine still running: tells the statistics
// program to end without waiting for anything that routine may hold.
extern void (*SignalStatisticsProgramEndHook)();

// The hooks the main program installs on the main form.
void TimerHook();
void PaintHook();
void SettingsChangedHook(TVistrelMainForm* Form);
void DevicesChangedHook();
void VolumeChangedHook(TVistrelMainForm* Form, PDEV_BROADCAST_HDR Header, UINT Event);
void PageHook(TVistrelMainForm* Form, int MenuIndex);
void WindowMovedHook(TVistrelMainForm* Form);
// Posted by a new collection thread whose first pass left results: a tick now, so they
// are shown without waiting for the timer.
void CollectorResultsWaiting();
// The collection thread's stop serves the window with this while it waits for a routine:
// during a reload every message, once the program ends only the repaints (a serve step of
// WaitServingCalls).
DWORD ServeWindowWhileCollectorStops();
// The watchers' free serves the window with this while it waits for their threads, which
// may come in the middle of a reload's load: the repaints alone.
DWORD ServeRepaints();
// The configuration watchers' change procedure.
void IniChangedHook(TChangeNotify2* Sender);
// Fills the form's hook fields with the procedures above (the timer-2 hook stays empty)
// and the collection thread's results hook.
void InstallMainLoopHooks(TVistrelMainForm* Form);
// Installs the hooks, asks for the first reload and queues the first tick, so the
// configuration is loaded and painted as soon as the message loop runs rather than a
// whole timer period later.
void StartMainLoop(TVistrelMainForm* Form);
// Frees the main-ini watcher and the language watcher, waiting for their threads together.
void FreeIniWatchers();
// The page a load shows first: initial-page when it is 1..9, else page 1.
std::int32_t InitialPageToShow(std::int32_t InitialPage);
