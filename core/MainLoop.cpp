// The tick, the reload, the relayout, the configuration watchers and the hooks. All of
// it runs on the window thread.
#include "MainLoop.h"

#include <memory>

#include "ChangeNotify2.h"
#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Includes.h"
#include "ItemLines.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "Painting.h"
#include "Templates.h"
#include "Utils.h"
#include "WinApp.h"
#include "WindowPlacement.h"

TChangeNotify2* IniFileNotify = nullptr;
TChangeNotify2* LanguageFileNotify = nullptr;

bool (*RefreshDriveListHook)(bool IncludeAll) = nullptr;
void (*StopStatisticsProgramHook)() = nullptr;
void (*SignalStatisticsProgramEndHook)() = nullptr;

namespace {

// Ticks since the last check of the fixed drives. Drives that come and go announce
// themselves by device notices, which ask for a check at the next tick; this slower
// round catches those that do not. (Listing the drives is dear under Wine: some thirty
// server round trips each time.)
constexpr int kDriveCheckTicks = 30;
int ticksSinceDriveCheck = 0;

bool DriveCheckDue() {
    if (!DriveCheckPending && ++ticksSinceDriveCheck < kDriveCheckTicks) return false;
    DriveCheckPending = 0;
    ticksSinceDriveCheck = 0;
    return true;
}

// The watchers are owned here; the globals above only point at them.
std::unique_ptr<TChangeNotify2> iniWatcher;
std::unique_ptr<TChangeNotify2> languageWatcher;

bool OptionBool(const TItemOptionArray& options, const wchar_t* name) {
    try {
        return GetItemOption(options, name, Variant(false)).ToBool();
    } catch (const std::exception&) {
        return false;  // a value that is no boolean reads as false
    }
}

void HideNavButtons() {
    if (!MainForm) return;
    // Hiding a hidden button changes nothing, so a steady layout makes no repaint.
    for (TVrShadowButton* b : {MainForm->BackButton, MainForm->HomeButton, MainForm->NextButton})
        if (b) b->Hide();
}

std::unique_ptr<TChangeNotify2> MakeIniWatcher(const std::wstring& path) {
    auto watcher = std::make_unique<TChangeNotify2>(true);
    watcher->SetFileName(path);
    watcher->Flags = cnLastWrite;
    watcher->Interval = IniMonitorTime;
    watcher->OnChangeProc = IniChangedHook;
    watcher->NotifyOnStart = false;
    return watcher;
}

// Step 9 to 19 of a reload, on the window thread.
void LoadConfiguration() {
    LoadIniFile();
    LoadItems(MainForm);
    // Sets LanguageFilePath: the menu and the watcher use the file it loaded.
    LoadLanguageFile();
    if (ConfigItems.empty()) LoadFallbackItem();

    if (MainForm) {
        LoadLogo(MainForm, Logo);
        SetLogoWidth(MainForm, LogoWidth);
        SetLogoHeight(MainForm, LogoHeight);
        SetLogoAlign(MainForm, LogoAlign);
        MainForm->PopupAllowed = ContextMenu;
        for (int i = 0; i < kPageEntryCount; ++i) {
            TMenuItem& entry = MainForm->PopupMenu1.Items(kFirstPageEntry + i);
            const std::wstring& name = PageNames.at(static_cast<std::size_t>(i) + 1);
            entry.Visible = !name.empty();
            entry.Caption = name;
        }
    }
    SetupWatches();
    if (MainForm) {
        MainForm->IniFileName = MainIniPath;
        MainForm->LanguageFileName = LanguageFilePath;
        MainForm->PopupMenu1.Items(kLanguageEntry).Enabled = !LanguageFilePath.empty();
    }
    StartCollector();
    if (CurrentPage == -1) {
        // Later reloads keep the page shown.
        CurrentPage = InitialPageToShow(InitialPage);
        if (MainForm) MainForm->PopupMenu1.SetChecked(kFirstPageEntry + CurrentPage - 1, true);
    }
}

}  // namespace

