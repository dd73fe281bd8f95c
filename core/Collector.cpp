#include "Collector.h"

#include <objbase.h>

#include <algorithm>

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
std::int32_t CurrentPage = -1;
void* CollectorMainFormAddress = nullptr;

std::atomic<int> TCollector::liveCount_{0};

namespace {

std::uint32_t SystemTick() { return GetTickCount(); }

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
    : tick_(Settings.Tick ? Settings.Tick : SystemTick), passSleep_(Settings.PassSleep), texts_(CopyReloadedTexts()) {
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
    while (!Terminated()) {
        RunPass();
        if (passSleep_)
            passSleep_(*this);
        else
            SleepUnlessTerminated(kCollectorPassSleepMs);
    }
}

void TCollector::DoTerminate() {
    if (comInitialized_) CoUninitialize();
    comInitialized_ = false;
}

void TCollector::RunPass() {
    try {
        SyncGetCount();
    } catch (...) {
        ItemCount = 0;
        WriteLog(L"TCollector: " + ErrorText + CaughtText(std::current_exception()), llError);
    }
    for (std::int32_t i = 0; i < ItemCount && !Terminated(); ++i) {
        // One item's failure (a hook that raised, say) costs that item, not the pass.
        try {
            ItemIndex = i;
            WorkItem = TConfigItem{};
            SyncGetItem(i);
            if (!WorkItem.Active) continue;
            if (!IsItemDue(WorkItem.LastTick, WorkItem.Interval, tick_())) continue;
            if (GetItemData()) SyncPutItem(i);
        } catch (...) {
            WriteLog(L"TCollector: " + ErrorText + CaughtText(std::current_exception()), llError);
        }
        WorkItem = TConfigItem{};
    }
}

void TCollector::SyncGetCount() {
    ItemCount = 0;
    Synchronize([this] {
        if (OnCountProc && !Terminated()) OnCountProc(this, ItemCount);
    });
}

void TCollector::SyncGetItem(std::int32_t Index) {
    WorkItem = TConfigItem{};
    Synchronize([this, Index] {
        if (OnFetchProc && !Terminated()) OnFetchProc(this, Index, WorkItem);
    });
}

void TCollector::SyncPutItem(std::int32_t Index) {
    Synchronize([this, Index] {
        if (OnStoreProc && !Terminated()) OnStoreProc(this, Index, WorkItem);
    });
}

void TCollector::SyncReport() {
    Synchronize([this] {
        if (OnReportProc && !Terminated()) OnReportProc(this, ItemIndex, ResultText);
    });
}

bool TCollector::GetItemData() {
    return ::GetItemData(WorkItem, tick_, [this](bool result) {
        ResultText = BoolToText(result);
        SyncReport();
    });
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
    // still running ends before a reload or the shutdown frees what it uses.
    if (thread->WaitFor(CollectorSettings.StopWaitMs)) {
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
        WaitServingCalls(never.get(), std::min<DWORD>(10, CollectorSettings.StopWaitMs - spent));
    }
    return TCollector::LiveCount() == 0;
}

void CollectorCountHook(TCollector*, std::int32_t& Count) {
    Count = CheckedCast<std::int32_t>(ConfigItems.size());
}

void CollectorFetchHook(TCollector*, std::int32_t Index, TConfigItem& Item) {
    if (!IndexInItems(Index)) return;
    const auto i = static_cast<std::size_t>(Index);
    {
        const TConfigItem& live = ConfigItems[i];
        if (!live.AlwaysCollect && live.Page != CurrentPage) return;
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
}

void CollectorStoreHook(TCollector*, std::int32_t Index, TConfigItem& Item) {
    if (!IndexInItems(Index)) return;
    TConfigItem& live = ConfigItems[static_cast<std::size_t>(Index)];
    live.ItemData = Item.ItemData;
    live.Collected = Item.Collected;
    live.LastTick = Item.LastTick;
    live.Hidden = Item.Hidden;
    live.LineColors = Item.LineColors;
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

void CollectorReportHook(TCollector*, std::int32_t Index, const std::wstring& Text) {
    if (!IndexInItems(Index)) return;
    const TConfigItem& item = ConfigItems[static_cast<std::size_t>(Index)];
    const std::wstring lid = GetItemOption(item.Options, L"lid", Variant(L"")).ToText();
    WriteLog(AnsiToWide(item.Keyword) + L" (" + lid + L") " + Text, llData);
}
