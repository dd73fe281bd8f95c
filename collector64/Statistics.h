// What Vistrel64 publishes, worked out from a table of process statistics: the two top
// records and the per-name sums. Plain functions over values; the platform calls that
// fill the table live in Collector.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SharedAreas.h"

// One process of the system's process list (SystemProcessList.h).
struct TListedProcess;

namespace vistrel64 {

// One process id of a pass's enumeration.
struct TProcessStats {
    std::uint32_t ProcessId = 0;  // 0 when the process could not be read
    std::wstring FileName;        // image file name without its path, whole; empty when unreadable
    std::uint64_t WorkingSetSize = 0;
    std::uint64_t PageFaultCount = 0;
    std::uint64_t PagefileUsage = 0;
    std::uint64_t PrivateUsage = 0;
    std::uint32_t HandleCount = 0;
    std::uint32_t ThreadCount = 0;
};
// In enumeration order.
using TProcessTable = std::vector<TProcessStats>;

// What the handle of one process gave: Entry as the pass filled it (process id 0 when the
// process could not be opened or its counters or name not read) and whether its handle
// count was read.
struct TOpenedProcess {
    TProcessStats Entry;
    bool HandleCountRead = false;
};
// The entry of process Id: the handle's figures, and where the handle gave none (Windows
// refuses an unelevated program even limited query rights for services and protected
// processes), those of the system list's record of the process, when the record names
// it: file name, counters (PrivateUsage from its private page count) and handle count.
// The thread count is left to the thread pass. The idle process (id 0) stays empty.
TProcessStats CompleteFromList(const TOpenedProcess& Opened, std::uint32_t Id, const TListedProcess* Listed);

// The text after the last backslash of an image file name (the whole text without one).
std::wstring FileNameOfImage(const std::wstring& ImageFileName);

// A to Z mapped onto a to z, every other unit unchanged (what _wcslwr does in the
// runtime's default locale).
std::wstring LowerLatinLetters(std::wstring Text);

// Adds one thread to the first entry whose ProcessId is the thread's owner, for each
// owner id in Owners; a thread whose owner has no entry is not counted. One pass over
// the table and one over the owners.
void CountThreads(TProcessTable& Table, const std::vector<std::uint32_t>& Owners);

// The process with the largest working set and the one with the largest private usage
// (strictly greater wins, so the first of equals stays); all zero when no entry is above 0.
TVslTopProcess TopByWorkingSet(const TProcessTable& Table);
TVslTopProcess TopByPrivateUsage(const TProcessTable& Table);

// The record of one name slot: sums over the entries whose lower-cased file name equals
// the lower-cased slot name (whole name, extension included), ProcessId of the last of
// them, Name the slot's text as written.
TVslProcessMonitor MonitorRecordFor(const std::wstring& SlotName, const TProcessTable& Table);

// Writes the two top records, each in one whole-record copy.
void PublishTopProcesses(const TProcessTable& Table, TVslTopProcess& WorkingSetArea, TVslTopProcess& PrivateUsageArea);
// Writes record i for every name slot i in use, each in one whole-record copy; records of
// free slots keep what they hold.
void PublishProcessMonitors(const TProcessTable& Table, const TVslSystemArea& System,
                            TVslProcessMonitor (&Records)[VslMonitorSlots]);

}  // namespace vistrel64
