#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "ChangeNotify2.h"
#include "Collector.h"
#include "Configuration.h"
#include "DisplayModes.h"
#include "Errors.h"
#include "Includes.h"
#include "ItemLines.h"
#include "Log.h"
#include "MainFormUnit.h"
#include "MainLoop.h"
#include "MainLoopState.h"
#include "TextMeasure.h"
#include "TestFiles.h"
#include "WinApp.h"
#include "Utils.h"
#include "WindowPlacement.h"
#include "WindowTests.h"

namespace {

using Calls = std::vector<std::string>;

// The loop's steps replaced by recorders; the painting step clears the relayout flag as
// the real pass does.
class MainLoopStepsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = MainLoopSteps;
        Updating = Reloading = ReloadPending = RelayoutPending = 0;
        DriveCheckPending = 1;
        savedPage = CurrentPage;
        savedNav = Nav;
        savedMode = DisplayMode;
        ConfigItems.clear();
        MainLoopSteps.CheckDriveList = [this](bool includeAll) {
            calls.push_back(includeAll ? "drives(all)" : "drives");
            return drivesChanged;
        };
        MainLoopSteps.CheckIniFile = [this] { calls.push_back("reload"); };
        MainLoopSteps.PlaceWindow = [this] { calls.push_back("place"); };
        MainLoopSteps.DrawLogo = [this] { calls.push_back("logo"); };
        MainLoopSteps.PlaceNavButtons = [this] { calls.push_back("nav"); };
        MainLoopSteps.HideNavButtons = [this] { calls.push_back("hide-nav"); };
        MainLoopSteps.ResetCollectTimes = [this] { calls.push_back("reset"); };
        MainLoopSteps.UpdateEntries = [this] {
            calls.push_back("paint");
            RelayoutPending = 0;
        };
        MainLoopSteps.EnableIniWatchers = [this](bool on) { calls.push_back(on ? "watch" : "unwatch"); };
    }
    void TearDown() override {
        MainLoopSteps = saved;
        Updating = Reloading = ReloadPending = RelayoutPending = 0;
        CurrentPage = savedPage;
        Nav = savedNav;
        DisplayMode = savedMode;
        ConfigItems.clear();
    }
    void AddItem(const char* keyword, bool active, const std::wstring& options = L"") {
        TConfigItem item;
        item.Keyword = keyword;
        item.Active = active;
        item.LastTick = 1234;
        ParseItemOptions(item.Options, options);
        ConfigItems.push_back(item);
    }
    TMainLoopSteps saved;
    Calls calls;
    bool drivesChanged = false;
    std::int32_t savedPage = -1, savedNav = 0;
    std::uint8_t savedMode = 0;
};

const Calls kRelayoutNav0 = {"place", "logo", "hide-nav", "reset", "paint", "watch"};

}  // namespace

