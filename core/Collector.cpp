#include "Collector.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "Checked.h"
#include "ComHandles.h"
#include "Configuration.h"
#include "Errors.h"
#include "GatheringTurns.h"
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
TServeStep CollectorStopServeHook = nullptr;
std::atomic<std::int32_t> CurrentPage{-1};
void* CollectorMainFormAddress = nullptr;

std::atomic<int> TCollector::liveCount_{0};

namespace {

std::uint32_t SystemTick() { return GetTickCount(); }

// Collection and gatherer threads whose thread has not ended. Trivially destructible, so
// that a thread left running that ends while the program ends still finds it.
std::atomic<int> runningThreads{0};
// Numbers the collections: the holder ids of the turns they take.
std::atomic<std::uint64_t> collectionIds{0};

// What every thread that runs gathering routines has for its life: the lowest priority
// the system grants it, COM in the given model, the providers' per-thread set-up, and the
// texts and user functions of the configuration it was started for.
class TGatheringThreadScope {
public:
    TGatheringThreadScope(const std::shared_ptr<const TReloadedTexts>& Texts, DWORD ComModel) : texts_(Texts) {
        // Background mode is refused on some systems (and under Wine); the lowest priority
        // then keeps the collection out of the window thread's way.
        if (!SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN))
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
        com_.emplace(ComModel);
        if (void (*begin)() = CollectorThreadBeginHook; begin && com_->ok()) begin();
    }
    ~TGatheringThreadScope() {
        // What the routines keep per thread (COM objects among it) goes while COM still runs.
        if (void (*end)() = CollectorThreadEndHook; end && com_->ok()) end();
    }
    TGatheringThreadScope(const TGatheringThreadScope&) = delete;
    TGatheringThreadScope& operator=(const TGatheringThreadScope&) = delete;

private:
    TOwnReloadedTexts texts_;
    std::optional<ComInitialization> com_;
};

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

std::wstring LidOf(const TConfigItem& Item) { return GetItemOption(Item.Options, L"lid", Variant(L"")).ToText(); }

}  // namespace

// ---- what a collection shares with its gatherers ------------------------------------------

struct TCollector::TShared {
    // Guards the tray, and the collection's copies and generation.
    mutable std::mutex Lock;
    std::vector<TCollected> Tray;  // in the order collected
    std::uint64_t Sequence = 0;    // numbers the results put in the tray
    // Cleared when the collection is stopped: nothing is put in the tray or reported after.
    bool Open = true;
    TCollectorReportProc Report = nullptr;
    TCollector* Sender = nullptr;

    // Puts a result in the tray, in place of an earlier one of the same item.
    void Put(std::int32_t Index, std::uint32_t Generation, TConfigItem&& Item) {
        const std::lock_guard<std::mutex> guard(Lock);
        if (!Open) return;
        // One result per item waits: while no tick takes them, the newest replaces the older.
        for (TCollected& waiting : Tray)
            if (waiting.Index == Index) {
                waiting.Generation = Generation;
                waiting.Sequence = ++Sequence;
                waiting.Item = std::move(Item);
                return;
            }
        Tray.push_back(TCollected{Index, Generation, ++Sequence, std::move(Item)});
    }
    // Hands Text about Item to the report hook, while the collection runs.
    void ReportOn(const TConfigItem& Item, const std::wstring& Text) {
        const std::lock_guard<std::mutex> guard(Lock);
        if (Open && Report) Report(Sender, Item, Text);
    }
};

// ---- the gatherer of a turn ----------------------------------------------------------------

// Gathers, on a thread of its own, the items of one turn that its collection hands it, one
// at a time, and puts their results in the collection's tray. It holds the turn from the
// hand-over to the end of the routine. Told to end while a routine runs, it is left to
// end on its own: the routine's result is dropped, the turn given back when it returns.
// Its thread joins the multithreaded apartment, where the WMI service's calls can be
// abandoned (Wmi.h).
class TCollector::TGatherer : public TThread {
public:
    TGatherer(std::shared_ptr<TShared> Shared, std::wstring Key, std::uint64_t Owner, TTickSource Tick,
              std::shared_ptr<const TReloadedTexts> Texts)
        : shared_(std::move(Shared)), key_(std::move(Key)), owner_(Owner), tick_(Tick), texts_(std::move(Texts)),
          work_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (!work_.valid()) RaiseLastOSError(L"TGatherer");
        ++runningThreads;
        counted_ = true;
    }
    ~TGatherer() override {
        if (counted_.exchange(false)) --runningThreads;  // never started
    }

    // Whether it gathers an item now, and since which tick.
    bool Busy(DWORD& Since) const {
        const std::lock_guard<std::mutex> guard(lock_);
        Since = since_;
        return busy_;
    }
    // Hands it an item whose turn its collection has just taken for it.
    void Hand(std::int32_t Index, std::uint32_t Generation, TConfigItem&& Item, DWORD Now) {
        {
            const std::lock_guard<std::mutex> guard(lock_);
            busy_ = true;
            since_ = Now;
            index_ = Index;
            generation_ = Generation;
            item_ = std::move(Item);
        }
        SetEvent(work_.get());
    }
    void Stop() {
        Terminate();
        SetEvent(work_.get());
    }

