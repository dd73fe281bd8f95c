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
std::atomic<int> slowEntries{0};
void Slow(TItemOptionArray, TItemData& Data, std::wstring& Display) {
    ++slowEntries;
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

// A turn of the test's own: its routines note how many of them run at once.
std::atomic<int> insideTurn{0}, mostInsideTurn{0};
struct TInsideTurn {
    TInsideTurn() {
        const int now = ++insideTurn;
        int most = mostInsideTurn;
        while (now > most && !mostInsideTurn.compare_exchange_weak(most, now)) {
        }
    }
    ~TInsideTurn() { --insideTurn; }
    TInsideTurn(const TInsideTurn&) = delete;
    TInsideTurn& operator=(const TInsideTurn&) = delete;
};
std::wstring TurnA(const TItemOptionArray&) { return L"test turn A"; }

// Holds its turn until the test releases it.
void HeldInTurn(TItemOptionArray, TItemData&, std::wstring& Display) {
    const TInsideTurn inside;
    SetEvent(entered);
    WaitForSingleObject(release, 30000);
    Display = L"held";
}

template <int N>
void CountingInTurn(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    const TInsideTurn inside;
    Counting<N>(Options, Data, Display);
}

std::atomic<DWORD> seenThread{0};
void ProbingInTurn(TItemOptionArray, TItemData&, std::wstring& Display) {
    seenPriority = GetThreadPriority(GetCurrentThread());
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    seenComResult = hr;
    if (SUCCEEDED(hr)) CoUninitialize();
    seenThread = GetCurrentThreadId();
    Display = L"probed";
}

// The ERROR lines of items held back by their turn (the time they name left aside).
int HeldLines(const LogCapture& Log) {
    const std::wstring held =
        L"TCollector: " + ErrorText + L"TEXT () not collected: a gathering routine of the same source has been running for ";
    int n = 0;
    for (const std::wstring& line : Log.At(L"ERROR"))
        if (line.rfind(held, 0) == 0) ++n;
    return n;
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

TConfigItem InTurnA(TConfigItem Item) {
    Item.TurnOf = TurnA;
    return Item;
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
        insideTurn = mostInsideTurn = 0;
        seenThread = 0;
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
        if (release) SetEvent(release);
        StopCollector();
        CollectorResultsHook = nullptr;
        PumpUntil([] { return TCollector::LiveCount() == 0 && TCollector::RunningCount() == 0; });
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
    // Passes until item Index has been collected and stored at the tick of the pass (an
    // item of a turn of its own is gathered beside the pass).
    bool PassStoring(std::size_t Index) {
        if (!NextPass()) return false;
        return PumpUntil([Index] {
            DeliverCollectedItems();
            return ConfigItems.at(Index).LastTick == fakeTick.load();
        });
    }
    // Passes, a second of the test's tick apart, until Done holds.
    template <typename F>
    bool PassUntil(F Done) {
        return PumpUntil([this, &Done] {
            fakeTick += 1000;
            NextPass();
            return Done();
        });
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

    // A new thread may start meanwhile, but runs no routine of the turn the old one holds:
    // its item says so once, at once, and is collected once the turn is free; the items
    // of other turns keep their interval. The old one's late result goes nowhere.
    ConfigItems[0].Active = false;
    ConfigItems.push_back(MakeItem("TEXT", RecordingOrder, 0));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<2>, 1)));
    slowReturned = false;
    startedAfterSlow = 0;
    ASSERT_TRUE(Start());
    ASSERT_TRUE(PumpUntil([] {
        DeliverCollectedItems();
        return ConfigItems[2].LastTick == fakeTick.load();
    }));
    for (int pass = 0; pass < 5; ++pass) {
        fakeTick += 1000;
        ASSERT_TRUE(PassStoring(2)) << "an item of another turn kept waiting";
    }
    EXPECT_EQ(calls[2], 6);
    EXPECT_EQ(calls[1], 0) << "a second routine ran beside the first";
    EXPECT_EQ(HeldLines(log_), 1) << "said at once, and once";
    EXPECT_EQ(log_.Count(L"WARN", L"TCollector: waiting"), 0) << "nothing waits for the turn";
    SetEvent(release);
    ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 1; }));  // the old one ended
    ResetEvent(passDone_.get());  // the old one's pass ended too
    ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[1], 1);
    EXPECT_EQ(startedAfterSlow, 1) << "the new thread's routine started before the old one returned";
    EXPECT_EQ(ConfigItems[0].LastTick, 0u);
    EXPECT_TRUE(ConfigItems[0].ItemData.Lines.empty());
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"ordered"});
}