TMainLoopSteps DefaultMainLoopSteps() {
    TMainLoopSteps s;
    s.CheckDriveList = [](bool includeAll) { return RefreshDriveListHook ? RefreshDriveListHook(includeAll) : false; };
    s.CheckIniFile = [] { CheckIniFile(); };
    s.PlaceWindow = [] { PlaceWindow(); };
    s.DrawLogo = [] {
        if (MainForm) DrawLogo(MainForm, 0, 0);
    };
    s.PlaceNavButtons = [] {
        if (MainForm) PlaceNavButtons(MainForm);
    };
    s.HideNavButtons = [] { HideNavButtons(); };
    s.ResetCollectTimes = [] { ResetCollectTimes(); };
    s.UpdateEntries = [] { UpdateEntries(); };
    s.EnableIniWatchers = [](bool enable) { EnableIniWatchers(enable); };
    return s;
}

TMainLoopSteps MainLoopSteps = DefaultMainLoopSteps();

std::int32_t InitialPageToShow(std::int32_t InitialPage) {
    return InitialPage >= 1 && InitialPage <= kPageEntryCount ? InitialPage : 1;
}

void Tick() {
    // A tick that arrives while a reload serves messages would lay out and paint a
    // configuration that is half loaded.
    if (Updating || Reloading) return;
    // The results the collection thread left since the last tick, for this tick's pass.
    DeliverCollectedItems();
    // The drive list behind the disk instances follows the drives while any disk item is
    // shown, whichever line it is on.
    const TConfigItem* disk = FirstActiveItem("FIXEDDISK");
    if (disk && MainLoopSteps.CheckDriveList && DriveCheckDue() &&
        MainLoopSteps.CheckDriveList(OptionBool(disk->Options, L"include-all")))
        ReloadPending = 1;
    if (ReloadPending) DoReload();
    if (RelayoutPending) Relayout();
    MainLoopSteps.UpdateEntries();
}

void DoReload() {
    if (Updating) return;
    MainLoopSteps.CheckIniFile();
    RelayoutPending = 1;
    ReloadPending = 0;
    DriveCheckPending = 1;  // the new configuration starts from the drives as they are now
}