protected:
    void Execute() override {
        const TGatheringThreadScope scope(texts_, COINIT_MULTITHREADED);
        while (true) {
            WaitForSingleObject(work_.get(), INFINITE);
            TConfigItem item;
            std::int32_t index = 0;
            std::uint32_t generation = 0;
            {
                const std::lock_guard<std::mutex> guard(lock_);
                if (!busy_) {
                    if (Terminated()) return;
                    continue;
                }
                item = std::move(item_);
                item_ = TConfigItem{};
                index = index_;
                generation = generation_;
            }
            Gather(index, generation, std::move(item));
            GatheringTurn(key_).Release(owner_);
            {
                const std::lock_guard<std::mutex> guard(lock_);
                busy_ = false;
            }
            if (Terminated()) return;
        }
    }
    void DoTerminate() override {
        if (counted_.exchange(false)) --runningThreads;
    }

private:
    void Gather(std::int32_t Index, std::uint32_t Generation, TConfigItem&& Item) {
        try {
            const std::shared_ptr<TShared> shared = shared_;
            const bool collected =
                ::GetItemData(Item, tick_, [&shared, &Item](bool result) { shared->ReportOn(Item, BoolToText(result)); });
            if (collected) shared_->Put(Index, Generation, std::move(Item));
        } catch (...) {
            WriteLog(L"TCollector: " + ErrorText + CaughtText(std::current_exception()), llError);
        }
    }

    const std::shared_ptr<TShared> shared_;
    const std::wstring key_;
    const std::uint64_t owner_;
    const TTickSource tick_;
    const std::shared_ptr<const TReloadedTexts> texts_;
    UniqueHandle work_;  // signalled by a hand-over and by the stop
    mutable std::mutex lock_;  // guards the hand-over below
    bool busy_ = false;
    DWORD since_ = 0;
    std::int32_t index_ = 0;
    std::uint32_t generation_ = 0;
    TConfigItem item_;
    std::atomic<bool> counted_{false};
};

// ---- the thread -------------------------------------------------------------------------

TCollector::TCollector(const TCollectorSettings& Settings)
    : tick_(Settings.Tick ? Settings.Tick : SystemTick), passSleep_(Settings.PassSleep),
      shared_(std::make_shared<TShared>()), reset_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      passSleepMs_(Settings.PassSleepMs), stopWaitMs_(Settings.StopWaitMs), texts_(CopyReloadedTexts()),
      id_(++collectionIds) {
    shared_->Sender = this;
    ++liveCount_;
    ++runningThreads;
    counted_ = true;
}

TCollector::~TCollector() {
    if (counted_.exchange(false)) --runningThreads;  // never started
    --liveCount_;
}

int TCollector::RunningCount() { return runningThreads.load(); }

void TCollector::SetReportProc(TCollectorReportProc Proc) {
    const std::lock_guard<std::mutex> guard(shared_->Lock);
    shared_->Report = Proc;
}

void TCollector::ClearHooks() {
    OnCountProc = nullptr;
    OnFetchProc = nullptr;
    OnStoreProc = nullptr;
    const std::lock_guard<std::mutex> guard(shared_->Lock);
    shared_->Report = nullptr;
    shared_->Open = false;
}

void TCollector::Execute() {
    {
        const TGatheringThreadScope scope(texts_, COINIT_APARTMENTTHREADED);
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
    EndGatherers();
}

void TCollector::DoTerminate() {
    // Also when Execute raised: its gatherers go as at a stop.
    EndGatherers();
    if (counted_.exchange(false)) --runningThreads;
}

void TCollector::EndGatherers() {
    for (auto& [key, gatherer] : gatherers_) {
        gatherer->Stop();
        DWORD since = 0;
        // A gatherer inside a routine keeps the turn until the routine returns.
        if (!gatherer->Busy(since) && gatherer->WaitFor(stopWaitMs_))
            delete gatherer;
        else
            gatherer->Detach();
    }
    gatherers_.clear();
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
            const std::wstring key = GatheringTurnKey(WorkItem);
            if (!key.empty()) {
                HandOver(key, index, generation);
            } else {
                const bool switchesNext = WorkItem.Keyword == "IF";
                // The item after an IF item is switched by the store, before its turn.
                if (CollectHere(index, generation) && switchesNext) SyncExchange();
            }
        } catch (...) {
            WriteLog(L"TCollector: " + ErrorText + CaughtText(std::current_exception()), llError);
            exchanged = false;
            if (!picked) ++next;  // the failure was in finding the item: go past it
        }
        WorkItem = TConfigItem{};
    }
}

