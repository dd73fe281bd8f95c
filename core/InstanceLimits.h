// How many instances of FIXEDDISK and CPUUSAGE the machine can fill: the item-line
// parser switches off the instances beyond these counts. The drive list and the
// processor count behind them come with the disk and CPU items; until then both
// answer kNoInstanceLimit, so no instance is switched off.
#pragma once

#include <climits>
#include <string>

constexpr int kNoInstanceLimit = INT_MAX;

// The number of fixed (and, with IncludeAll, removable) drives that pass Filter.
// For now: kNoInstanceLimit.
int CountFixedDisks(const std::wstring& Filter, bool IncludeAll);
// The number of processors whose number passes Filter; 0 while the processor count
// cannot be learned (providers/Cpu.cpp).
int GetCpuUsageCount(const std::string& Filter);
