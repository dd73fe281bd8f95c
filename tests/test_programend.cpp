// The program's end on every way out, with a gathering routine in flight: the collection
// thread has ended before anything is finalised, and a routine that does not return in
// time leaves everything in place while the process ends at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Collector.h"
#include "ConfigItems.h"
#include "DisplayModes.h"
#include "Errors.h"
#include "Includes.h"
#include "MainFormUnit.h"
#include "Pipeline.h"
#include "ProgramEnd.h"
#include "Threads.h"
#include "Units.h"
#include "WindowTests.h"
#include "test_providers_support.h"

namespace {

// The routine in flight: it signals that it runs, takes its time (or waits for release),
// then notes that it returned. The first one of a run stays FirstLingersMs longer.
HANDLE entered = nullptr;
HANDLE release = nullptr;
std::atomic<int> entries{0};
std::atomic<DWORD> firstLingersMs{0};
std::atomic<bool> routineReturned{false};
void InFlight(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    const int n = ++entries;
    routineReturned = false;
    SetEvent(entered);
    if (release)
        WaitForSingleObject(release, 30000);
    else
        Sleep(150);
    if (n == 1) Sleep(firstLingersMs);
    AddDataRow(Data.Data, {Variant(L"late")}, false);
    Display = L"late";
    routineReturned = true;
}

// An exception that no routine caught, handed to the application object.
void UncaughtException() {
    try {
        throw EConvertError(L"bad value");
    } catch (...) {
        Application().HandleException(L"TTest");
    }
}

class ProgramEndTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        saved_ = ProgramEndSteps;
        FreeConfigItems(ConfigItems);
        CurrentPage = 1;
        entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        // Each step notes itself; the real ones run where the state they leave matters.
        ProgramEndSteps.FreeIniWatchers = [this] { steps.push_back("watchers"); };
        ProgramEndSteps.StopCollection = [this] {
            steps.push_back("stop");
            return StopAllCollectors();
        };
        ProgramEndSteps.FreeConfigItems = [this] {
            steps.push_back("items");
            FreeConfigItems(ConfigItems);
        };
        ProgramEndSteps.StopStatisticsProgram = [this] { steps.push_back("vistrel64"); };
        ProgramEndSteps.FinalizeUnits = [this] {
            steps.push_back("units");
            threadsAtFinalize = TCollector::LiveCount();
            returnedAtFinalize = routineReturned.load();
            FinalizeUnits();
            InitializeUnits();
        };
        ProgramEndSteps.DestroyForms = [this] { steps.push_back("forms"); };
        SetHaltProc([this](UINT code) { halts.push_back(code); });
    }
    void TearDown() override {
        if (release) SetEvent(release);
        StopCollector();
        PumpUntil([] { return TCollector::LiveCount() == 0; }, 40000);
        FreeConfigItems(ConfigItems);
        CollectorSettings = TCollectorSettings{};
        firstLingersMs = 0;
        CurrentPage = -1;
        ProgramEndSteps = saved_;
        if (release) CloseHandle(release);
        release = nullptr;
        CloseHandle(entered);
        entered = nullptr;
        WindowTest::TearDown();
    }

    // One run: the routine in flight, then the way out.
    void RunOnce(const std::function<void()>& wayOut) {
        steps.clear();
        halts.clear();
        threadsAtFinalize = -1;
        returnedAtFinalize = false;
        Application().ResetTerminated();
        // The quit message of the run before goes; the next loop would stop at it.
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        entries = 0;
        SetProgramEndProc(ProgramEndProc);
        FreeConfigItems(ConfigItems);
        TConfigItem item;
        item.Keyword = "TEXT";
        item.GatherProc = InFlight;
        item.Page = 1;
        item.Active = true;
        ConfigItems.push_back(item);
        StartCollector();
        ASSERT_TRUE(WaitServingCalls(entered, 10000));
        wayOut();
    }

    TProgramEndSteps saved_;
    std::vector<std::string> steps;
    std::vector<UINT> halts;
    int threadsAtFinalize = -1;
    bool returnedAtFinalize = false;
    LogCapture log_;
};

struct WayOut {
    const char* name;
    UINT code;
    std::function<void(ProgramEndTest&)> run;
};

}  // namespace

