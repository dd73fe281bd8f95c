#include <windows.h>

#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Collector.h"
#include "Configuration.h"
#include "Errors.h"
#include "Includes.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Threads.h"
#include "test_providers_support.h"

namespace {

// ---- fake gathering routines -------------------------------------------------------------

std::array<std::atomic<int>, 8> calls;

// Counts its runs in calls[N]; its one value and its display are the run number.
template <int N>
void Counting(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    const int n = ++calls[N];
    SetFieldNames(Data.Names, {L"n"});
    AddDataRow(Data.Data, {Variant(std::int32_t{n})}, false);
    Display = L"run " + std::to_wstring(n);
}

// Counts its runs in calls[7] and always raises.
void Failing(TItemOptionArray, TItemData&, std::wstring&) {
    ++calls[7];
    throw EConvertError(L"broken");
}

// Gives no display text at all.
void Silent(TItemOptionArray, TItemData&, std::wstring&) {}

Variant ifValue;
void IfRoutine(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    ++calls[6];
    AddDataRow(Data.Data, {ifValue}, false);
    Display = ifValue.ToText();
}

// A routine that takes its time: it signals that it runs, then waits for release (or
// 300 ms when no release event is set), then makes a synchronised call of its own.
HANDLE entered = nullptr;
HANDLE release = nullptr;
std::atomic<bool> slowReturned{false};
std::atomic<int> startedAfterSlow{0};

std::atomic<int> routineSyncCalls{0};
std::atomic<bool> routineSyncServed{false};
void Slow(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    SetEvent(entered);
    if (release)
        WaitForSingleObject(release, 10000);
    else
        Sleep(300);
    routineSyncServed = Synchronize([] { ++routineSyncCalls; });
    AddDataRow(Data.Data, {Variant(L"late")}, false);
    Display = L"late";
    slowReturned = true;
}

// A routine that waits for release, then reads the texts and user functions that a
// reload rewrites, many times over, and keeps what it read last and whether every read
// agreed with the first.
struct TSeenTexts {
    std::wstring Error, NoResults, Null;
    std::vector<std::wstring> Functions;
    bool operator==(const TSeenTexts&) const = default;
};
TSeenTexts seenTexts;
std::atomic<bool> seenSteady{false};
void ReadingTexts(TItemOptionArray, TItemData&, std::wstring& Display) {
    SetEvent(entered);
    WaitForSingleObject(release, 10000);
    const TSeenTexts first{ErrorText, NoResultsText, NullResultText, UserFunctions};
    bool steady = true;
    TSeenTexts last = first;
    for (int i = 0; i < 2000; ++i) {
        last = {ErrorText, NoResultsText, NullResultText, UserFunctions};
        steady = steady && last == first;
    }
    seenTexts = last;
    seenSteady = steady;
    Display = L"read";
}

// Slow says it returned; RecordingOrder counts its runs in calls[1] and notes whether
// Slow had returned when it started (1) or not (2).
void RecordingOrder(TItemOptionArray, TItemData&, std::wstring& Display) {
    ++calls[1];
    startedAfterSlow = slowReturned ? 1 : 2;
    Display = L"ordered";
}

// A message-only window whose posted WM_APP releases the routine Slow waits in.
LRESULT CALLBACK PostTargetProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP && release) SetEvent(release);
    return DefWindowProcW(hwnd, msg, wp, lp);
}
HWND PostTarget() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PostTargetProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"CollectorPostTarget";
    RegisterClassW(&wc);
    return CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

std::atomic<int> seenPriority{0};
std::atomic<long> seenComResult{0};
void Probing(TItemOptionArray, TItemData&, std::wstring& Display) {
    seenPriority = GetThreadPriority(GetCurrentThread());
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    seenComResult = hr;
    if (SUCCEEDED(hr)) CoUninitialize();
    Display = L"probed";
}

std::atomic<std::uint32_t> fakeTick{10000};
std::uint32_t FakeTick() { return fakeTick.load(); }

TConfigItem MakeItem(const char* keyword, TGatherProc proc, std::int32_t interval, std::int32_t page = 1,
                     bool active = true) {
    TConfigItem item;
    item.Keyword = keyword;
    item.GatherProc = proc;
    item.Interval = interval;
    item.Page = page;
    item.Active = active;
    return item;
}

void ResetCollectTimes() {
    for (TConfigItem& item : ConfigItems) item.LastTick = 0;
}

// Waits on the window thread, serving the collection thread's calls, until Done holds.
template <typename F>
bool PumpUntil(F done, DWORD timeoutMs = 10000) {
    const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        WaitServingCalls(never.get(), 5);
    }
    return true;
}

// The threads of this process.
int ThreadCount() {
    const UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    if (Thread32First(snap.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
        } while (Thread32Next(snap.get(), &entry));
    }
    return n;
}

// The harness: this thread is the window thread; the collection thread runs one pass at
// a time, pausing after each until the test lets it go on. The tick count is the test's.
class CollectorHarness : public ::testing::Test {
protected:
    void SetUp() override {
        InitSynchronizer();
        FreeConfigItems(ConfigItems);
        CurrentPage = 1;
        for (auto& c : calls) c = 0;
        fakeTick = 10000;
        ifValue = Variant();
        routineSyncCalls = 0;
        routineSyncServed = false;
        entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        passDone_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        go_.reset(CreateSemaphoreW(nullptr, 0, 1000, nullptr));
        HANDLE passDone = passDone_.get(), go = go_.get();
        CollectorSettings.Tick = FakeTick;
        CollectorSettings.PassSleep = [passDone, go](TCollector& self) {
            SetEvent(passDone);
            while (!self.Terminated() && WaitForSingleObject(go, 5) == WAIT_TIMEOUT) {
            }
        };
        CollectorSettings.StopWaitMs = 5000;
    }
    void TearDown() override {
        StopCollector();
        CollectorResultsHook = nullptr;
        PumpUntil([] { return TCollector::LiveCount() == 0; });
        FreeConfigItems(ConfigItems);
        CollectorSettings = TCollectorSettings{};
        CurrentPage = -1;
        if (release) CloseHandle(release);
        release = nullptr;
        CloseHandle(entered);
        entered = nullptr;
        FinalizeSynchronizer();
    }

