// The wiring of the file and registry watches to the configured items: the watch lists
// are rebuilt from the items on every reload, and the file watches follow their items'
// expanded file names on every painting pass. The watch units (providers) fill the
// hooks at start-up; each hook is called only when set. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ItemTypes.h"

// One file watch or registry watch that SetupWatches asks for.
struct TFileWatchEntry {
    std::wstring Name;
    std::wstring FileName;  // the option file, variables not expanded
    std::uint32_t ItemId = 0;  // the item's LineCrc
    std::int32_t Interval = 0;
    std::wstring WatchType;
};
struct TRegWatchEntry {
    std::wstring Name;
    std::wstring Key;
    bool SubTree = false;
};
std::vector<TFileWatchEntry> FileWatchEntries(const TConfigArray& Items);
std::vector<TRegWatchEntry> RegWatchEntries(const TConfigArray& Items);
// The watch lists: rebuilt whole by SetupWatches through these hooks, which the watch
// units fill at start-up. Unset, nothing is watched.
extern void (*RebuildFileWatchesHook)(const std::vector<TFileWatchEntry>& Entries);
extern void (*RebuildRegWatchesHook)(const std::vector<TRegWatchEntry>& Entries);

// A file watch as SyncFileWatches sees it.
struct TFileWatchName {
    std::uint32_t ItemId = 0;
    std::wstring FileName;
};
struct TFileWatchRename {
    std::size_t Index = 0;  // into the watch list
    std::wstring FileName;
};
// The renames that bring the watches' file names in line with their items' expanded
// option file: items from the last to the first, watches from the last to the first.
std::vector<TFileWatchRename> FileWatchRenames(const TConfigArray& Items, const std::vector<TFileWatchName>& Watches,
                                               const std::function<std::wstring(const std::wstring&)>& Expand);
// The file watch list's seam for SyncFileWatches, filled by the file watches' unit; a
// rename also clears the watch's changed flag.
extern std::vector<TFileWatchName> (*ListFileWatchesHook)();
extern void (*RenameFileWatchHook)(std::size_t Index, const std::wstring& FileName);

// Rebuilds the file and registry watch lists from ConfigItems.
void SetupWatches();
// Re-points file watches whose file name changed; every painting pass calls it.
void SyncFileWatches();