TEST_F(ProgramEndTest, EveryWayOutStopsTheCollectionThreadBeforeAnythingIsFinalised) {
    TVistrelMainForm* saver = CreateScreenSaverForms();
    const HWND blank = ThreadWindowOfClass(L"TBlankForm");
    ASSERT_NE(blank, nullptr);
    const std::vector<WayOut> ways = {
        {"screen saver: a key", 0,
         [&](ProgramEndTest&) {
             PostMessageW(blank, WM_KEYDOWN, 'A', 0);
             Application().ProcessMessages();
         }},
        {"screen saver: the sixth mouse move", 0,
         [&](ProgramEndTest&) {
             saver->ResetScreenSaverMoves();
             // The first move sets the position, six more end the saver.
             for (int i = 0; i < 7; ++i) PostMessageW(blank, WM_MOUSEMOVE, 0, MAKELPARAM(10 + i, 10));
             Application().ProcessMessages();
         }},
        {"the session ends", 0, [](ProgramEndTest&) { SendMessageW(Application().Handle(), WM_ENDSESSION, TRUE, 0); }},
        {"an exception reaches the application object", 1, [](ProgramEndTest&) { UncaughtException(); }},
        {"a window set-up fails", 1, [](ProgramEndTest&) { HaltProgram(1); }},
        {"the menu's Quit", 0,
         [&](ProgramEndTest&) {
             saver->Quit1Click();
             // The message loop has ended; the main block runs the end with its exit code.
             RunProgramEndProc(0);
         }},
    };
    const std::vector<std::string> inOrder = {"watchers", "stop", "items", "units", "forms"};
    for (const WayOut& way : ways) {
        for (int run = 0; run < 5; ++run) {
            RunOnce([&] { way.run(*this); });
            EXPECT_EQ(steps, inOrder) << way.name;
            EXPECT_EQ(threadsAtFinalize, 0) << way.name << ": the collection thread ended first";
            EXPECT_TRUE(returnedAtFinalize) << way.name << ": the routine in flight returned first";
            EXPECT_EQ(CollectorThread, nullptr) << way.name;
            EXPECT_TRUE(ConfigItems.empty()) << way.name;
            const bool quit = std::string(way.name) == "the menu's Quit";
            EXPECT_EQ(halts, quit ? std::vector<UINT>{} : std::vector<UINT>{way.code}) << way.name;
        }
    }
}

TEST_F(ProgramEndTest, ARoutineThatOutlivesTheStopKeepsEverythingAndTheProcessEndsAtOnce) {
    Application().OnException = AppException;  // as the main form installs it
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CollectorSettings.StopWaitMs = 100;
    const std::vector<WayOut> ways = {
        {"an exception reaches the application object", 1, [](ProgramEndTest&) { UncaughtException(); }},
        {"the message loop ends", 0, [](ProgramEndTest&) { RunProgramEndProc(0); }},
    };
    for (std::size_t i = 0; i < ways.size(); ++i) {
        const WayOut& way = ways[i];
        ResetEvent(release);
        RunOnce([&] { way.run(*this); });
        EXPECT_EQ(steps, (std::vector<std::string>{"watchers", "stop", "vistrel64"})) << way.name;
        EXPECT_EQ(halts, std::vector<UINT>{way.code}) << way.name << ": ended once, at once";
        EXPECT_EQ(ConfigItems.size(), 1u) << way.name << ": the items the routine may use stay";
        EXPECT_EQ(TCollector::LiveCount(), 1) << way.name;
        EXPECT_EQ(log_.Count(L"WARN", L"EndProgram: a gathering routine is still running; the program ends without "
                                      L"finalising its units"),
                  static_cast<int>(i) + 1)
            << way.name;
        SetEvent(release);
        ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 0; }, 10000));
    }
}

TEST_F(ProgramEndTest, AThreadLeftByAnEarlierStopIsWaitedForToo) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CollectorSettings.StopWaitMs = 100;
    firstLingersMs = 300;  // the abandoned routine returns after the running one
    RunOnce([this] {
        // A reload's stop gives up on the routine; the next thread finds its turn held.
        StopCollector();
        StartCollector();
        ASSERT_TRUE(PumpUntil([this] {
            for (const std::wstring& line : log_.At(L"ERROR"))
                if (line.rfind(L"TCollector: " + ErrorText + L"TEXT () not collected: ", 0) == 0) return true;
            return false;
        }, 10000));
        EXPECT_EQ(entries, 1) << "the next thread entered the routine beside the first";
    });
    ASSERT_EQ(TCollector::LiveCount(), 2);
    CollectorSettings.StopWaitMs = 5000;
    SetEvent(release);
    RunProgramEndProc(0);
    EXPECT_EQ(steps, (std::vector<std::string>{"watchers", "stop", "items", "units", "forms"}));
    EXPECT_EQ(threadsAtFinalize, 0);
    EXPECT_TRUE(halts.empty());
}

namespace {
ProgramEndTest* endingTest = nullptr;
// The serve step of a reload's wait in which the program's end begins (the end of the
// session, say) just as the routine waited for returns.
DWORD EndInsideTheWait() {
    if (std::exchange(endingTest, nullptr)) {
        SetEvent(release);
        HaltProgram(0);
    }
    return QS_ALLINPUT;
}
}  // namespace

// An end begun inside a reload's wait for the collection thread ends as any other: it
// waits only for the thread still running, says nothing untrue, and cleans up.
TEST_F(ProgramEndTest, AnEndBegunInsideAReloadsWaitEndsAsAnyOther) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CollectorSettings.StopWaitMs = 10000;
    DWORD took = 0;
    RunOnce([&] {
        endingTest = this;
        CollectorStopServeHook = EndInsideTheWait;
        const DWORD start = GetTickCount();
        StopCollector();  // the reload's stop
        took = GetTickCount() - start;
        CollectorStopServeHook = nullptr;
    });
    EXPECT_EQ(steps, (std::vector<std::string>{"watchers", "stop", "items", "units", "forms"}));
    EXPECT_EQ(halts, std::vector<UINT>{0});
    EXPECT_TRUE(returnedAtFinalize) << "the routine in flight returned first";
    EXPECT_EQ(log_.Count(L"WARN", L"EndProgram: a gathering routine is still running; the program ends without "
                                  L"finalising its units"),
              0);
    EXPECT_LT(took, 5000u) << "the end waited out its bound for a thread that had ended";
}