bool TCollector::CollectHere(std::int32_t Index, std::uint32_t Generation) {
    const std::wstring key;
    TGatheringTurn& turn = GatheringTurn(key);
    if (!turn.TryTake(id_, tick_())) {
        DWORD since = 0;
        turn.Holder(since);
        ShowTurnHeld(key, Index, since);
        return false;
    }
    heldShown_.erase(key);
    bool collected = false;
    try {
        collected = GetItemData();
    } catch (...) {
        turn.Release(id_);
        throw;
    }
    turn.Release(id_);
    if (collected) shared_->Put(Index, Generation, std::move(WorkItem));
    return collected;
}

void TCollector::HandOver(const std::wstring& Key, std::int32_t Index, std::uint32_t Generation) {
    const DWORD now = tick_();
    const auto found = gatherers_.find(Key);
    TGatherer* gatherer = found == gatherers_.end() ? nullptr : found->second;
    DWORD since = 0;
    if (gatherer && gatherer->Busy(since)) {
        // This collection's own routine: still within its time limit it is simply under
        // way; past it, it is left running, and the items of its turn say so.
        if (now - since >= kItemTimeLimitMs) ShowTurnHeld(Key, Index, since);
        return;
    }
    TGatheringTurn& turn = GatheringTurn(Key);
    if (!turn.TryTake(id_, now)) {
        turn.Holder(since);
        ShowTurnHeld(Key, Index, since);
        return;
    }
    heldShown_.erase(Key);
    try {
        if (!gatherer) {
            auto made = std::make_unique<TGatherer>(shared_, Key, id_, tick_, texts_);
            made->Start();
            gatherer = made.release();
            gatherers_.emplace(Key, gatherer);
        }
        gatherer->Hand(Index, Generation, std::move(WorkItem), now);
    } catch (...) {
        turn.Release(id_);
        throw;
    }
}

void TCollector::ShowTurnHeld(const std::wstring& Key, std::int32_t Index, DWORD Since) {
    if (!heldShown_[Key].insert(Index).second) return;
    WriteLog(L"TCollector: " + ErrorText + AnsiToWide(WorkItem.Keyword) + L" (" + LidOf(WorkItem) +
                 L") not collected: a gathering routine of the same source has been running for " +
                 TimeLimitText(tick_() - Since),
             llError);
    Report(false);
}

bool TCollector::NextDueItem(std::int32_t From, std::int32_t& Index, std::uint32_t& Generation) {
    const std::uint32_t now = tick_();
    // The page shown now: a copy of a page just left is not collected once more before
    // the next exchange takes it away.
    const std::int32_t page = CurrentPage.load();
    const std::lock_guard<std::mutex> guard(shared_->Lock);
    const std::vector<TCollected>& tray = shared_->Tray;
    for (std::size_t i = static_cast<std::size_t>(std::max(From, std::int32_t{0})); i < copies_.size(); ++i) {
        const TConfigItem& copy = copies_[i];
        if (!copy.Active) continue;
        if (!copy.AlwaysCollect && copy.Page != page) continue;
        // The latest result not yet exchanged stands for what the store will write.
        const TCollected* waiting = nullptr;
        for (auto it = tray.rbegin(); it != tray.rend(); ++it)
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
        const std::lock_guard<std::mutex> guard(shared_->Lock);
        results = shared_->Tray;
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
        const std::lock_guard<std::mutex> guard(shared_->Lock);
        copies_.swap(spare_);
        // What the threads added or replaced meanwhile stays for the next exchange.
        std::erase_if(shared_->Tray, [&results](const TCollected& waiting) {
            return std::any_of(results.begin(), results.end(),
                               [&waiting](const TCollected& r) { return r.Sequence == waiting.Sequence; });
        });
    }
    return stored;
}

void TCollector::ResetTimes() {
    {
        const std::lock_guard<std::mutex> guard(shared_->Lock);
        ++generation_;
    }
    Exchange();
    // Every item of the shown page is due now: collect them without waiting out the pause.
    announce_ = true;
    if (reset_.valid()) SetEvent(reset_.get());
}

std::size_t TCollector::ResultsWaiting() const {
    const std::lock_guard<std::mutex> guard(shared_->Lock);
    return shared_->Tray.size();
}

void TCollector::Report(bool Result) {
    ResultText = BoolToText(Result);
    shared_->ReportOn(WorkItem, ResultText);
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
    bool result = false;
    {
        // A source given up while the item is gathered is first left alone for its interval.
        const TItemInterval interval(static_cast<DWORD>(std::clamp<std::int64_t>(
            static_cast<std::int64_t>(Item.Interval) * 1000, 0, std::numeric_limits<DWORD>::max())));
        result = DoProc(Item.GatherProc, Item.Options, Item.ItemData);
    }
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
    thread->SetReportProc(CollectorReportHook);
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
    // A thread counts until its thread has ended: one left to itself, or one whose stop
    // is waiting for it further up this thread's stack (an end begun inside a reload's
    // wait). The wait serves the synchronised calls such a thread may make meanwhile.
    const UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    while (TCollector::RunningCount() > 0) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= CollectorSettings.StopWaitMs || !never.valid()) break;
        WaitServingCalls(never.get(), std::min<DWORD>(10, CollectorSettings.StopWaitMs - spent), CollectorStopServeHook);
    }
    return TCollector::RunningCount() == 0;
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