    // Starts the thread, waits until its first pass has ended and stores its results as
    // the window thread's next tick does.
    bool Start() {
        StartCollector();
        const bool done = WaitServingCalls(passDone_.get(), 10000);
        DeliverCollectedItems();
        return done;
    }
    // Hands the thread what the test changed in the items, lets it run one more pass,
    // waits until it has ended and stores its results.
    bool NextPass() {
        DeliverCollectedItems();
        ReleaseSemaphore(go_.get(), 1, nullptr);
        const bool done = WaitServingCalls(passDone_.get(), 10000);
        DeliverCollectedItems();
        return done;
    }

    // Starts the thread or lets it run one more pass, leaving what it collects waiting
    // (no tick takes it).
    bool StartKeepingResults() {
        StartCollector();
        return WaitServingCalls(passDone_.get(), 10000);
    }
    bool PassKeepingResults() {
        ReleaseSemaphore(go_.get(), 1, nullptr);
        return WaitServingCalls(passDone_.get(), 10000);
    }

    LogCapture log_;
    UniqueHandle passDone_, go_;
};

// Reads the live items from the collection thread, as DATADUMP does.
TWideStringArray seenByDump;
void ReadsLiveItems(TItemOptionArray, TItemData&, std::wstring& Display) {
    seenByDump = ConfigItems.at(0).ItemData.Lines;
    Display = L"dumped";
}

int announced = 0;
void CountAnnouncement() { ++announced; }

void DispatchPosted() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

}  // namespace

// ---- the due rule ---------------------------------------------------------------------------

TEST(CollectorDue, Table) {
    struct Row {
        std::uint32_t last;
        std::int32_t interval;
        std::uint32_t now;
        bool due;
    } rows[] = {
        {0, 2, 0, true},                   // never collected
        {0, 0, 123, true},
        {10000, 2, 11999, false},          // 1 ms short of two seconds
        {10000, 2, 12000, true},
        {10000, 2, 50000, true},
        {10000, 0, 10000, false},          // interval 0: once
        {10000, 0, 4000000000u, false},
        {10000, -5, 90000, false},
        {0xFFFFFC18u, 2, 999, false},      // across the wrap of the tick count: 1999 ms
        {0xFFFFFC18u, 2, 1000, true},      // 2000 ms
        {0xFFFFF000u, 1, 0x00000400u, true},
        {1, 5000000, 0, false},            // longer than the counter can span: not before a reset
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsItemDue(r.last, r.interval, r.now), r.due) << r.last << " " << r.interval << " " << r.now;
}

TEST_F(CollectorHarness, DueAtTheBoundaries) {
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 2));
    ASSERT_TRUE(Start());
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(ConfigItems[0].LastTick, 10000u);
    EXPECT_TRUE(ConfigItems[0].Collected);
    fakeTick = 11999;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 1);
    fakeTick = 12000;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2);
    EXPECT_EQ(ConfigItems[0].LastTick, 12000u);
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 2"});
}

TEST_F(CollectorHarness, DueAcrossTheTickWrap) {
    fakeTick = 0xFFFFFC18u;
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 2));
    ASSERT_TRUE(Start());
    EXPECT_EQ(calls[0], 1);
    fakeTick = 999;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 1);
    fakeTick = 1000;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2);
}

TEST_F(CollectorHarness, IntervalZeroIsCollectedOncePerRelayout) {
    ConfigItems.push_back(MakeItem("HOST", Counting<0>, 0));
    ASSERT_TRUE(Start());
    for (int i = 0; i < 3; ++i) {
        fakeTick = fakeTick + 5000;
        ASSERT_TRUE(NextPass());
    }
    EXPECT_EQ(calls[0], 1);
    ResetCollectTimes();  // what a relayout does
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2);
    fakeTick = fakeTick + 5000;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2);
}

TEST_F(CollectorHarness, PageFilterAndAlwaysCollect) {
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0, 1));
    ConfigItems.push_back(MakeItem("TEXT", Counting<1>, 0, 2));
    TConfigItem set = MakeItem("SET", Counting<2>, 0, 2);
    set.AlwaysCollect = true;
    ConfigItems.push_back(set);
    ConfigItems.push_back(MakeItem("TEXT", Counting<3>, 0, 1, false));
    ASSERT_TRUE(Start());
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(calls[1], 0);  // page 2 while page 1 is shown
    EXPECT_EQ(calls[2], 1);  // collected whatever the page
    EXPECT_EQ(calls[3], 0);  // not active
    EXPECT_EQ(ConfigItems[1].LastTick, 0u);

    CurrentPage = 2;
    ResetCollectTimes();
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(calls[1], 1);
    EXPECT_EQ(calls[2], 2);
    EXPECT_EQ(calls[3], 0);
}

TEST_F(CollectorHarness, CommentLineIsNeitherReportedNorStored) {
    ConfigItems.push_back(MakeItem("COMMENT", nullptr, 0));
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(log_.Count(L"DATA", L"COMMENT ("), 0);
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT () True"), 1);
    EXPECT_FALSE(ConfigItems[0].Collected);
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
}

TEST_F(CollectorHarness, FailingRoutineIsRetriedEveryPassAndKeepsItsLastGoodLines) {
    TConfigItem item = MakeItem("TEXT", Failing, 60);
    item.Options[0] = {L"lid", Variant(L"t1")};
    item.ItemData.Lines = {L"good"};
    ConfigItems.push_back(item);
    ASSERT_TRUE(Start());
    for (int i = 0; i < 2; ++i) {
        fakeTick = fakeTick + 700;
        ASSERT_TRUE(NextPass());
    }
    EXPECT_EQ(calls[7], 3);
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT (t1) False"), 3);
    EXPECT_EQ(log_.Count(L"ERROR", L"DoProc: " + ErrorText + L"EConvertError broken Step:run procedure"), 3);
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"good"});
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
    EXPECT_FALSE(ConfigItems[0].Collected);

    // Once the routine succeeds the result is stored and the interval applies again.
    ConfigItems[0].GatherProc = Counting<0>;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT (t1) True"), 1);
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 1"});
    fakeTick = fakeTick + 700;
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 1);
}

