#include "Collector.h"

#include <objbase.h>

#include <algorithm>
#include <chrono>

#include "Checked.h"
#include "Configuration.h"
#include "Errors.h"
#include "Includes.h"
#include "ItemLines.h"
#include "Log.h"
#include "Pipeline.h"
#include "Templates.h"
#include "Utils.h"
#include "WinHandles.h"

TCollectorSettings CollectorSettings;
TCollector* CollectorThread = nullptr;
void (*CollectorResultsHook)() = nullptr;
void (*CollectorThreadBeginHook)() = nullptr;
void (*CollectorThreadEndHook)() = nullptr;
void (*CollectorStopServeHook)() = nullptr;
std::atomic<std::int32_t> CurrentPage{-1};
void* CollectorMainFormAddress = nullptr;

std::atomic<int> TCollector::liveCount_{0};

namespace {

std::uint32_t SystemTick() { return GetTickCount(); }

// Held by the collection thread that runs a gathering routine. A thread that a stop left
// behind still holds it until its routine returns. Never freed: such a thread may release
// it while the program ends.
std::timed_mutex& GatheringTurn() {
    static std::timed_mutex* const turn = new std::timed_mutex;
    return *turn;
}

// The message of anything a pass step raised.
std::wstring CaughtText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return ExceptionText(e);
    } catch (...) {
        return L"Exception Unknown exception";
    }
}

// DATADUMP reads the live item array (through its "config" option): the results
// collected before it are stored first.
bool ReadsLiveItems(const TConfigItem& Item) { return Item.Keyword == "DATADUMP"; }

bool IndexInItems(std::int32_t Index) {
    return Index >= 0 && static_cast<std::size_t>(Index) < ConfigItems.size();
}

std::int32_t CountBars(const std::wstring& Text, std::size_t End) {
    return static_cast<std::int32_t>(std::count(Text.begin(), Text.begin() + static_cast<std::ptrdiff_t>(End), L'|'));
}

// Whether a value meets a threshold of T (already divided by 10000). The value is
// converted to a number first: text that is no number, and null, meet nothing.
bool ThresholdMet(const Variant& Value, double T) {
    if (T == 0) return false;
    double v;
    try {
        v = Value.ToDouble();
    } catch (...) {
        return false;
    }
    return T > 0 ? v >= T : v <= -T;
}

}  // namespace

// ---- the thread -------------------------------------------------------------------------

TCollector::TCollector(const TCollectorSettings& Settings)
    : tick_(Settings.Tick ? Settings.Tick : SystemTick), passSleep_(Settings.PassSleep),
      reset_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), passSleepMs_(Settings.PassSleepMs),
      texts_(CopyReloadedTexts()) {
    ++liveCount_;
}

TCollector::~TCollector() { --liveCount_; }

void TCollector::ClearHooks() {
    OnCountProc = nullptr;
    OnFetchProc = nullptr;
    OnStoreProc = nullptr;
    OnReportProc = nullptr;
}

void TCollector::Execute() {
    const TOwnReloadedTexts ownTexts(texts_);
    // Background mode is refused on some systems (and under Wine); the lowest priority
    // then keeps the collection out of the window thread's way.
    if (!SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN))
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
    comInitialized_ = SUCCEEDED(CoInitialize(nullptr));
    if (void (*begin)() = CollectorThreadBeginHook; begin && comInitialized_) begin();
    while (!Terminated()) {
        RunPass();
        // The first results after a start or a reset are shown at once, not at the next tick.
        if (announce_ && ResultsWaiting() > 0 && !Terminated()) {
            announce_ = false;
            if (void (*hook)() = CollectorResultsHook) PostToWindowThread(hook);
        }
        if (passSleep_)
            passSleep_(*this);
        else
            SleepUnlessTerminated(passSleepMs_, reset_.get());
    }
}

void TCollector::DoTerminate() {
    if (void (*end)() = CollectorThreadEndHook; end && comInitialized_) end();
    if (comInitialized_) CoUninitialize();
    comInitialized_ = false;
}