TEST_F(MainLoopStepsTest, TickOrderFromTheFlags) {
    struct Row {
        std::uint8_t reload, relayout;
        Calls expected;
    } rows[] = {
        {0, 0, {"paint"}},
        {0, 1, {"place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}},
        {1, 0, {"reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}},
        {1, 1, {"reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}},
    };
    for (const Row& r : rows) {
        calls.clear();
        ReloadPending = r.reload;
        RelayoutPending = r.relayout;
        Tick();
        EXPECT_EQ(calls, r.expected) << int(r.reload) << int(r.relayout);
        EXPECT_EQ(ReloadPending, 0);
        EXPECT_EQ(RelayoutPending, 0);
    }
}

TEST_F(MainLoopStepsTest, NothingWhilePaintingOrReloading) {
    for (std::uint8_t* flag : {&Updating, &Reloading}) {
        calls.clear();
        *flag = 1;
        ReloadPending = RelayoutPending = 1;
        Tick();
        EXPECT_TRUE(calls.empty());
        EXPECT_EQ(ReloadPending, 1);
        *flag = 0;
    }
    Updating = 1;
    DoReload();
    Relayout();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(ReloadPending, 1);
}

TEST_F(MainLoopStepsTest, BurstOfFlagSettersGivesOneReloadOneRelayoutOnePass) {
    SettingsChangedHook(nullptr);  // settings
    SettingsChangedHook(nullptr);  // display
    IniChangedHook(nullptr);       // the ini watcher
    DevicesChangedHook();
    PaintHook();
    Tick();
    EXPECT_EQ(calls, (Calls{"reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}));
    calls.clear();
    Tick();
    EXPECT_EQ(calls, Calls{"paint"});
}

TEST_F(MainLoopStepsTest, FixedDiskDriveCheck) {
    struct Row {
        bool hasDisk, active;
        const wchar_t* options;
        bool changed;
        Calls expected;
    } rows[] = {
        {false, false, L"", true, {"paint"}},
        // An inactive first disk line leaves the check to the next active one.
        {true, false, L"", true, {"drives(all)", "reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}},
        {true, true, L"", false, {"drives", "paint"}},
        {true, true, L"include-all:1", false, {"drives(all)", "paint"}},
        {true, true, L"include-all:junk", false, {"drives", "paint"}},
        {true, true, L"", true, {"drives", "reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}},
    };
    for (const Row& r : rows) {
        ConfigItems.clear();
        calls.clear();
        AddItem("UPTIME", true);
        if (r.hasDisk) AddItem("FIXEDDISK", r.active, r.options);
        AddItem("FIXEDDISK", true, L"include-all:1");  // only the first active one counts
        if (!r.hasDisk) ConfigItems.pop_back();
        drivesChanged = r.changed;
        DriveCheckPending = 1;
        Tick();
        EXPECT_EQ(calls, r.expected) << r.hasDisk << r.active << r.changed;
    }
}

TEST_F(MainLoopStepsTest, FixedDrivesCheckedOnNoticesAfterReloadsAndEveryThirtyTicks) {
    AddItem("FIXEDDISK", true);
    const auto checks = [this](int ticks) {
        calls.clear();
        for (int i = 0; i < ticks; ++i) Tick();
        return std::count(calls.begin(), calls.end(), "drives");
    };
    EXPECT_EQ(checks(1), 1) << "the first tick";
    EXPECT_EQ(checks(29), 0);
    EXPECT_EQ(checks(1), 1) << "the thirtieth tick after the last check";
    EXPECT_EQ(checks(5), 0);
    VolumeChangedHook(nullptr, nullptr, 0);
    EXPECT_EQ(checks(1), 1) << "a volume notice";
    DevicesChangedHook();  // also asks for a reload, after which the drives are checked again
    EXPECT_EQ(checks(1), 1) << "a device notice";
    EXPECT_EQ(checks(1), 1) << "after the reload";
    EXPECT_EQ(checks(29), 0);
    EXPECT_EQ(checks(1), 1);

    // A drive that comes or goes reloads the configuration at the tick that finds it.
    drivesChanged = true;
    VolumeChangedHook(nullptr, nullptr, 0);
    calls.clear();
    Tick();
    EXPECT_EQ(calls, (Calls{"drives", "reload", "place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}));
}

TEST_F(MainLoopStepsTest, NavButtonsBeforeOrAfterTheEntries) {
    struct Row {
        std::int32_t nav;
        Calls expected;
    } rows[] = {
        {0, kRelayoutNav0},
        {-1, kRelayoutNav0},
        {3, kRelayoutNav0},
        {1, {"place", "logo", "reset", "paint", "nav", "watch"}},
        {2, {"place", "logo", "nav", "reset", "paint", "watch"}},
    };
    for (const Row& r : rows) {
        calls.clear();
        Nav = r.nav;
        Relayout();
        EXPECT_EQ(calls, r.expected) << r.nav;
    }
}

TEST_F(MainLoopStepsTest, RelayoutResumesWatchersOutsideTheScreenSaverAlsoOnFailure) {
    DisplayMode = dmScreenSaver;
    Relayout();
    EXPECT_EQ(calls, (Calls{"place", "logo", "hide-nav", "reset", "paint"}));
    DisplayMode = dmDesktop;
    calls.clear();
    MainLoopSteps.PlaceWindow = [] { throw EConvertError(L"boom"); };
    EXPECT_THROW(Relayout(), EConvertError);
    EXPECT_EQ(calls, Calls{"watch"});
}

TEST_F(MainLoopStepsTest, ResetCollectTimesMakesEveryItemDue) {
    AddItem("UPTIME", true);
    AddItem("COMMENT", false);
    ResetCollectTimes();
    for (const TConfigItem& item : ConfigItems) EXPECT_EQ(item.LastTick, 0u);
}

TEST_F(MainLoopStepsTest, PageHook) {
    CurrentPage = 1;
    PageHook(nullptr, 0);
    EXPECT_EQ(RelayoutPending, 0) << "the page already shown";
    EXPECT_EQ(CurrentPage.load(), 1);
    PageHook(nullptr, 2);
    EXPECT_EQ(CurrentPage.load(), 3);
    EXPECT_EQ(RelayoutPending, 1);
    // The relayout that follows makes every item of the new page due.
    AddItem("UPTIME", true);
    Tick();
    EXPECT_EQ(calls, (Calls{"place", "logo", "hide-nav", "reset", "paint", "watch", "paint"}));
}

TEST_F(MainLoopStepsTest, VolumeChangeReloadsOnlyWithAFixedDiskLine) {
    AddItem("UPTIME", true);
    VolumeChangedHook(nullptr, nullptr, 0);
    EXPECT_EQ(ReloadPending, 0);
    AddItem("FIXEDDISK", false);  // active or not
    VolumeChangedHook(nullptr, nullptr, 0);
    EXPECT_EQ(ReloadPending, 1);
}

TEST(MainLoop, InitialPage) {
    struct Row {
        std::int32_t option, page;
    } rows[] = {{1, 1}, {5, 5}, {9, 9}, {0, 1}, {10, 1}, {-3, 1}, {2147483647, 1}};
    for (const Row& r : rows) EXPECT_EQ(InitialPageToShow(r.option), r.page) << r.option;
}

TEST(MainLoop, LanguageFileResolvedOnce) {
    TempFolder dir(L"vistrel-lang");
    WriteFileBytes(dir.File(L"german.ini"), "[options]\r\n");
    CreateDirectoryW(dir.File(L"languages").c_str(), nullptr);
    WriteFileBytes(dir.File(L"languages\\dutch.ini"), "[options]\r\n");
    EXPECT_EQ(ResolveLanguageFile(L"", dir.Path()), L"");
    EXPECT_EQ(ResolveLanguageFile(dir.File(L"german.ini"), L"C:\\nowhere\\"), dir.File(L"german.ini"));
    EXPECT_EQ(ResolveLanguageFile(L"languages\\dutch.ini", dir.Path()), dir.Path() + L"languages\\dutch.ini");
    EXPECT_EQ(ResolveLanguageFile(L"languages\\none.ini", dir.Path()), L"");
    DeleteFileW(dir.File(L"languages\\dutch.ini").c_str());
    RemoveDirectoryW(dir.File(L"languages").c_str());
}

TEST(MainLoop, WatchEntriesFromTheItems) {
    TConfigArray items(4);
    items[0].Keyword = "FILE";
    items[0].Active = true;
    items[0].Text = L"Log";
    items[0].LineCrc = 7;
    items[0].Interval = 3;
    ParseItemOptions(items[0].Options, L"file:%dir%\\a.log,type:size");
    items[1].Keyword = "FILE";  // inactive
    items[2].Keyword = "REGISTRY";
    items[2].Active = true;
    items[2].Text = L"Run";
    ParseItemOptions(items[2].Options, L"key:HKLM\\Software,tree:1");
    items[3].Keyword = "REGISTRY";
    items[3].Active = true;
    ParseItemOptions(items[3].Options, L"tree:2");
    const auto files = FileWatchEntries(items);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].Name, L"Log");
    EXPECT_EQ(files[0].FileName, L"%dir%\\a.log") << "variables are expanded later";
    EXPECT_EQ(files[0].ItemId, 7u);
    EXPECT_EQ(files[0].Interval, 3);
    EXPECT_EQ(files[0].WatchType, L"size");
    const auto keys = RegWatchEntries(items);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].Key, L"HKLM\\Software");
    EXPECT_TRUE(keys[0].SubTree);
    EXPECT_EQ(keys[1].Key, L"");
    EXPECT_FALSE(keys[1].SubTree);
    items[0].Options = {};
    EXPECT_EQ(FileWatchEntries(items).at(0).WatchType, L"0");
}

TEST(MainLoop, FileWatchRenamesFollowTheExpandedFileOption) {
    TConfigArray items(2);
    items[0].LineCrc = 1;
    ParseItemOptions(items[0].Options, L"file:%dir%\\one.txt");
    items[1].LineCrc = 2;
    ParseItemOptions(items[1].Options, L"file:two.txt");
    const auto expand = [](const std::wstring& t) {
        std::wstring s = t;
        const auto at = s.find(L"%dir%");
        if (at != std::wstring::npos) s.replace(at, 5, L"C:\\d");
        return s;
    };
    const std::vector<TFileWatchName> watches = {{1, L"%dir%\\one.txt"}, {2, L"two.txt"}, {9, L"x"}, {1, L"old"}};
    const auto renames = FileWatchRenames(items, watches, expand);
    ASSERT_EQ(renames.size(), 2u);
    EXPECT_EQ(renames[0].Index, 3u);  // last watch first
    EXPECT_EQ(renames[0].FileName, L"C:\\d\\one.txt");
    EXPECT_EQ(renames[1].Index, 0u);
    EXPECT_TRUE(FileWatchRenames(items, {{2, L"two.txt"}}, expand).empty());
}

namespace {

class MainLoopFormTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetLogFileName(dir.File(L"log.txt"));
        LogLevels = 1;
        form = Application().CreateForm<TVistrelMainForm>();
        Application().SetMainForm(form);
        savedForm = MainForm;
        MainForm = form;
        CurrentPage = -1;
        WindowDragged = false;
    }
    void TearDown() override {
        FreeIniWatchers();
        StopCollector();
        CollectorResultsHook = nullptr;
        FreeConfigItems(ConfigItems);
        MainForm = savedForm;
        SetProgramArguments({});
        CurrentPage = -1;
        ReloadPending = RelayoutPending = 0;
        WindowDragged = false;
        ResetOptions();
        Language.clear();
        LanguageFilePath.clear();
        PageNames = {};
        PageNames[1] = DefaultPageName;
        WindowTest::TearDown();
    }
    TempFolder dir{L"vistrel-mainloop"};
    TVistrelMainForm* form = nullptr;
    TVistrelMainForm* savedForm = nullptr;
};

}  // namespace

TEST_F(MainLoopFormTest, HooksInstalledOnTheForm) {
    InstallMainLoopHooks(form);
    EXPECT_TRUE(form->OnPaintProc && form->OnTimer1Proc && form->OnWindowMovedProc && form->OnDeviceConfigProc &&
                form->OnVolumeChangeProc && form->OnSettingChangeProc && form->OnDisplayChangeProc &&
                form->OnPageChangeProc);
    EXPECT_FALSE(form->OnTimer2Proc);
    EXPECT_EQ(CollectorStopServeHook, &ServeWindowWhileCollectorStops);
    EXPECT_EQ(TChangeNotify2::ServeWhileFreeing, &ServeRepaints) << "watchers freed keep the window painting";
    CurrentPage = 1;
    form->PageClick(form->PopupMenu1.Items(1));
    EXPECT_EQ(CurrentPage.load(), 2);
    EXPECT_EQ(RelayoutPending, 1);
    form->OnSettingChangeProc(form);
    EXPECT_EQ(ReloadPending, 1);
}

TEST_F(MainLoopFormTest, StartAsksForTheFirstReloadAndQueuesTheFirstTick) {
    // Only the tick queued by the start can be waiting: the form's own timer is gone.
    KillTimer(form->Handle(), kTimer1);
    StartMainLoop(form);
    EXPECT_EQ(ReloadPending, 1);
    EXPECT_TRUE(form->OnTimer1Proc);
    EXPECT_EQ(CollectorResultsHook, &CollectorResultsWaiting) << "first results shown without waiting";
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, form->Handle(), WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(msg.wParam, kTimer1);
}

TEST_F(MainLoopStepsTest, PostedResultsRunATickOnlyWhileTheProgramRuns) {
    CollectorResultsWaiting();
    EXPECT_EQ(calls, (Calls{"paint"}));
    calls.clear();
    Application().Terminate();
    CollectorResultsWaiting();
    Application().ResetTerminated();
    MSG quit;  // the ending's quit message goes, so no later message loop stops at it
    while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    EXPECT_TRUE(calls.empty()) << "a tick ran while the program was ending: " << calls.size() << " steps";
}

TEST_F(MainLoopFormTest, WindowMovedKeepsTheDraggedPosition) {
    WindowMovedHook(nullptr);
    EXPECT_FALSE(WindowDragged);
    SetWindowPos(form->Handle(), nullptr, 33, 44, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    WindowMovedHook(form);
    EXPECT_TRUE(WindowDragged);
    EXPECT_EQ(FormLeft, 33);
    EXPECT_EQ(FormTop, 44);
}

TEST_F(MainLoopFormTest, ReloadLoadsPagesLanguageAndWatchers) {
    const std::wstring ini = dir.File(L"main.ini");
    WriteFileBytes(ini,
                   "[options]\r\nlanguage=" + WideToUtf8(dir.File(L"lang.ini")) +
                       "\r\ninitial-page=12\r\ncontextmenu=0\r\nleft=50\r\n[pages]\r\n1=Home\r\n3=Disks\r\n"
                       "[items]\r\nuptime=active:1\r\n");
    WriteFileBytes(dir.File(L"lang.ini"), "[text]\r\nnoresults=nichts\r\n");
    SetProgramArguments({L"/ini=" + ini});
    CheckIniFile();
    EXPECT_EQ(Reloading, 0);
    EXPECT_EQ(CurrentPage.load(), 1) << "initial-page outside 1..9 shows page 1";
    EXPECT_TRUE(form->PopupMenu1.Items(0).Checked);
    EXPECT_EQ(form->PopupMenu1.Items(0).Caption, L"Home");
    EXPECT_FALSE(form->PopupMenu1.Items(1).Visible);
    EXPECT_TRUE(form->PopupMenu1.Items(2).Visible);
    EXPECT_EQ(form->PopupMenu1.Items(2).Caption, L"Disks");
    EXPECT_FALSE(form->PopupAllowed);
    EXPECT_EQ(form->IniFileName, ini);
    EXPECT_EQ(form->LanguageFileName, dir.File(L"lang.ini"));
    EXPECT_TRUE(form->PopupMenu1.Items(kLanguageEntry).Enabled);
    EXPECT_EQ(NoResultsText, L"nichts");
    EXPECT_EQ(ConfigItems.size(), 1u);
    EXPECT_EQ(FormLeft, 50);
    ASSERT_NE(IniFileNotify, nullptr);
    EXPECT_FALSE(IniFileNotify->Paused());
    EXPECT_EQ(IniFileNotify->FileName(), ini);
    EXPECT_FALSE(IniFileNotify->NotifyOnStart);
    ASSERT_NE(LanguageFileNotify, nullptr);
    EXPECT_EQ(LanguageFileNotify->FileName(), dir.File(L"lang.ini"));
    EXPECT_NE(CollectorThread, nullptr);

    // A later reload keeps the page shown; without a drag the position comes from the
    // file again, so a removed "left" goes back to -1.
    CurrentPage = 3;
    WriteFileBytes(ini, "[options]\r\ninitial-page=2\r\n[items]\r\nuptime=active:1\r\n");
    TChangeNotify2* const before = IniFileNotify;
    CheckIniFile();
    EXPECT_EQ(CurrentPage.load(), 3);
    EXPECT_EQ(FormLeft, -1);
    EXPECT_EQ(IniFileNotify, before) << "the main watcher lives for the whole run";
    EXPECT_EQ(LanguageFileNotify, nullptr);
    EXPECT_FALSE(form->PopupMenu1.Items(kLanguageEntry).Enabled);

    // After a drag the dragged position stays.
    WindowDragged = true;
    FormLeft = 77;
    WriteFileBytes(ini, "[options]\r\nleft=5\r\n[items]\r\nuptime=active:1\r\n");
    CheckIniFile();
    EXPECT_EQ(FormLeft, 77);
}

namespace {

// Moves a file's last-write time a minute on.
void TouchLater(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
    ULARGE_INTEGER t{};
    t.LowPart = d.ftLastWriteTime.dwLowDateTime;
    t.HighPart = d.ftLastWriteTime.dwHighDateTime;
    t.QuadPart += 600000000ull;
    FILETIME later{t.LowPart, t.HighPart};
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetFileTime(h, nullptr, nullptr, &later);
    CloseHandle(h);
}

}  // namespace

TEST_F(MainLoopFormTest, LanguageWatcherIsMadeOncePerReloadAndMissesNoChangeAtARelayout) {
    const std::wstring ini = dir.File(L"main.ini"), lang = dir.File(L"lang.ini");
    WriteFileBytes(ini, "[options]\r\ninimonitortime=3\r\nlanguage=" + WideToUtf8(lang) +
                            "\r\n[items]\r\nuptime=active:1\r\n");
    WriteFileBytes(lang, "[text]\r\nnoresults=nichts\r\n");
    SetProgramArguments({L"/ini=" + ini});
    CheckIniFile();
    TChangeNotify2* const watcher = LanguageFileNotify;
    ASSERT_NE(watcher, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return !watcher->FirstCheck; }, 8000)) << "its first look at the file";
    ReloadPending = 0;
    // The file changes just before a relayout, which resumes the watchers at its end: the
    // watcher that saw the file before still sees the change.
    TouchLater(lang);
    for (int i = 0; i < 3; ++i) EnableIniWatchers(true);
    EXPECT_EQ(LanguageFileNotify, watcher);
    EXPECT_FALSE(watcher->Paused());
    EXPECT_TRUE(PumpUntil([] { return ReloadPending == 1; }, 8000)) << "the change is reported";

    // A reload pauses it and keeps it while the language file stays the same.
    ReloadPending = 0;
    CheckIniFile();
    EXPECT_EQ(LanguageFileNotify, watcher);
    EXPECT_FALSE(watcher->Paused());
    // Another language file: another watcher, of that file.
    const std::wstring other = dir.File(L"other.ini");
    WriteFileBytes(other, "[text]\r\nnoresults=rien\r\n");
    WriteFileBytes(ini, "[options]\r\ninimonitortime=3\r\nlanguage=" + WideToUtf8(other) +
                            "\r\n[items]\r\nuptime=active:1\r\n");
    CheckIniFile();
    ASSERT_NE(LanguageFileNotify, nullptr);
    EXPECT_EQ(LanguageFileNotify->FileName(), other);
    EXPECT_FALSE(LanguageFileNotify->Paused());
}

// Line heights are measured in the character set the window paints with, whether the
// main file or its language file names it: a set the font mapper answers with another
// face (Hebrew, symbols) gives other heights.
TEST_F(MainLoopFormTest, LineHeightsAreMeasuredInTheCharacterSetThatPaints) {
    const std::wstring lang = dir.File(L"lang.ini");
    struct Row {
        const char* what;
        std::string mainOptions, languageOptions;
        BYTE charset;
    };
    const Row rows[] = {
        {"main file", "font-charset=177\r\n", "", 177},
        {"language file", "font-charset=1\r\nlanguage=" + WideToUtf8(lang) + "\r\n", "font-charset=177\r\n", 177},
        {"symbol set", "font-charset=2\r\n", "", 2},
        {"not a set: the font keeps its set", "font-charset=300\r\n", "", 2},
    };
    bool someSetDiffers = false;
    for (const Row& r : rows) {
        const std::wstring ini = dir.File(L"charset.ini");
        WriteFileBytes(ini, "[options]\r\nfont-face=Arial\r\nfont-size=8\r\n" + r.mainOptions +
                                "[items]\r\nuptime=active:1\r\ncomment=active:1,text:Big,font-size:20\r\n");
        WriteFileBytes(lang, "[options]\r\n" + r.languageOptions);
        SetProgramArguments({L"/ini=" + ini});
        CheckIniFile();
        PlaceWindow();  // applies the global font: the set the window paints with
        TFont& font = form->Canvas().Font();
        EXPECT_EQ(font.Charset(), r.charset) << r.what;
        ASSERT_EQ(ConfigItems.size(), 2u) << r.what;
        for (const TConfigItem& item : ConfigItems) {
            font.SetName(item.FontFace);
            font.SetSize(item.FontSize);
            RECT rect{0, 0, 0, 0};
            form->Canvas().DrawText(MeasuringText, rect, DT_CALCRECT | DT_NOPREFIX);
            EXPECT_EQ(item.LineHeight, rect.bottom + LineSpacing) << r.what << ", " << item.FontSize << " points";
            someSetDiffers |= MeasureTextHeight(MeasuringText, item.FontFace, item.FontSize, 0, r.charset) !=
                              MeasureTextHeight(MeasuringText, item.FontFace, item.FontSize);
        }
    }
    EXPECT_TRUE(someSetDiffers) << "every set measured alike here: this test shows nothing";
    FontCharset = 1;
}

TEST_F(MainLoopFormTest, IniChangeSetsTheReloadFlagOnce) {
    const std::wstring ini = dir.File(L"watched.ini");
    WriteFileBytes(ini, "[options]\r\ninimonitortime=1\r\n[items]\r\nuptime=active:1\r\n");
    SetProgramArguments({L"/ini=" + ini});
    CheckIniFile();
    ASSERT_NE(IniFileNotify, nullptr);
    ASSERT_TRUE(PumpUntil([] { return !IniFileNotify->FirstCheck; }, 8000));
    PumpFor(1500);
    EXPECT_EQ(ReloadPending, 0) << "an unchanged file reports nothing";
    TouchLater(ini);
    EXPECT_TRUE(PumpUntil([] { return ReloadPending == 1; }, 8000));
}

namespace {

std::atomic<int> servedPosts{0};
LRESULT CALLBACK CountingPostsProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP) ++servedPosts;
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

// While a stop waits for a routine, the window is served: during a reload with all its
// messages (the reload's guard keeps the ticks out), at the program's end only repaints.
// Serving only the repaints (while watchers are freed, in the middle of a reload or at the
// end) leaves a quit request that waits for the message loop where it is.
TEST(MainLoopServe, RepaintsAloneLeaveAQuitRequestForTheMessageLoop) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    PostQuitMessage(5);
    EXPECT_EQ(ServeRepaints(), static_cast<DWORD>(QS_PAINT));
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request was dropped";
    EXPECT_EQ(msg.wParam, 5u);
}

TEST(MainLoopServe, TheStopsWaitServesEverythingDuringAReloadAndOnlyRepaintsOtherwise) {
    const HWND window = WindowOfOwnClass(L"MainLoopServeTarget", CountingPostsProc, 0, 0, {}, HWND_MESSAGE);
    ASSERT_NE(window, nullptr);
    servedPosts = 0;
    Reloading = 0;
    PostMessageW(window, WM_APP, 0, 0);
    EXPECT_EQ(ServeWindowWhileCollectorStops(), static_cast<DWORD>(QS_PAINT)) << "the wait wakes only for repaints";
    EXPECT_EQ(servedPosts, 0) << "input or posts served outside a reload";
    Reloading = 1;
    EXPECT_EQ(ServeWindowWhileCollectorStops(), static_cast<DWORD>(QS_ALLINPUT));
    Reloading = 0;
    EXPECT_EQ(servedPosts, 1);
    DestroyWindow(window);
}