TEST_F(CollectorHarness, ResultsWaitForTheWindowThreadAndStillCountAsCollected) {
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 2));
    ASSERT_TRUE(StartKeepingResults());
    EXPECT_EQ(calls[0], 1);
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT () True"), 1) << "reported when collected";
    EXPECT_EQ(ConfigItems[0].LastTick, 0u) << "stored only when the window thread takes it";
    EXPECT_TRUE(ConfigItems[0].ItemData.Lines.empty());
    fakeTick = 11999;
    ASSERT_TRUE(PassKeepingResults());
    EXPECT_EQ(calls[0], 1) << "the waiting result's time counts for the interval";
    fakeTick = 12000;
    ASSERT_TRUE(PassKeepingResults());
    EXPECT_EQ(calls[0], 2);
    DeliverCollectedItems();
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 2"}) << "both stored, in order";
    EXPECT_EQ(ConfigItems[0].LastTick, 12000u);
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT () True"), 2);
}

TEST_F(CollectorHarness, ResetWhileAResultWaitsMakesTheItemDueAgain) {
    ConfigItems.push_back(MakeItem("HOST", Counting<0>, 0));
    ASSERT_TRUE(StartKeepingResults());
    EXPECT_EQ(calls[0], 1);
    // A relayout resets the live items and tells the thread; the result that was waiting
    // is stored, but as never collected.
    ResetCollectTimes();
    CollectTimesReset();
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 1"});
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2) << "every item is due after a relayout";
    EXPECT_EQ(ConfigItems[0].LastTick, 10000u);
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[0], 2);
}

TEST_F(CollectorHarness, RoutineReadingTheLiveItemsSeesEarlierResultsStored) {
    seenByDump.clear();
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    ConfigItems.push_back(MakeItem("DATADUMP", ReadsLiveItems, 0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(seenByDump, TWideStringArray{L"run 1"}) << "collected earlier in the same pass";
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"dumped"});
}

TEST_F(CollectorHarness, FirstResultsAfterAStartOrAResetAreAnnouncedOnce) {
    announced = 0;
    CollectorResultsHook = CountAnnouncement;
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 1, 1, false));
    ASSERT_TRUE(Start());
    DispatchPosted();
    EXPECT_EQ(announced, 0) << "a pass without results";
    ConfigItems[0].Active = true;
    ASSERT_TRUE(NextPass());
    DispatchPosted();
    EXPECT_EQ(announced, 1);
    for (int i = 0; i < 3; ++i) {
        fakeTick = fakeTick + 1000;
        ASSERT_TRUE(NextPass());
    }
    DispatchPosted();
    EXPECT_EQ(calls[0], 4);
    EXPECT_EQ(announced, 1) << "later results wait for the ticks";
    // A relayout resets the times: the results of the pass after it are announced again.
    ResetCollectTimes();
    CollectTimesReset();
    ASSERT_TRUE(NextPass());
    DispatchPosted();
    EXPECT_EQ(calls[0], 5);
    EXPECT_EQ(announced, 2);
    CollectorResultsHook = nullptr;
}

TEST_F(CollectorHarness, ResetWakesTheThreadFromItsPauseForAPassAtOnce) {
    // The pause between passes is far longer than the test waits: only the reset can
    // bring the next pass.
    CollectorSettings.PassSleep = nullptr;
    CollectorSettings.PassSleepMs = 600000;
    // As at the first load: the page is not chosen yet when the thread starts, so its
    // first pass finds only the item collected on every page.
    CurrentPage = -1;
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    TConfigItem set = MakeItem("SET", Counting<1>, 0);
    set.AlwaysCollect = true;
    ConfigItems.push_back(set);
    StartCollector();
    ASSERT_TRUE(PumpUntil([] { return calls[1] == 1; }));
    DeliverCollectedItems();
    EXPECT_EQ(calls[0], 0);
    CurrentPage = 1;
    ResetCollectTimes();
    CollectTimesReset();
    ASSERT_TRUE(PumpUntil([] { return calls[0] == 1 && calls[1] == 2; }))
        << "every item of the shown page collected after the reset, not after the pause";
    DeliverCollectedItems();
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 1"});
}

TEST_F(CollectorHarness, IfItemSwitchesTheNextItem) {
    ConfigItems.push_back(MakeItem("IF", IfRoutine, 0));
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    ifValue = Variant(false);
    ASSERT_TRUE(Start());
    EXPECT_EQ(calls[6], 1);
    EXPECT_FALSE(ConfigItems[1].Active);
    EXPECT_EQ(calls[0], 0);  // switched off before its turn in the same pass

    ifValue = Variant(true);
    ResetCollectTimes();
    ASSERT_TRUE(NextPass());
    EXPECT_TRUE(ConfigItems[1].Active);
    EXPECT_EQ(calls[0], 1);
}

TEST_F(CollectorHarness, ItemWithoutResultShowsTheNoResultTextOrHides) {
    ConfigItems.push_back(MakeItem("TEXT", Silent, 0));
    TConfigItem hiding = MakeItem("TEXT", Silent, 0);
    hiding.HideNoResult = true;
    ConfigItems.push_back(hiding);
    ASSERT_TRUE(Start());
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{NoResultsText});
    EXPECT_EQ(ConfigItems[0].Hidden, 0);
    EXPECT_TRUE(ConfigItems[1].ItemData.Lines.empty());
    EXPECT_EQ(ConfigItems[1].Hidden, 2);

    // A later result shows the item again.
    ConfigItems[1].GatherProc = Counting<0>;
    ResetCollectTimes();
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(ConfigItems[1].Hidden, 0);
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"run 1"});
}

