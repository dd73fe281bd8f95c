// The collection thread: gathers every due item of the shown page on a background thread.
// It owns nothing of the configuration: each item is fetched as a private copy from the
// window thread, collected, and handed back, all through synchronised calls into four
// hooks that StartCollector installs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Includes.h"
#include "ItemTypes.h"
#include "Threads.h"

class TCollector;

using TCollectorCountProc = void (*)(TCollector* Sender, std::int32_t& Count);
using TCollectorItemProc = void (*)(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
using TCollectorReportProc = void (*)(TCollector* Sender, std::int32_t Index, const std::wstring& Text);

// The millisecond tick count that stamps and times the collections (GetTickCount).
using TTickSource = std::uint32_t (*)();
// Runs on the collection thread after each pass, in place of the pause between passes.
using TPassSleep = std::function<void(TCollector& Sender)>;

constexpr DWORD kCollectorPassSleepMs = 700;
// How long a stop waits for a thread that is still collecting.
constexpr DWORD kCollectorStopWaitMs = 3000;

// Timing of the threads that StartCollector makes and StopCollector ends. Tests replace
// the tick source and the pause to step passes one by one.
struct TCollectorSettings {
    TTickSource Tick = nullptr;     // none: GetTickCount
    TPassSleep PassSleep;           // none: sleep kCollectorPassSleepMs, waking at a stop
    DWORD StopWaitMs = kCollectorStopWaitMs;
};
extern TCollectorSettings CollectorSettings;

class TCollector : public TThread {
public:
    explicit TCollector(const TCollectorSettings& Settings = CollectorSettings);
    ~TCollector() override;

    std::int32_t ItemCount = 0;
    std::int32_t ItemIndex = 0;
    TConfigItem WorkItem;
    std::wstring ResultText;
    // Read only inside synchronised calls, on the window thread, which also sets them.
    TCollectorCountProc OnCountProc = nullptr;
    TCollectorItemProc OnFetchProc = nullptr;
    TCollectorItemProc OnStoreProc = nullptr;
    TCollectorReportProc OnReportProc = nullptr;

    // Collects WorkItem (see the free GetItemData) and reports its result; true when the
    // collection succeeded and the item is to be stored back.
    bool GetItemData();
    void ClearHooks();
    // Objects alive now, for tests that look for leaked threads.
    static int LiveCount() { return liveCount_.load(); }

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    void SyncGetCount();
    void SyncGetItem(std::int32_t Index);
    void SyncPutItem(std::int32_t Index);
    void SyncReport();
    void RunPass();

    TTickSource tick_;
    TPassSleep passSleep_;
    // The texts and user functions as they were when the thread was made: a reload that
    // runs while this thread still finishes a routine rewrites the loader's, not these.
    std::shared_ptr<const TReloadedTexts> texts_;
    bool comInitialized_ = false;
    static std::atomic<int> liveCount_;
};

// The running collection thread, or none. Window thread only.
extern TCollector* CollectorThread;
// The 1-based page shown; -1 until the first reload sets it. Owned by the main loop.
extern std::int32_t CurrentPage;
// Address of the main form's global variable, handed to the items as option "mainform"
// (0 while no main form unit registers it).
extern void* CollectorMainFormAddress;

// Stops a running thread, then starts a new one with the four hooks below.
void StartCollector();
// Clears the running thread's hooks and tells it to stop, then waits for it (serving its
// synchronised calls) up to CollectorSettings.StopWaitMs; a thread still busy after that
// is left to end on its own and frees itself. Nothing it finishes later is stored. True
// when the thread has ended (or none ran).
bool StopCollector();
// The stop at the program's end: stops the running thread as StopCollector does, then
// also waits for the threads that earlier stops left to end on their own, all within one
// CollectorSettings.StopWaitMs. True when no collection thread is left running.
bool StopAllCollectors();

// The hooks; each runs on the window thread inside a synchronised call.
void CollectorCountHook(TCollector* Sender, std::int32_t& Count);
// Adds "item", "config", "num", "mainform" and "crc32" to the live item (those that fit)
// and copies it into Item, when the item is collected whatever the page or is on
// CurrentPage; otherwise Item is left as it is.
void CollectorFetchHook(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Stores the result fields of Item into the live item, then applies the IF rule.
void CollectorStoreHook(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Logs "KEYWORD (lid) Text" at level DATA.
void CollectorReportHook(TCollector* Sender, std::int32_t Index, const std::wstring& Text);

// Whether an item collected at LastTick is due at Now. Never collected (LastTick 0) is
// due; otherwise only a positive Interval makes it due again, once Interval seconds have
// passed. The elapsed time is the unsigned difference, so it holds across the wrap of the
// 32-bit tick count.
bool IsItemDue(std::uint32_t LastTick, std::int32_t Interval, std::uint32_t Now);

// One collection of Item: runs its pipeline, sets the no-result line or the hidden state,
// the threshold colours, LastTick (from Tick) and Collected, then hands the result to
// Report when given. False without a gathering routine (nothing is touched or reported)
// or when the pipeline failed.
bool GetItemData(TConfigItem& Item, TTickSource Tick, const std::function<void(bool Result)>& Report = {});

// LineColors gets one (line, colour) pair per threshold rule met by a value of a row,
// for the line of the display template that shows that value. A value that is not a
// number never meets a rule.
void ApplyThresholdColors(TConfigItem& Item);
