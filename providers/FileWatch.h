// The watches behind FILE items: one polling watcher per active FILE item, whose change
// handler keeps the watch's current value (first line, size, times or version of the
// file). The window thread builds, re-points and frees the watches; the FILE gathering
// routine reads their values from the collection thread through the list's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ChangeNotify2.h"
#include "ItemWatches.h"
#include "Variant.h"

class TWatchItem {
public:
    // Creates the watcher suspended, fills Value once directly (before the first check)
    // and starts it. Window thread only: the change handler runs on the creating thread.
    TWatchItem(const std::wstring& Name, std::uint32_t ItemId, std::int32_t Interval, const std::wstring& WatchType,
               const std::wstring& FileName);
    // Tells the watcher's thread to end and waits for it (unless TakeNotifier took it).
    ~TWatchItem();
    TWatchItem(const TWatchItem&) = delete;
    TWatchItem& operator=(const TWatchItem&) = delete;

    // The watched path (also the watcher's); clears Changed.
    void SetFileName(const std::wstring& Path);
    // The watcher's change handler: sets Value from the watcher's last seen state.
    void Notify(TChangeNotify2* Sender);

    const std::wstring Name;       // the item's label (for the log)
    const std::wstring WatchType;  // "text", "size", "time", "version" or anything else
    const std::uint32_t ItemId;    // the owning item's LineCrc
    std::wstring FileName() const;
    Variant Value() const;
    bool Changed() const { return changed_; }
    TChangeNotify2& Notifier() { return *notifier_; }
    // The watcher, for a free of many watchers at once; the watch stays without one.
    std::unique_ptr<TChangeNotify2> TakeNotifier() { return std::move(notifier_); }

private:
    mutable std::mutex lock_;  // Value and FileName, read from the collection thread
    std::wstring fileName_;
    Variant value_;
    std::atomic<bool> changed_{false};
    std::unique_ptr<TChangeNotify2> notifier_;
};

// The watch list. Changes (Add, Clear) on the window thread; lookups from any thread.
class TWatchItems {
public:
    TWatchItems() = default;
    ~TWatchItems();
    TWatchItems(const TWatchItems&) = delete;
    TWatchItems& operator=(const TWatchItems&) = delete;

    void Add(const std::wstring& Name, const std::wstring& FileName, const std::wstring& WatchType,
             std::int32_t Interval, std::uint32_t ItemId);
    // Frees every watch. The watchers are ended together, outside the list's lock, so a
    // lookup never waits for a watcher's thread, and all of them within one bound
    // (TChangeNotify2::FreeAll).
    void Clear();
    std::size_t Count() const;
    // The watch at Index, or none. Window thread only (the pointer is valid until Clear).
    TWatchItem* GetItem(std::size_t Index) const;
    // The value of the first watch, in list order, whose ItemId equals Id; false when
    // none. Count receives the number of watches.
    bool FindValue(std::uint32_t Id, Variant& Value, std::size_t& Count) const;
    std::vector<TFileWatchName> Names() const;

private:
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<TWatchItem>> items_;
};

// The one list, alive for the whole run.
extern TWatchItems* const WatchItems;

// The flags a watch type gives its watcher: "text", "time" and "version" watch the last
// write, "size" the size; anything else nothing (only a size change reports).
std::int32_t WatchFlagsOf(const std::wstring& WatchType);
// "W: " last-write time ", A: " last-access time, both local time in the system's
// date-time format (file times as 64-bit counts of 100 ns since 1601, UTC).
std::wstring WatchTimesText(std::uint64_t LastWrite, std::uint64_t LastAccess);
// The first line of a file as 8-bit text (read with full sharing; at most 1 MiB of it);
// false when the file cannot be opened.
bool ReadFirstLine(const std::wstring& FileName, std::wstring& Line);

// The watch wiring's seams (ItemWatches): rebuild, list and re-point the file watches.
void RebuildFileWatches(const std::vector<TFileWatchEntry>& Entries);
std::vector<TFileWatchName> ListFileWatches();
void RenameFileWatch(std::size_t Index, const std::wstring& FileName);
// Installs the three seams above.
void InstallFileWatchHooks();
// Program end: frees every watch and the list (window thread).
void FreeFileWatches();
