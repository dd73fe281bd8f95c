// What the process items read of one process: through a handle of it where Windows grants
// one, and otherwise from the system's process list. Without elevation Windows refuses
// even limited query rights for some processes (services of the system accounts,
// protected ones, csrss, the System process), and some processes have no image file to
// name them by (Memory Compression, Registry); the list still holds their name, times,
// memory counters and handle count.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "SystemProcessList.h"

// A process's CPU times, 100-ns units.
struct TProcessTimes {
    std::uint64_t User = 0, Kernel = 0;
};
// A process's memory counters.
struct TProcessMemory {
    std::uint64_t WorkingSetSize = 0, PagefileUsage = 0;
    DWORD PageFaultCount = 0;
};

// Which figures a pass reads of each process.
enum TProcessFigure : unsigned {
    pfName = 1,
    pfTimes = 2,
    pfMemory = 4,
    pfHandles = 8,
};

// One process's figures; a group is empty when neither its handle nor the list gave it.
struct TProcessFigures {
    std::string Name;  // the file name in the 8-bit code page; empty when none was found
    std::optional<TProcessTimes> Times;
    std::optional<TProcessMemory> Memory;
    std::optional<DWORD> HandleCount;
    DWORD Error = 0;  // the system's code of the first open or call that failed, else 0
};

// Whether Figures lack something of Wanted (pfName: an empty name) that the list may give.
bool FiguresIncomplete(const TProcessFigures& Figures, unsigned Wanted);

// Opened completed by the list's record of the same process: each figure the handle did
// not give (a refused open gives none, a nameless process no name) is taken from Listed
// when there is one; the handle's figures are kept as they are.
TProcessFigures MergeProcessFigures(const TProcessFigures& Opened, const TListedProcess* Listed);

// The system's process list for one pass of an item, read on its first use only: a pass
// in which every process opens and names itself never asks for it.
class TProcessListOnDemand {
public:
    explicit TProcessListOnDemand(TNtQuerySystemInformation Query) : query_(Query) {}
    // The process's record, or null when the list holds none or cannot be read.
    const TListedProcess* Find(DWORD ProcessId);
    // Whether the list was asked for.
    bool Asked() const { return asked_; }

private:
    TNtQuerySystemInformation query_;
    bool asked_ = false;
    TSystemProcessList list_;
};