void TCollector::RunPass() {
    std::int32_t next = 0;
    bool exchanged = false;
    while (!Terminated()) {
        bool picked = false;
        // One item's failure (a hook that raised, say) costs that item, not the pass.
        try {
            std::int32_t index = 0;
            std::uint32_t generation = 0;
            if (!NextDueItem(next, index, generation)) break;
            // A routine that reads the live items sees every earlier result stored.
            if (!exchanged && ReadsLiveItems(WorkItem) && ResultsWaiting() > 0) {
                exchanged = true;
                WorkItem = TConfigItem{};
                SyncExchange();
                continue;
            }
            exchanged = false;
            picked = true;
            next = CheckedAdd(index, std::int32_t{1});
            ItemIndex = index;
            std::unique_lock<std::timed_mutex> turn(GatheringTurn(), std::defer_lock);
            if (!TakeGatheringTurn(turn)) break;
            const bool collected = GetItemData();
            turn.unlock();
            if (collected) {
                const bool switchesNext = WorkItem.Keyword == "IF";
                PutInTray(index, generation);
                // The item after an IF item is switched by the store, before its turn.
                if (switchesNext) SyncExchange();
            }
        } catch (...) {
            WriteLog(L"TCollector: " + ErrorText + CaughtText(std::current_exception()), llError);
            exchanged = false;
            if (!picked) ++next;  // the failure was in finding the item: go past it
        }
        WorkItem = TConfigItem{};
    }
}

bool TCollector::TakeGatheringTurn(std::unique_lock<std::timed_mutex>& Turn) {
    if (Turn.try_lock()) return true;
    WriteLog(L"TCollector: waiting for a gathering routine of the previous collection thread to return", llWarn);
    while (!Terminated())
        if (Turn.try_lock_for(std::chrono::milliseconds(50))) return true;
    return false;
}

void TCollector::PutInTray(std::int32_t Index, std::uint32_t Generation) {
    const std::lock_guard<std::mutex> guard(lock_);
    // One result per item waits: while no tick takes them, the newest replaces the older.
    for (TCollected& waiting : tray_)
        if (waiting.Index == Index) {
            waiting.Generation = Generation;
            waiting.Sequence = ++sequence_;
            waiting.Item = std::move(WorkItem);
            return;
        }
    tray_.push_back(TCollected{Index, Generation, ++sequence_, std::move(WorkItem)});
}

bool TCollector::NextDueItem(std::int32_t From, std::int32_t& Index, std::uint32_t& Generation) {
    const std::uint32_t now = tick_();
    // The page shown now: a copy of a page just left is not collected once more before
    // the next exchange takes it away.
    const std::int32_t page = CurrentPage.load();
    const std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t i = static_cast<std::size_t>(std::max(From, std::int32_t{0})); i < copies_.size(); ++i) {
        const TConfigItem& copy = copies_[i];
        if (!copy.Active) continue;
        if (!copy.AlwaysCollect && copy.Page != page) continue;
        // The latest result not yet exchanged stands for what the store will write.
        const TCollected* waiting = nullptr;
        for (auto it = tray_.rbegin(); it != tray_.rend(); ++it)
            if (static_cast<std::size_t>(it->Index) == i) {
                waiting = &*it;
                break;
            }
        std::uint32_t lastTick = copy.LastTick;
        if (waiting) lastTick = waiting->Generation == generation_ ? waiting->Item.LastTick : 0;
        if (!IsItemDue(lastTick, copy.Interval, now)) continue;
        WorkItem = copy;
        if (waiting) CopyResultFields(WorkItem, waiting->Item);
        WorkItem.LastTick = lastTick;
        Index = static_cast<std::int32_t>(i);
        Generation = generation_;
        return true;
    }
    return false;
}

void TCollector::SyncExchange() {
    Synchronize([this] {
        if (!Terminated()) Exchange();
    });
}

std::size_t TCollector::Exchange() {
    std::vector<TCollected> results;
    std::uint32_t generation = 0;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        results = tray_;
        generation = generation_;
    }
    std::size_t stored = 0;
    const TCollectorItemProc store = OnStoreProc;
    for (TCollected& r : results) {
        if (r.Generation != generation) r.Item.LastTick = 0;
        if (store && !Terminated()) {
            store(this, r.Index, r.Item);
            ++stored;
        }
    }
    // Fresh copies of what the store just wrote (and of the IF rule's switches).
    std::int32_t count = 0;
    if (const TCollectorCountProc countProc = OnCountProc; countProc && !Terminated()) countProc(this, count);
    spare_.resize(static_cast<std::size_t>(std::max(count, std::int32_t{0})));
    const TCollectorFetchProc fetch = Terminated() ? nullptr : OnFetchProc.load();
    for (std::size_t i = 0; i < spare_.size(); ++i)
        if (!fetch || !fetch(this, static_cast<std::int32_t>(i), spare_[i])) spare_[i] = TConfigItem{};
    {
        const std::lock_guard<std::mutex> guard(lock_);
        copies_.swap(spare_);
        // What the thread added or replaced meanwhile stays for the next exchange.
        std::erase_if(tray_, [&results](const TCollected& waiting) {
            return std::any_of(results.begin(), results.end(),
                               [&waiting](const TCollected& r) { return r.Sequence == waiting.Sequence; });
        });
    }
    return stored;
}