TEST_F(CollectorHarness, ThreadRunsAtLowPriorityWithComInitialised) {
    ConfigItems.push_back(MakeItem("TEXT", Probing, 0));
    ASSERT_TRUE(Start());
    EXPECT_LE(seenPriority.load(), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(seenComResult.load(), S_FALSE);  // already initialised for this thread
}

namespace {
std::atomic<DWORD> beganOn{0}, endedOn{0}, collectedOn{0};
std::atomic<int> begins{0}, ends{0}, collectedBeforeBegin{0};
void NoteBegin() {
    beganOn = GetCurrentThreadId();
    ++begins;
}
void NoteEnd() {
    endedOn = GetCurrentThreadId();
    ++ends;
}
void NoteThread(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    collectedOn = GetCurrentThreadId();
    if (begins.load() == 0) ++collectedBeforeBegin;
    Data.Lines = {L"noted"};
    Display = L"noted";
}
}  // namespace

TEST_F(CollectorHarness, ThreadHooksRunOnTheCollectionThreadAroundItsPasses) {
    begins = ends = collectedBeforeBegin = 0;
    beganOn = endedOn = collectedOn = 0;
    CollectorThreadBeginHook = NoteBegin;
    CollectorThreadEndHook = NoteEnd;
    ConfigItems.push_back(MakeItem("TEXT", NoteThread, 0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(begins.load(), 1);
    EXPECT_EQ(collectedBeforeBegin.load(), 0) << "the begin runs before the first pass";
    EXPECT_EQ(beganOn.load(), collectedOn.load());
    EXPECT_NE(beganOn.load(), GetCurrentThreadId());
    EXPECT_EQ(ends.load(), 0);
    EXPECT_TRUE(StopCollector());
    CollectorThreadBeginHook = nullptr;
    CollectorThreadEndHook = nullptr;
    EXPECT_EQ(ends.load(), 1);
    EXPECT_EQ(endedOn.load(), beganOn.load());
}

TEST_F(CollectorHarness, StopWhileARoutineRunsWaitsAndDiscardsItsResult) {
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    StartCollector();
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    StopCollector();
    // The wait returned after the routine ended: the thread is gone, its own synchronised
    // call was served during the wait, and nothing was stored or reported.
    EXPECT_EQ(CollectorThread, nullptr);
    EXPECT_EQ(TCollector::LiveCount(), 0);
    EXPECT_TRUE(routineSyncServed);
    EXPECT_EQ(routineSyncCalls, 1);
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
    EXPECT_TRUE(ConfigItems[0].ItemData.Lines.empty());
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT () True"), 0);
}

TEST_F(CollectorHarness, StopPastItsBoundLeavesTheThreadToEndOnItsOwn) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 50;
    StartCollector();
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    StopCollector();
    EXPECT_EQ(CollectorThread, nullptr);
    EXPECT_EQ(TCollector::LiveCount(), 1);  // still in the routine
    EXPECT_EQ(log_.Count(L"WARN", L"StopCollector: the collection thread is still busy; it ends on its own"), 1);

    // A new thread may start meanwhile, but runs no routine while the old one is inside
    // one; the old one's late result goes nowhere.
    ConfigItems[0].Active = false;
    ConfigItems.push_back(MakeItem("TEXT", RecordingOrder, 0));
    slowReturned = false;
    startedAfterSlow = 0;
    StartCollector();
    ASSERT_TRUE(PumpUntil([this] {
        return log_.Count(L"WARN", L"TCollector: waiting for a gathering routine of the previous collection thread to return") == 1;
    }));
    EXPECT_EQ(calls[1], 0) << "a second routine ran beside the first";
    SetEvent(release);
    // (Both threads signal the end of their pass: the old one's comes first.)
    ASSERT_TRUE(PumpUntil([] {
        DeliverCollectedItems();
        return !ConfigItems[1].ItemData.Lines.empty();
    }));
    EXPECT_EQ(calls[1], 1);
    EXPECT_EQ(startedAfterSlow, 1) << "the new thread's routine started before the old one returned";
    ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 1; }));  // the old one ended
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
    EXPECT_TRUE(ConfigItems[0].ItemData.Lines.empty());
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"ordered"});
}

TEST_F(CollectorHarness, ARoutineThatOutlivesTheTurnWaitIsLoggedAndTheCollectionGoesOn) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 50;
    CollectorSettings.TurnWaitMs = 200;
    StartCollector();
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    StopCollector();
    ConfigItems[0].Active = false;
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    StartCollector();
    // The held routine broke its time limit: past the wait, the new thread goes on.
    ASSERT_TRUE(PumpUntil([] { return calls[0] == 1; }));
    // The configured error text, whatever an earlier test of the same process left in it.
    EXPECT_EQ(log_.Count(L"ERROR", L"TCollector: " + ErrorPrefix() +
                                       L"the gathering routine of the previous collection thread did "
                                       L"not return within 200 ms; the collection goes on beside it"),
              1);
    SetEvent(release);
    ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 1; }));
}

TEST_F(CollectorHarness, AThreadWaitingForItsTurnEndsOnItsStop) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 50;
    StartCollector();
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    StopCollector();
    ConfigItems[0].Active = false;
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    StartCollector();
    ASSERT_TRUE(PumpUntil([this] { return log_.Count(L"WARN", L"TCollector: waiting for a gathering routine of the previous collection thread to return") == 1; }));
    // Stopped while it waits: it leaves without running its routine (a bound that a
    // loaded host keeps, not the 50 ms that let the first stop give up).
    CollectorSettings.StopWaitMs = 5000;
    EXPECT_TRUE(StopCollector());
    EXPECT_EQ(TCollector::LiveCount(), 1);
    SetEvent(release);
    ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 0; }));
    EXPECT_EQ(calls[0], 0);
}

