// How many instances of FIXEDDISK and CPUUSAGE the machine can fill: the item-line
// parser switches off the instances beyond these counts. The drive list and the
// processor count behind them live with the disk and CPU items.
#pragma once

#include <climits>
#include <string>

constexpr int kNoInstanceLimit = INT_MAX;

// The number of letters of the drive list that pass Filter; an empty list is built first,
// with drives A and B only when IncludeAll (providers/FixedDisks.cpp).
int CountFixedDisks(const std::wstring& Filter, bool IncludeAll);
// Rebuilds the drive list from the drives present now (A and B only when IncludeAll);
// true when it changed (providers/FixedDisks.cpp).
bool RefreshDriveList(bool IncludeAll);
// The number of processors whose number passes Filter; 0 while the processor count
// cannot be learned (providers/Cpu.cpp).
int GetCpuUsageCount(const std::string& Filter);