// A routine held past every limit keeps its turn: no other routine of its turn runs beside
// it, whichever collection asks, and the items of other turns keep their interval.
TEST_F(CollectorHarness, AHeldSourceHoldsBackOnlyTheItemsOfItsTurn) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", HeldInTurn, 0)));
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 1));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<1>, 1)));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    // Past the item time limit, held on: the other items go on at their interval.
    for (int pass = 0; pass < 25; ++pass) {
        fakeTick += 1000;
        ASSERT_TRUE(NextPass());
    }
    EXPECT_EQ(calls[0], 26);
    EXPECT_EQ(calls[1], 0) << "a routine of the held turn ran beside it";
    // Given up at its time limit: each item of its turn says so, once.
    EXPECT_EQ(HeldLines(log_), 2);
    EXPECT_EQ(log_.Count(L"DATA", L"TEXT () False"), 2);

    // A reload meanwhile: the stop does not wait for the routine, which keeps its turn.
    EXPECT_TRUE(StopCollector()) << "the stop waited for a routine of a turn's own thread";
    EXPECT_EQ(TCollector::RunningCount(), 1) << "the routine's thread is left to end on its own";
    ASSERT_TRUE(Start());
    for (int pass = 0; pass < 5; ++pass) {
        fakeTick += 1000;
        ASSERT_TRUE(NextPass());
    }
    EXPECT_EQ(calls[0], 31);
    EXPECT_EQ(calls[1], 0) << "a routine of the held turn ran beside it";
    EXPECT_EQ(HeldLines(log_), 4) << "each item said so once more, at once";
    EXPECT_EQ(mostInsideTurn, 1);

    // Once it has returned, its turn is taken again; its late result went nowhere.
    SetEvent(release);
    ASSERT_TRUE(PumpUntil([] { return TCollector::RunningCount() == 1; }));
    DeliverCollectedItems();
    EXPECT_TRUE(ConfigItems[0].ItemData.Lines.empty());
    ASSERT_TRUE(PassUntil([] { return calls[1] >= 1; }));
    EXPECT_EQ(mostInsideTurn, 1);
    EXPECT_EQ(HeldLines(log_), 4);
}

// Whatever held an item back, it is picked again from what the window thread shows now: an
// item of a page left meanwhile, or one an IF item switched off meanwhile, is not collected.
TEST_F(CollectorHarness, AnItemHeldBackIsPickedAgainOnceItsTurnIsFree) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", HeldInTurn, 0)));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitServingCalls(entered, 10000));
    StopCollector();
    ConfigItems[0].Active = false;
    ifValue = Variant(true);
    ConfigItems.push_back(MakeItem("IF", IfRoutine, 0));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<1>, 0)));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<2>, 0, 1)));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<3>, 0, 2)));
    ASSERT_TRUE(Start());
    EXPECT_EQ(HeldLines(log_), 2);
    // Meanwhile the IF item switches the item after it off, and page 2 is shown.
    ifValue = Variant(false);
    ResetCollectTimes();
    ASSERT_TRUE(NextPass());
    EXPECT_FALSE(ConfigItems[2].Active);
    CurrentPage = 2;
    ASSERT_TRUE(NextPass());
    SetEvent(release);
    ASSERT_TRUE(PassUntil([] { return calls[3] >= 1; }));
    for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(NextPass());
    EXPECT_EQ(calls[1], 0) << "an item the IF item switched off was collected";
    EXPECT_EQ(calls[2], 0) << "an item of the page left was collected";
    EXPECT_EQ(calls[3], 1);
}

// The items of a turn are gathered on a thread of their own, set up as the collection
// thread is, but in the multithreaded apartment.
TEST_F(CollectorHarness, ATurnsItemsAreGatheredOnAThreadOfTheirOwn) {
    collectedOn = 0;
    ConfigItems.push_back(MakeItem("TEXT", NoteThread, 0));
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", ProbingInTurn, 0)));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(PumpUntil([] { return seenThread.load() != 0; }));
    EXPECT_NE(seenThread.load(), collectedOn.load());
    EXPECT_NE(seenThread.load(), GetCurrentThreadId());
    EXPECT_LE(seenPriority.load(), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(seenComResult.load(), S_FALSE) << "already in the multithreaded apartment";
    ASSERT_TRUE(PumpUntil([] {
        DeliverCollectedItems();
        return !ConfigItems[1].ItemData.Lines.empty();
    }));
    EXPECT_EQ(ConfigItems[1].ItemData.Lines, TWideStringArray{L"probed"});
}

TEST_F(CollectorHarness, AStopWhileATurnIsHeldElsewhereEndsAtOnce) {
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", HeldInTurn, 0)));
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 50;
    slowEntries = 0;
    StartCollector();
    ASSERT_TRUE(PumpUntil([] { return insideTurn == 1 && slowEntries == 1; }));
    StopCollector();
    ConfigItems[0].Active = false;
    ConfigItems[1].Active = false;
    ConfigItems.push_back(InTurnA(MakeItem("TEXT", CountingInTurn<1>, 0)));
    ConfigItems.push_back(MakeItem("TEXT", Counting<0>, 0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(HeldLines(log_), 2);
    // Nothing waits for the turn: the stop ends the new thread at once (a bound that a
    // loaded host keeps, not the 50 ms that let the first stop give up).
    CollectorSettings.StopWaitMs = 5000;
    EXPECT_TRUE(StopCollector());
    EXPECT_EQ(TCollector::LiveCount(), 1);
    SetEvent(release);
    ASSERT_TRUE(PumpUntil([] { return TCollector::LiveCount() == 0 && TCollector::RunningCount() == 0; }));
    EXPECT_EQ(calls[0], 0);
    EXPECT_EQ(calls[1], 0);
}

TEST_F(CollectorHarness, TheStopsWaitServesTheWindowsOtherMessages) {
    // The routine returns only once the window thread has handled a posted message: a
    // stop whose wait serves only synchronised calls would give up at its bound.
    release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HWND window = PostTarget();
    ASSERT_NE(window, nullptr);
    ConfigItems.push_back(MakeItem("TEXT", Slow, 0));
    CollectorSettings.StopWaitMs = 3000;
    CollectorStopServeHook = []() -> DWORD {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        return QS_ALLINPUT;
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