void TCollector::ResetTimes() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        ++generation_;
    }
    Exchange();
    // Every item of the shown page is due now: collect them without waiting out the pause.
    announce_ = true;
    if (reset_.valid()) SetEvent(reset_.get());
}

std::size_t TCollector::ResultsWaiting() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return tray_.size();
}

void TCollector::Report(bool Result) {
    ResultText = BoolToText(Result);
    if (const TCollectorReportProc report = OnReportProc; report && !Terminated()) report(this, WorkItem, ResultText);
}

bool TCollector::GetItemData() {
    return ::GetItemData(WorkItem, tick_, [this](bool result) { Report(result); });
}

// ---- collection of one item -------------------------------------------------------------

bool IsItemDue(std::uint32_t LastTick, std::int32_t Interval, std::uint32_t Now) {
    if (LastTick == 0) return true;
    if (Interval <= 0) return false;
    const std::uint32_t elapsed = Now - LastTick;  // modulo 2^32: right across the wrap
    return static_cast<std::uint64_t>(elapsed) >= static_cast<std::uint64_t>(Interval) * 1000u;
}

bool GetItemData(TConfigItem& Item, TTickSource Tick, const std::function<void(bool Result)>& Report) {
    if (!Item.GatherProc) return false;
    const bool result = DoProc(Item.GatherProc, Item.Options, Item.ItemData);
    Item.LineColors.clear();
    if (Item.ItemData.Lines.empty()) {
        if (!Item.HideNoResult)
            Item.ItemData.Lines = {NoResultsText};
        else if (Item.Hidden == 0)
            Item.Hidden = 2;
    } else {
        ApplyThresholdColors(Item);
        if (Item.Hidden == 2) Item.Hidden = 0;
    }
    // 0 means "never collected": a collection at the tick count's zero is stamped 1 ms on.
    const std::uint32_t now = (Tick ? Tick : SystemTick)();
    Item.LastTick = now != 0 ? now : 1;
    Item.Collected = true;
    if (Report) Report(result);
    return result;
}

void ApplyThresholdColors(TConfigItem& Item) {
    const std::wstring display = GetItemOption(Item.Options, L"display", Variant(L"%1")).ToText();
    const std::int32_t linesPerRow = CheckedAdd<std::int32_t>(1, CountBars(display, display.size()));
    const bool wmi = Item.Keyword == "WMI";
    const TItemData& data = Item.ItemData;
    for (int rule = 2; rule >= 0; --rule) {
        const TThreshold& threshold = Item.Thresholds[static_cast<std::size_t>(rule)];
        if (threshold.Level <= 0) continue;
        const auto level = static_cast<std::size_t>(threshold.Level);
        const double t = static_cast<double>(threshold.Value) / 10000.0;
        std::wstring tag;
        if (wmi) {
            if (data.Names.size() < level) continue;
            tag = data.Names[level - 1];
        } else {
            tag = L"%" + std::to_wstring(threshold.Level);
        }
        const std::size_t at = display.find(tag);
        if (tag.empty() || at == std::wstring::npos) continue;
        const std::int32_t lineInRow = CountBars(display, at);
        for (std::size_t r = 0; r < data.Data.size(); ++r) {
            const TVarArray& row = data.Data[r];
            if (row.size() < level || row[level - 1].IsEmpty()) continue;
            if (!ThresholdMet(row[level - 1], t)) continue;
            const std::int32_t line =
                CheckedAdd(CheckedMul(CheckedCast<std::int32_t>(r), linesPerRow), lineInRow);
            Item.LineColors.push_back({line, threshold.Color});
        }
    }
}

// ---- start, stop and the hooks ----------------------------------------------------------