TEST_F(CollectorHarness, TheStopsWaitServesTheWindowsOtherMessages) {
    // The routine returns only once the window thread has handled a posted message: a
    // stop whose wait serves only synchronised calls would give up at its bound.
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HWND window = PostTarget();
    ASSERT_NE(window, nullptr);
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 3000;
    CollectorStopServeHook = [] {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    };
    StartCollector();
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    ASSERT_TRUE(PostMessageW(window, WM_APP, 0, 0));
    const bool ended = StopCollector();
    CollectorStopServeHook = nullptr;
    DestroyWindow(window);
    EXPECT_TRUE(ended) << "the posted message waited for the stop's end";
    EXPECT_EQ(TCollector::LiveCount(), 0);
}

TEST_F(CollectorHarness, ACopyOfAPageJustLeftIsNotCollectedBeforeTheNextExchange) {
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 1, 1));
    TConfigItem set = MakeItem("SET", Counting<1>, 1, 1);
    set.AlwaysCollect = true;
    ConfigItems.push_back(set);
    ASSERT_TRUE(Start());
    ASSERT_EQ(calls[0], 1);
    ASSERT_EQ(calls[1], 1);
    // The page changes; the thread still holds the copies of page 1 until an exchange.
    CurrentPage = 2;
    fakeTick += 1000;
    ASSERT_TRUE(PassKeepingResults());
    EXPECT_EQ(calls[0], 1) << "an item of the page just left ran once more";
    EXPECT_EQ(calls[1], 2) << "an item collected whatever the page";
}

TEST_F(CollectorHarness, OnlyTheLatestResultOfAnItemWaitsForTheWindowThread) {
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 1));
    ConfigItems.push_back(MakeItem("TEXT", Counting<1>, 1));
    ASSERT_TRUE(StartKeepingResults());
    for (int pass = 0; pass < 30; ++pass) {
        fakeTick += 1000;
        ASSERT_TRUE(PassKeepingResults());
    }
    EXPECT_EQ(calls[0], 31);
    ASSERT_NE(CollectorThread, nullptr);
    EXPECT_EQ(CollectorThread->ResultsWaiting(), 2u);
    DeliverCollectedItems();
    EXPECT_EQ(ConfigItems[0].ItemData.Lines, TWideStringArray{L"run 31"});
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"run 31"});
}

TEST_F(CollectorHarness, AThreadThatOutlivesItsStopReadsTheTextsItStartedWith) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CollectorSettings.StopWaitMs = 20;
    for (int round = 0; round < 25; ++round) {
        const std::wstring n = std::to_wstring(round);
        const TSeenTexts old{L"[old " + n + L"] ", L"old n/a " + n, L"old null " + n, {L"f" + n + L"=1"}};
        ErrorText = old.Error;
        NoResultsText = old.NoResults;
        NullResultText = old.Null;
        UserFunctions = old.Functions;
        ResetEvent(release);
        seenSteady = false;
        FreeConfigItems(ConfigItems);
        ConfigItems.push_back(MakeItem("TEXT", ReadingTexts, 0));
        StartCollector();
        ASSERT_TRUE(WaitServingCalls(entered, 10000));
        StopCollector();  // the routine is blocked: past the bound the thread goes on alone
        ASSERT_EQ(TCollector::LiveCount(), 1);
        // The reload rewrites them, once before the routine reads and on and on while it does.
        int k = 0;
        const auto rewrite = [&k] {
            const std::wstring m = std::to_wstring(++k);
            ErrorText = L"[new " + m + L"] ";
            NoResultsText = L"new n/a " + m;
            NullResultText = L"new null " + m;
            UserFunctions = {L"g" + m + L"=2", L"h=3"};
        };
        rewrite();
        SetEvent(release);
        const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const DWORD start = GetTickCount();
        while (TCollector::LiveCount() > 0 && GetTickCount() - start < 10000) {
            rewrite();
            WaitServingCalls(never.get(), 1);
        }
        ASSERT_EQ(TCollector::LiveCount(), 0);
        EXPECT_EQ(seenTexts.Error, old.Error) << round;
        EXPECT_EQ(seenTexts.NoResults, old.NoResults) << round;
        EXPECT_EQ(seenTexts.Null, old.Null) << round;
        EXPECT_EQ(seenTexts.Functions, old.Functions) << round;
        EXPECT_TRUE(seenSteady) << round;
    }
    InitDefaultTexts();
    UserFunctions.clear();
}

TEST(ReloadedTexts, AThreadWithItsOwnCopyReadsOnlyThatCopy) {
    ErrorText = L"[window] ";
    UserFunctions = {L"a=1"};
    auto copy = CopyReloadedTexts();
    EXPECT_EQ(copy->ErrorText, L"[window] ");
    {
        const TOwnReloadedTexts own(copy);
        ErrorText = L"[reloaded] ";  // written to the loader's values
        UserFunctions = {L"b=2"};
        EXPECT_EQ(ErrorText, L"[window] ");
        EXPECT_EQ(UserFunctions, std::vector<std::wstring>{L"a=1"});
        auto inner = std::make_shared<TReloadedTexts>();
        inner->ErrorText = L"[inner] ";
        {
            const TOwnReloadedTexts nested(inner);
            EXPECT_EQ(L"x " + ErrorText + L"y", L"x [inner] y");
        }
        EXPECT_EQ(ErrorText, L"[window] ");
    }
    EXPECT_EQ(ErrorText, L"[reloaded] ");
    EXPECT_EQ(UserFunctions, std::vector<std::wstring>{L"b=2"});
    // Other threads without a copy read the loader's values.
    std::wstring other;
    std::thread([&] { other = ErrorText; }).join();
    EXPECT_EQ(other, L"[reloaded] ");
    InitDefaultTexts();
    UserFunctions.clear();
}

TEST_F(CollectorHarness, HundredStartStopCyclesLeaveNoThread) {
    CollectorSettings = TCollectorSettings{};  // the real tick count and pause
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 1));
    StartCollector();
    StopCollector();
    const int before = ThreadCount();
    for (int i = 0; i < 100; ++i) {
        StartCollector();
        if (i % 10 == 0) PumpUntil([] { return calls[0] > 0; }, 2000);
        StopCollector();
    }
    EXPECT_EQ(CollectorThread, nullptr);
    EXPECT_EQ(TCollector::LiveCount(), 0);
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_GT(calls[0], 0);
}

