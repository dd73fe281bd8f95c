// The collection thread: gathers every due item of the shown page on a background thread.
// It owns nothing of the configuration. The window thread hands it private copies of the
// items (through the count and fetch hooks) and stores its results (through the store
// hook) whenever it exchanges with the thread: at every tick, after a relayout or a page
// change, and when the thread asks for it. Between exchanges the thread works from its
// copies and leaves its results in a tray, so a pass costs the window thread nothing.
//
// Each item is gathered in its turn (GatheringTurns.h). The items without a turn of their
// own are gathered by the collection thread itself; the items of each other turn (a source
// that may keep a routine waiting: a web server, a remote host, the WMI service) by a
// gatherer thread of that turn, while the collection thread goes on with the other items.
// A turn held elsewhere is never waited for: an item whose turn is held by a routine left
// running (by an earlier collection thread, or past its time limit) is not collected, and
// says so once, until its turn is free again.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Includes.h"
#include "ItemTypes.h"
#include "Threads.h"
#include "TimeLimits.h"

class TCollector;

using TCollectorCountProc = void (*)(TCollector* Sender, std::int32_t& Count);
using TCollectorItemProc = void (*)(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Copies item Index into Item; false when it left Item as it was.
using TCollectorFetchProc = bool (*)(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Runs on the collection thread with the work copy just collected.
using TCollectorReportProc = void (*)(TCollector* Sender, const TConfigItem& Item, const std::wstring& Text);

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
    TPassSleep PassSleep;           // none: sleep PassSleepMs, waking at a stop or a reset
    DWORD PassSleepMs = kCollectorPassSleepMs;
    DWORD StopWaitMs = kCollectorStopWaitMs;
};
extern TCollectorSettings CollectorSettings;

class TCollector : public TThread {
public:
    explicit TCollector(const TCollectorSettings& Settings = CollectorSettings);
    ~TCollector() override;

    std::int32_t ItemIndex = 0;
    TConfigItem WorkItem;
    std::wstring ResultText;
    // Set by the window thread. Count, fetch and store run on the window thread (inside
    // Exchange); report runs on the collection thread.
    std::atomic<TCollectorCountProc> OnCountProc{nullptr};
    std::atomic<TCollectorFetchProc> OnFetchProc{nullptr};
    std::atomic<TCollectorItemProc> OnStoreProc{nullptr};
    // Report runs on the thread that collected the item: this one or a gatherer.
    void SetReportProc(TCollectorReportProc Proc);

    // Collects WorkItem (see the free GetItemData) and reports its result; true when the
    // collection succeeded and the item is to be stored back.
    bool GetItemData();
    void ClearHooks();

    // Window thread. Hands the results waiting in the tray to the store hook, in the order
    // they were collected, then gives the thread fresh copies of all items through the
    // count and fetch hooks. A result whose copy was taken before the last ResetTimes is
    // stored as never collected, so a relayout makes every item due whatever was in
    // flight. Returns the number of results handed to the store hook.
    std::size_t Exchange();
    // Window thread, after every item's LastTick was reset to 0: as Exchange, with every
    // result collected from an earlier copy stored as never collected. A thread that
    // sleeps between passes wakes for a pass at once, and the first results of that pass
    // are announced to the window thread (CollectorResultsHook) as a start's are.
    void ResetTimes();
    // Results collected and not yet exchanged.
    std::size_t ResultsWaiting() const;
    // Collection threads alive now, for tests that look for leaked threads.
    static int LiveCount() { return liveCount_.load(); }
    // Collection threads and gatherer threads whose thread has not ended yet: each may
    // still run a gathering routine.
    static int RunningCount();

protected:
    void Execute() override;
    void DoTerminate() override;

private:
    // A result in the tray: the work copy after its collection, and the generation of
    // the copies it was taken from.
    struct TCollected {
        std::int32_t Index = 0;
        std::uint32_t Generation = 0;
        std::uint64_t Sequence = 0;  // tells a result from the one that replaced it
        TConfigItem Item;
    };
    // What the thread shares with its gatherers, which may outlive it.
    struct TShared;
    // Gathers the items of one turn on a thread of its own.
    class TGatherer;

    void RunPass();
    // Finds the first item from index From on that is active and due now, by the copies
    // and the results still in the tray, and copies it into WorkItem.
    bool NextDueItem(std::int32_t From, std::int32_t& Index, std::uint32_t& Generation);
    void SyncExchange();
    void Report(bool Result);
    // WorkItem in its turn: gathered here (true when its result went to the tray), or
    // handed to the gatherer of its turn; not at all while the turn is held elsewhere.
    bool CollectHere(std::int32_t Index, std::uint32_t Generation);
    void HandOver(const std::wstring& Key, std::int32_t Index, std::uint32_t Generation);
    // WorkItem was not collected because a routine held its turn since Since: said once
    // for each item until the turn has been taken again.
    void ShowTurnHeld(const std::wstring& Key, std::int32_t Index, DWORD Since);
    // At the thread's end: idle gatherers end with it, busy ones are left to end on their own.
    void EndGatherers();

    TTickSource tick_;
    TPassSleep passSleep_;
    std::shared_ptr<TShared> shared_;   // its lock guards copies_ and generation_ too
    std::vector<TConfigItem> copies_;   // by index; cleared where the fetch hook gave nothing
    // Window thread: the copies the thread gave back at the last exchange, refilled at the
    // next one. Assignment into them keeps the memory of their strings and rows, so the
    // exchange at every tick allocates next to nothing.
    std::vector<TConfigItem> spare_;
    std::uint32_t generation_ = 0;      // counts ResetTimes
    std::atomic<bool> announce_{true};  // the next pass's results are announced
    UniqueHandle reset_;                // signalled by ResetTimes, ends the pause between passes
    DWORD passSleepMs_ = kCollectorPassSleepMs;
    DWORD stopWaitMs_ = kCollectorStopWaitMs;
    // The texts and user functions as they were when the thread was made: a reload that
    // runs while this thread still finishes a routine rewrites the loader's, not these.
    std::shared_ptr<const TReloadedTexts> texts_;
    // The holder id of the turns this collection takes.
    const std::uint64_t id_;
    // Collection thread only: the gatherer of each turn, and the items already said to be
    // held back, by turn.
    std::map<std::wstring, TGatherer*> gatherers_;
    std::map<std::wstring, std::set<std::int32_t>> heldShown_;
    std::atomic<bool> counted_{false};  // counted among the running threads
    static std::atomic<int> liveCount_;
};

// The running collection thread, or none. Window thread only.
extern TCollector* CollectorThread;
// The 1-based page shown; -1 until the first reload sets it. Owned by the main loop;
// the collection thread reads it to skip the items of a page just left.
extern std::atomic<std::int32_t> CurrentPage;
// Address of the main form's global variable, handed to the items as option "mainform"
// (0 while no main form unit registers it).
extern void* CollectorMainFormAddress;

// Runs on the window thread, posted by a new collection thread when its first pass left
// results: lets them be shown without waiting for the next tick. None: nothing is posted.
extern void (*CollectorResultsHook)();
// Run on every collection thread that initialised COM: the first before its first pass,
// the second before it uninitialises COM, so that what the routines keep per thread (COM
// objects among it) goes while COM still runs there. None: nothing is run.
extern void (*CollectorThreadBeginHook)();
extern void (*CollectorThreadEndHook)();
// Runs on the window thread while a stop waits for a thread still collecting, whenever
// messages other than synchronised calls arrive: the window keeps painting (and taking
// input) through the wait. None: only the synchronised calls are served.
extern TServeStep CollectorStopServeHook;

// Stops a running thread, then starts a new one with the four hooks below and its first
// copies of the items. A routine that a stopped thread left running keeps its turn until
// it returns: the new thread gathers no item of that turn meanwhile (the providers' state
// has one user at a time), and all the others as usual.
void StartCollector();
// Clears the running thread's hooks and tells it to stop, then waits for it (serving its
// synchronised calls) up to CollectorSettings.StopWaitMs; a thread still busy after that
// is left to end on its own and frees itself. Its gatherers that are inside a routine are
// left to end on their own too. Nothing they finish later is stored. True when the thread
// has ended (or none ran).
bool StopCollector();
// The stop at the program's end: stops the running thread as StopCollector does, then
// also waits for the threads that earlier stops left to end on their own, all within one
// CollectorSettings.StopWaitMs. True when no collection or gatherer thread is left
// running (a stopped thread that has ended counts as gone, whether or not the stop that
// waits for it has yet seen it end).
bool StopAllCollectors();

// Window thread: the running thread's Exchange, or nothing without one.
void DeliverCollectedItems();
// Window thread, after a relayout reset every item's LastTick: the running thread's
// ResetTimes.
void CollectTimesReset();

// The hooks; count, fetch and store run on the window thread.
void CollectorCountHook(TCollector* Sender, std::int32_t& Count);
// Adds "item", "config", "num", "mainform" and "crc32" to the live item (those that fit)
// and copies it into Item, when the item is collected whatever the page or is on
// CurrentPage, and returns true; otherwise Item is left as it is and the result is false.
bool CollectorFetchHook(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Stores the result fields of Item into the live item, then applies the IF rule.
void CollectorStoreHook(TCollector* Sender, std::int32_t Index, TConfigItem& Item);
// Logs "KEYWORD (lid) Text" at level DATA, from the collected copy (collection thread).
void CollectorReportHook(TCollector* Sender, const TConfigItem& Item, const std::wstring& Text);
// The result fields of Source (ItemData, Collected, LastTick, Hidden, LineColors) into
// Target; no other field changes.
void CopyResultFields(TConfigItem& Target, const TConfigItem& Source);

// Whether an item collected at LastTick is due at Now. Never collected (LastTick 0) is
// due; otherwise only a positive Interval makes it due again, once Interval seconds have
// passed. The elapsed time is the unsigned difference, so it holds across the wrap of the
// 32-bit tick count.
bool IsItemDue(std::uint32_t LastTick, std::int32_t Interval, std::uint32_t Now);

// One collection of Item: runs its pipeline (with Item's interval as the first back-off
// of a source given up meanwhile), sets the no-result line or the hidden state, the
// threshold colours, LastTick (from Tick) and Collected, then hands the result to Report
// when given. False without a gathering routine (nothing is touched or reported) or when
// the pipeline failed.
bool GetItemData(TConfigItem& Item, TTickSource Tick, const std::function<void(bool Result)>& Report = {});

// LineColors gets one (line, colour) pair per threshold rule met by a value of a row,
// for the line of the display template that shows that value. A value that is not a
// number never meets a rule.
void ApplyThresholdColors(TConfigItem& Item);