void StartCollector() {
    StopCollector();
    auto* thread = new TCollector(CollectorSettings);
    thread->OnCountProc = CollectorCountHook;
    thread->OnFetchProc = CollectorFetchHook;
    thread->OnStoreProc = CollectorStoreHook;
    thread->OnReportProc = CollectorReportHook;
    CollectorThread = thread;
    try {
        thread->Exchange();
        thread->Start();
    } catch (...) {
        CollectorThread = nullptr;
        delete thread;
        throw;
    }
}

bool StopCollector() {
    TCollector* thread = CollectorThread;
    if (!thread) return true;
    CollectorThread = nullptr;
    // With the hooks cleared and the flag set, whatever the thread still finishes finds
    // no hook to hand it to: its result is dropped.
    thread->ClearHooks();
    thread->Terminate();
    // The wait serves the synchronised calls the thread may be blocked in, so a routine
    // still running ends before a reload or the shutdown frees what it uses, and keeps the
    // window painting meanwhile.
    if (thread->WaitFor(CollectorSettings.StopWaitMs, CollectorStopServeHook)) {
        delete thread;
        return true;
    }
    WriteLog(L"StopCollector: the collection thread is still busy; it ends on its own", llWarn);
    thread->Detach();
    return false;
}

bool StopAllCollectors() {
    const DWORD start = GetTickCount();
    StopCollector();
    // A thread left to itself deletes itself when its routine returns; until then it is
    // counted. The wait serves the synchronised calls such a thread may make meanwhile.
    const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (TCollector::LiveCount() > 0) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= CollectorSettings.StopWaitMs || !never.valid()) break;
        WaitServingCalls(never.get(), std::min<DWORD>(10, CollectorSettings.StopWaitMs - spent), CollectorStopServeHook);
    }
    return TCollector::LiveCount() == 0;
}

void CollectorCountHook(TCollector*, std::int32_t& Count) {
    Count = CheckedCast<std::int32_t>(ConfigItems.size());
}

bool CollectorFetchHook(TCollector*, std::int32_t Index, TConfigItem& Item) {
    if (!IndexInItems(Index)) return false;
    const auto i = static_cast<std::size_t>(Index);
    {
        const TConfigItem& live = ConfigItems[i];
        if (!live.AlwaysCollect && live.Page != CurrentPage.load()) return false;
    }
    const std::int32_t instance = ConfigItems[i].InstanceNo;
    const double crc = static_cast<double>(ConfigItems[i].LineCrc);
    // In this order, so that on an item line that fills the slots "crc32" goes first.
    SetConfigItemOption(Index, L"item", Variant(Index));
    SetConfigItemOption(Index, L"config",
                        Variant(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&ConfigItems))));
    SetConfigItemOption(Index, L"num", Variant(instance));
    SetConfigItemOption(Index, L"mainform",
                        Variant(static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(CollectorMainFormAddress))));
    SetConfigItemOption(Index, L"crc32", Variant(crc));
    Item = ConfigItems[i];
    return true;
}

void CollectorStoreHook(TCollector*, std::int32_t Index, TConfigItem& Item) {
    if (!IndexInItems(Index)) return;
    CopyResultFields(ConfigItems[static_cast<std::size_t>(Index)], Item);
    // An IF item switches the item after it on or off with its first value.
    if (Item.Keyword != "IF" || Item.ItemData.Data.empty() || Item.ItemData.Data.front().empty()) return;
    const auto next = static_cast<std::size_t>(Index) + 1;
    if (next >= ConfigItems.size()) return;
    try {
        const bool active = Item.ItemData.Data.front().front().ToBool();
        ConfigItems[next].Active = active;
    } catch (...) {
        // A value that is no boolean leaves the next item as it is.
    }
}

void CollectorReportHook(TCollector*, const TConfigItem& Item, const std::wstring& Text) {
    const std::wstring lid = GetItemOption(Item.Options, L"lid", Variant(L"")).ToText();
    WriteLog(AnsiToWide(Item.Keyword) + L" (" + lid + L") " + Text, llData);
}

void CopyResultFields(TConfigItem& Target, const TConfigItem& Source) {
    Target.ItemData = Source.ItemData;
    Target.Collected = Source.Collected;
    Target.LastTick = Source.LastTick;
    Target.Hidden = Source.Hidden;
    Target.LineColors = Source.LineColors;
}

void DeliverCollectedItems() {
    if (CollectorThread) CollectorThread->Exchange();
}

void CollectTimesReset() {
    if (CollectorThread) CollectorThread->ResetTimes();
}