TEST(CollectorStop, WithoutAThreadDoesNothing) {
    ASSERT_EQ(CollectorThread, nullptr);
    StopCollector();
    EXPECT_EQ(CollectorThread, nullptr);
}

// ---- the hooks ------------------------------------------------------------------------------

namespace {

class CollectorHooks : public ::testing::Test {
protected:
    void SetUp() override {
        FreeConfigItems(ConfigItems);
        CurrentPage = 1;
    }
    void TearDown() override {
        FreeConfigItems(ConfigItems);
        CurrentPage = -1;
    }
};

std::vector<std::wstring> OptionNames(const TItemOptionArray& options) {
    std::vector<std::wstring> names;
    for (const TItemOption& o : options)
        if (!o.Name.empty()) names.push_back(o.Name);
    return names;
}

}  // namespace

TEST_F(CollectorHooks, CountIsTheNumberOfItems) {
    ConfigItems.resize(3);
    std::int32_t count = -1;
    CollectorCountHook(nullptr, count);
    EXPECT_EQ(count, 3);
}

TEST_F(CollectorHooks, FetchAddsItsOptionsDroppingThoseThatDoNotFit) {
    struct Row {
        int own;                       // options of the item line
        const wchar_t* ownName;        // a name used by the line, or null
        std::vector<std::wstring> added;
    } rows[] = {
        {0, nullptr, {L"item", L"config", L"num", L"mainform", L"crc32"}},
        {16, nullptr, {L"item", L"config", L"num", L"mainform", L"crc32"}},
        {17, nullptr, {L"item", L"config", L"num", L"mainform"}},
        {18, nullptr, {L"item", L"config", L"num"}},
        {19, nullptr, {L"item", L"config"}},
        {20, nullptr, {L"item"}},
        {21, nullptr, {}},
        {20, L"ITEM", {L"item", L"config"}},  // a name already there is overwritten in place
    };
    for (const Row& r : rows) {
        FreeConfigItems(ConfigItems);
        ConfigItems.resize(2);
        TConfigItem& live = ConfigItems[1];
        live.Keyword = "TEXT";
        live.Page = 1;
        live.InstanceNo = 3;
        live.LineCrc = 0xFFFFFFFFu;
        for (int i = 0; i < r.own; ++i)
            live.Options[static_cast<std::size_t>(i)] = {L"opt" + std::to_wstring(i), Variant(L"v")};
        if (r.ownName) live.Options[0].Name = r.ownName;

        TConfigItem copy;
        CollectorFetchHook(nullptr, 1, copy);
        std::vector<std::wstring> added;
        for (const std::wstring& name : OptionNames(ConfigItems[1].Options))
            if (name.rfind(L"opt", 0) != 0) added.push_back(name);
        EXPECT_EQ(added, r.added) << r.own;
        EXPECT_EQ(copy.Keyword, "TEXT");
        EXPECT_EQ(OptionNames(copy.Options), OptionNames(ConfigItems[1].Options)) << r.own;
    }
}

TEST_F(CollectorHooks, FetchOptionValues) {
    ConfigItems.resize(2);
    ConfigItems[1].Page = 1;
    ConfigItems[1].InstanceNo = 3;
    ConfigItems[1].LineCrc = 0xFFFFFFFFu;
    TConfigItem copy;
    CollectorFetchHook(nullptr, 1, copy);
    EXPECT_EQ(GetItemOption(copy.Options, L"item", Variant()), Variant(std::int32_t{1}));
    EXPECT_EQ(GetItemOption(copy.Options, L"config", Variant()).ToInt64(),
              static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&ConfigItems)));
    EXPECT_EQ(GetItemOption(copy.Options, L"num", Variant()), Variant(std::int32_t{3}));
    EXPECT_EQ(GetItemOption(copy.Options, L"mainform", Variant()).ToInt64(), 0);
    EXPECT_EQ(GetItemOption(copy.Options, L"crc32", Variant()), Variant(4294967295.0));
}