void CheckIniFile() {
    if (Reloading) return;
    Reloading = 1;
    WriteLog(L"CheckIniFile", llDebug);
    Application().ProcessMessages();
    if (!WindowDragged) FormLeft = FormRight = FormTop = FormBottom = -1;
    StopCollector();
    EnableIniWatchers(false);
    if (StopStatisticsProgramHook) StopStatisticsProgramHook();
    ResetOptions();
    // Whatever happens from here on, the watchers run again and the guard is cleared.
    const auto finish = [] {
        Reloading = 0;
        RenewLanguageWatcher();
        EnableIniWatchers(true);
    };
    try {
        LoadConfiguration();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void Relayout() {
    if (Updating) return;
    WriteLog(L"Relayout", llDebug);
    const auto finish = [] {
        if (DisplayMode != dmScreenSaver) MainLoopSteps.EnableIniWatchers(true);
    };
    try {
        MainLoopSteps.PlaceWindow();
        MainLoopSteps.DrawLogo();
        if (Nav == 2) MainLoopSteps.PlaceNavButtons();
        else if (Nav != 1) MainLoopSteps.HideNavButtons();  // buttons of an earlier nav setting go
        MainLoopSteps.ResetCollectTimes();
        MainLoopSteps.UpdateEntries();
        if (Nav == 1) MainLoopSteps.PlaceNavButtons();  // below the entries just laid out
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void EnableIniWatchers(bool Enable) {
    if (Enable) {
        if (!iniWatcher) {
            iniWatcher = MakeIniWatcher(MainIniPath);
            IniFileNotify = iniWatcher.get();
        }
        if (iniWatcher->Paused()) iniWatcher->Resume();
        if (languageWatcher && languageWatcher->Paused()) languageWatcher->Resume();
    } else {
        // Each keeps its last seen state and only waits until it is resumed.
        if (iniWatcher) iniWatcher->Pause();
        if (languageWatcher) languageWatcher->Pause();
    }
}

void RenewLanguageWatcher() {
    const bool wanted = !LanguageFilePath.empty() && FileExists(LanguageFilePath);
    // A watcher of the same file stays, with the state it saw before the reload: a change
    // made while the reload ran is still reported.
    if (wanted && languageWatcher && languageWatcher->FileName() == LanguageFilePath) return;
    LanguageFileNotify = nullptr;
    TChangeNotify2::Free(std::move(languageWatcher));  // waits for its thread, within a bound
    if (!wanted) return;
    // Started by the next EnableIniWatchers (true).
    languageWatcher = MakeIniWatcher(LanguageFilePath);
    LanguageFileNotify = languageWatcher.get();
}

void FreeIniWatchers() {
    IniFileNotify = nullptr;
    LanguageFileNotify = nullptr;
    std::vector<std::unique_ptr<TChangeNotify2>> watchers;
    watchers.push_back(std::move(iniWatcher));
    watchers.push_back(std::move(languageWatcher));
    TChangeNotify2::FreeAll(std::move(watchers));
}

void ResetCollectTimes() {
    for (TConfigItem& item : ConfigItems) item.LastTick = 0;
    // Also what the collection thread still holds, collected or copied before the reset.
    CollectTimesReset();
}

void TimerHook() { Tick(); }

void PaintHook() { RelayoutPending = 1; }

void SettingsChangedHook(TVistrelMainForm*) { ReloadPending = 1; }

void DevicesChangedHook() {
    ReloadPending = 1;
    DriveCheckPending = 1;
}

void VolumeChangedHook(TVistrelMainForm*, PDEV_BROADCAST_HDR, UINT) {
    DriveCheckPending = 1;
    for (const TConfigItem& item : ConfigItems)
        if (item.Keyword == "FIXEDDISK") {
            ReloadPending = 1;
            return;
        }
}

void PageHook(TVistrelMainForm*, int MenuIndex) {
    if (MenuIndex + 1 == CurrentPage) return;
    CurrentPage = MenuIndex + 1;
    // The next tick's relayout resets the collection times, which hands the collection
    // thread the new page's items and wakes it.
    RelayoutPending = 1;
}

void WindowMovedHook(TVistrelMainForm* Form) {
    if (!Form) return;
    int left = Form->Left(), top = Form->Top();
    RECT r{};
    if (Form->HandleAllocated() && GetWindowRect(Form->Handle(), &r)) {
        left = r.left;
        top = r.top;
    }
    FormTop = top;
    FormLeft = left;
    WindowDragged = true;
}

void IniChangedHook(TChangeNotify2*) { ReloadPending = 1; }

void CollectorResultsWaiting() {
    // Posted by the collection thread; once the program is ending, a message loop that
    // still dispatches it must not run a tick over items being freed.
    if (Application().Terminated()) return;
    try {
        Tick();
    } catch (...) {
        Application().HandleException(L"TApplication");
    }
}

DWORD ServeWindowWhileCollectorStops() {
    // A reload's guard keeps the ticks out: the window takes all its messages. Once the
    // program ends, only its repaints, and the wait wakes for nothing else.
    if (Reloading && !Application().Terminated()) {
        Application().ProcessMessages();
        return QS_ALLINPUT;
    }
    return ServeRepaints();
}

DWORD ServeRepaints() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) {
        // A filtered look also takes a waiting quit request: it goes back to the queue
        // for the message loop that waits for it.
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        DispatchMessageW(&msg);
    }
    return QS_PAINT;
}

void InstallMainLoopHooks(TVistrelMainForm* Form) {
    Form->OnPaintProc = PaintHook;
    Form->OnTimer1Proc = TimerHook;
    Form->OnWindowMovedProc = WindowMovedHook;
    Form->OnDeviceConfigProc = DevicesChangedHook;
    Form->OnVolumeChangeProc = VolumeChangedHook;
    Form->OnSettingChangeProc = SettingsChangedHook;
    Form->OnDisplayChangeProc = SettingsChangedHook;
    Form->OnPageChangeProc = PageHook;
    CollectorResultsHook = CollectorResultsWaiting;
    CollectorStopServeHook = ServeWindowWhileCollectorStops;
    TChangeNotify2::ServeWhileFreeing = ServeRepaints;
}

void StartMainLoop(TVistrelMainForm* Form) {
    InstallMainLoopHooks(Form);
    ReloadPending = 1;
    PostMessageW(Form->Handle(), WM_TIMER, kTimer1, 0);
}