TEST_F(CollectorHooks, FetchSkipsOtherPagesAndBadIndexes) {
    ConfigItems.resize(2);
    ConfigItems[0].Keyword = "TEXT";
    ConfigItems[0].Page = 2;
    ConfigItems[1].Keyword = "SET";
    ConfigItems[1].Page = 2;
    ConfigItems[1].AlwaysCollect = true;

    TConfigItem copy;
    CollectorFetchHook(nullptr, 0, copy);
    EXPECT_TRUE(copy.Keyword.empty());
    EXPECT_TRUE(OptionNames(ConfigItems[0].Options).empty());

    CollectorFetchHook(nullptr, 1, copy);
    EXPECT_EQ(copy.Keyword, "SET");

    // An index outside the items: fetch leaves the copy cleared, store changes and logs
    // nothing. The stored copy is an IF item whose false value would switch the item
    // after the index off.
    ConfigItems[0].Active = true;
    ConfigItems[1].Active = true;
    LogCapture log;
    for (std::int32_t bad : {-1, -2, 2, 3, 1000}) {
        TConfigItem none;
        CollectorFetchHook(nullptr, bad, none);
        EXPECT_TRUE(none.Keyword.empty()) << bad;
        TConfigItem work;
        work.Keyword = "IF";
        work.ItemData.Data = {{Variant(false)}};
        work.ItemData.Lines = {L"stored"};
        work.Collected = true;
        work.LastTick = 77;
        CollectorStoreHook(nullptr, bad, work);
    }
    for (const TConfigItem& item : ConfigItems) {
        EXPECT_TRUE(item.Active) << item.Keyword;
        EXPECT_TRUE(item.ItemData.Lines.empty()) << item.Keyword;
        EXPECT_FALSE(item.Collected) << item.Keyword;
        EXPECT_EQ(item.LastTick, 0u) << item.Keyword;
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(CollectorHooks, StoreReplacesOnlyTheResultFields) {
    ConfigItems.resize(1);
    TConfigItem& live = ConfigItems[0];
    live.Keyword = "TEXT";
    live.Text = L"label";
    live.Color = 5;
    live.Interval = 7;
    live.Options[0] = {L"display", Variant(L"%1")};

    TConfigItem work;
    work.Keyword = "OTHER";
    work.Text = L"changed";
    work.Color = 9;
    work.Interval = 1;
    work.ItemData.TimeCollected = 45000.5;
    work.ItemData.Names = {L"a"};
    work.ItemData.Data = {{Variant(std::int32_t{1})}};
    work.ItemData.Lines = {L"one"};
    work.Collected = true;
    work.LastTick = 1234;
    work.Hidden = 2;
    work.LineColors = {{0, 255}};
    CollectorStoreHook(nullptr, 0, work);

    EXPECT_EQ(live.ItemData.TimeCollected, 45000.5);
    EXPECT_EQ(live.ItemData.Names, TWideStringArray{L"a"});
    EXPECT_EQ(live.ItemData.Lines, TWideStringArray{L"one"});
    EXPECT_EQ(live.ItemData.Data.size(), 1u);
    EXPECT_TRUE(live.Collected);
    EXPECT_EQ(live.LastTick, 1234u);
    EXPECT_EQ(live.Hidden, 2);
    ASSERT_EQ(live.LineColors.size(), 1u);
    EXPECT_EQ(live.LineColors[0].Color, 255);
    EXPECT_EQ(live.Keyword, "TEXT");
    EXPECT_EQ(live.Text, L"label");
    EXPECT_EQ(live.Color, 5);
    EXPECT_EQ(live.Interval, 7);
    EXPECT_TRUE(live.Options[1].Name.empty());
}

TEST_F(CollectorHooks, IfRule) {
    struct Row {
        const char* keyword;
        TDataArray rows;
        bool before;
        bool after;
    } rows[] = {
        {"IF", {{Variant(false)}}, true, false},
        {"IF", {{Variant(true)}}, false, true},
        {"IF", {{Variant(std::int32_t{0})}}, true, false},
        {"IF", {{Variant(std::int32_t{2})}}, false, true},
        {"IF", {{Variant(L"True")}}, false, true},
        {"IF", {{Variant(L"false")}}, true, false},
        {"IF", {{Variant(L"maybe")}}, true, true},   // no boolean: unchanged
        {"IF", {{Variant(L"maybe")}}, false, false},
        {"IF", TDataArray{TVarArray{}}, true, true},  // first row without values
        {"IF", {}, false, false},                    // no rows
        {"If", {{Variant(false)}}, true, true},      // the keyword is compared exactly
        {"TEXT", {{Variant(false)}}, true, true},
    };
    for (const Row& r : rows) {
        FreeConfigItems(ConfigItems);
        ConfigItems.resize(2);
        ConfigItems[1].Active = r.before;
        TConfigItem work;
        work.Keyword = r.keyword;
        work.ItemData.Data = r.rows;
        CollectorStoreHook(nullptr, 0, work);
        EXPECT_EQ(ConfigItems[1].Active, r.after) << r.keyword << " " << r.rows.size();
    }
    // The last item has no next item to switch.
    FreeConfigItems(ConfigItems);
    ConfigItems.resize(1);
    ConfigItems[0].Active = true;
    TConfigItem work;
    work.Keyword = "IF";
    work.ItemData.Data = {{Variant(false)}};
    CollectorStoreHook(nullptr, 0, work);
    EXPECT_TRUE(ConfigItems[0].Active);
}

TEST_F(CollectorHooks, ReportLogsKeywordLidAndResult) {
    LogCapture log;
    TConfigItem uptime, host;
    uptime.Keyword = "UPTIME";
    uptime.Options[0] = {L"LID", Variant(L"up1")};
    host.Keyword = "HOST";
    CollectorReportHook(nullptr, uptime, L"True");
    CollectorReportHook(nullptr, host, L"False");
    EXPECT_EQ(log.At(L"DATA"), (std::vector<std::wstring>{L"UPTIME (up1) True", L"HOST () False"}));
}

// ---- one collection --------------------------------------------------------------------------

namespace {

std::uint32_t TickAt5000() { return 5000; }
std::uint32_t TickAtZero() { return 0; }

}  // namespace

TEST(CollectorGetItemData, NoResultAndHiddenStates) {
    struct Row {
        TGatherProc proc;
        bool hideNoResult;
        std::int32_t hiddenBefore;
        TWideStringArray lines;
        std::int32_t hiddenAfter;
    } rows[] = {
        {Silent, false, 0, {L"<n/a>"}, 0},
        {Silent, true, 0, {}, 2},
        {Silent, true, 1, {}, 1},          // hidden by option stays so
        {Counting<5>, false, 2, {L"run"}, 0},
        {Counting<5>, true, 2, {L"run"}, 0},
        {Counting<5>, false, 1, {L"run"}, 1},
    };
    NoResultsText = L"<n/a>";
    for (const Row& r : rows) {
        TConfigItem item = MakeItem("TEXT", r.proc, 0);
        item.HideNoResult = r.hideNoResult;
        item.Hidden = r.hiddenBefore;
        item.LineColors = {{4, 4}};
        EXPECT_TRUE(GetItemData(item, TickAt5000));
        TWideStringArray lines = item.ItemData.Lines;
        for (auto& l : lines)
            if (l.rfind(L"run", 0) == 0) l = L"run";
        EXPECT_EQ(lines, r.lines);
        EXPECT_EQ(item.Hidden, r.hiddenAfter);
        EXPECT_TRUE(item.LineColors.empty());
        EXPECT_EQ(item.LastTick, 5000u);
        EXPECT_TRUE(item.Collected);
    }
}

TEST(CollectorGetItemData, CommentIsNotCollected) {
    TConfigItem item = MakeItem("COMMENT", nullptr, 0);
    item.ItemData.Lines = {L"kept"};
    int reports = 0;
    EXPECT_FALSE(GetItemData(item, TickAt5000, [&reports](bool) { ++reports; }));
    EXPECT_EQ(reports, 0);
    EXPECT_EQ(item.LastTick, 0u);
    EXPECT_FALSE(item.Collected);
    EXPECT_EQ(item.ItemData.Lines, TWideStringArray{L"kept"});
    EXPECT_EQ(item.ItemData.TimeCollected, 0.0);
}

TEST(CollectorGetItemData, FailureStillStampsTheWorkCopy) {
    TConfigItem item = MakeItem("TEXT", Failing, 0);
    std::vector<bool> reports;
    EXPECT_FALSE(GetItemData(item, TickAt5000, [&reports](bool result) { reports.push_back(result); }));
    EXPECT_EQ(item.LastTick, 5000u);
    EXPECT_EQ(reports, std::vector<bool>{false});
}

TEST(CollectorGetItemData, CollectionAtTickZeroIsNotTakenForNever) {
    TConfigItem item = MakeItem("TEXT", Counting<5>, 0);
    EXPECT_TRUE(GetItemData(item, TickAtZero));
    EXPECT_NE(item.LastTick, 0u);
}

// ---- threshold colours -------------------------------------------------------------------------

namespace {

TThreshold Rule(std::int32_t level, double value, std::int32_t color) {
    return {level, static_cast<std::int64_t>(value * 10000), color};
}

using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

Pairs ColorsFor(const char* keyword, const wchar_t* display, TDataArray rows, std::array<TThreshold, 3> rules,
                TWideStringArray names = {}) {
    TConfigItem item;
    item.Keyword = keyword;
    if (display) item.Options[0] = {L"display", Variant(display)};
    item.ItemData.Data = std::move(rows);
    item.ItemData.Names = std::move(names);
    item.Thresholds = rules;
    ApplyThresholdColors(item);
    Pairs pairs;
    for (const TLineColor& c : item.LineColors) pairs.push_back({c.Line, c.Color});
    return pairs;
}

Variant I(std::int32_t v) { return Variant(v); }

}  // namespace

TEST(CollectorThresholds, Table) {
    struct Row {
        const char* name;
        const char* keyword;
        const wchar_t* display;
        TDataArray rows;
        std::array<TThreshold, 3> rules;
        TWideStringArray names;
        Pairs expected;
    } rows[] = {
        {"two lines per row, value 2 met in row 1", "TEXT", L"%1|%2", {{I(0), I(0)}, {I(0), I(9)}},
         {Rule(2, 5, 7), {}, {}}, {}, {{3, 7}}},
        {"default display %1", "TEXT", nullptr, {{I(6)}}, {Rule(1, 5, 1), {}, {}}, {}, {{0, 1}}},
        {"level 3 on rows of three", "TEXT", L"%1 %2 %3", {{I(0), I(0), I(8)}}, {Rule(3, 5, 2), {}, {}}, {}, {{0, 2}}},
        {"level 3 on rows of two is skipped", "TEXT", L"%1 %2 %3", {{I(9), I(9)}}, {Rule(3, 5, 2), {}, {}}, {}, {}},
        {"-5 met by 5 and below", "TEXT", L"%1", {{I(4)}, {I(5)}, {I(6)}}, {Rule(1, -5, 3), {}, {}}, {},
         {{0, 3}, {1, 3}}},
        {"5 met by 5 and above", "TEXT", L"%1", {{I(4)}, {I(5)}, {I(6)}}, {Rule(1, 5, 3), {}, {}}, {},
         {{1, 3}, {2, 3}}},
        {"0 never", "TEXT", L"%1", {{I(0)}, {I(-1)}, {I(1)}}, {Rule(1, 0, 3), {}, {}}, {}, {}},
        {"level 0 unused", "TEXT", L"%1", {{I(9)}}, {Rule(0, 5, 3), {}, {}}, {}, {}},
        {"third rule first, rows in order", "TEXT", L"%1", {{I(10)}, {I(20)}},
         {Rule(1, 5, 1), Rule(1, 15, 2), Rule(1, 1, 3)}, {}, {{0, 3}, {1, 3}, {1, 2}, {0, 1}, {1, 1}}},
        {"non-numeric text never meets", "TEXT", L"%1", {{Variant(L"high")}, {Variant(L"7")}},
         {Rule(1, 5, 1), Rule(1, -5, 2), {}}, {}, {{1, 1}}},
        {"empty and null values", "TEXT", L"%1", {{Variant()}, {Variant::Null()}}, {Rule(1, -5, 1), {}, {}}, {}, {}},
        {"currency values", "TEXT", L"%1", {{Variant::FromCurrency(5.5)}}, {Rule(1, 5.5, 1), {}, {}}, {}, {{0, 1}}},
        {"tag not in the template", "TEXT", L"%1", {{I(1), I(9)}}, {Rule(2, 5, 1), {}, {}}, {}, {}},
        {"tag after two bars", "TEXT", L"a|b|%1", {{I(9)}, {I(9)}}, {Rule(1, 5, 1), {}, {}}, {}, {{2, 1}, {5, 1}}},
        {"WMI tags by value name", "WMI", L"x|Load=%2|Name", {{I(9), I(9)}}, {Rule(1, 5, 4), Rule(2, 5, 5), {}},
         {L"Name", L"Load"}, {{1, 5}, {2, 4}}},
        {"WMI rule without a name adds nothing", "WMI", L"%1", {{I(9), I(9)}}, {Rule(2, 5, 4), {}, {}}, {L"Name"}, {}},
        {"fractional threshold", "TEXT", L"%1", {{Variant(2.5)}, {Variant(2.4)}}, {Rule(1, 2.5, 6), {}, {}}, {},
         {{0, 6}}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ColorsFor(r.keyword, r.display, r.rows, r.rules, r.names), r.expected) << r.name;
}
